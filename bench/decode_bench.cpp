// Decode throughput: LoadRecord (no size) and LoadBoundRecord (with the record's size) on one
// FileRecord against the zlib and libdeflate floors on the same bytes.
//
//   bench_decode FILE KEY.pem [google-benchmark flags]
// FILE (its first 64 MiB) becomes one signed, level-9 FileRecord in a container. The floor
// inflates the same stream into a buffer allocated before the clock starts and hashes the
// result with SHA-256; LoadRecord finds, inflates (growing its block), and verifies. Both
// report bytes per second of decoded output; each run checks the decoded size and hash.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/inflate_floor.h"
#include "common/format.h"
#include "pack/keys.h"
#include "pack/writer.h"
#include "payload/container.h"
#include "payload/record.h"

namespace {
constexpr uint32_t kRecordId = 1000;
constexpr size_t kDecodedSize = 64u << 20;

Bytes gPlain;
Bytes gContainer;
unsigned char gPlainDigest[SHA256_DIGEST_LENGTH];

void Fail(const char* what) {
  std::fprintf(stderr, "bench_decode: %s\n", what);
  std::exit(1);
}

void Prepare(const char* file, const char* keyPath) {
  std::string error;
  if (!ReadWholeFile(file, kDecodedSize, &gPlain, &error)) {
    // A file larger than the limit is refused whole; read the head instead.
    FILE* f = std::fopen(file, "rb");
    if (!f) Fail("cannot read the input file");
    gPlain.resize(kDecodedSize);
    gPlain.resize(std::fread(gPlain.data(), 1, kDecodedSize, f));
    std::fclose(f);
  }
  if (gPlain.size() != kDecodedSize) Fail("the input file is shorter than 64 MiB");
  SHA256(gPlain.data(), gPlain.size(), gPlainDigest);
  EVP_PKEY* key = LoadPrivateKey(keyPath, &error);
  if (!key) Fail(error.c_str());
  Bytes manifest;
  if (!EncodeManifest({{1, "bench"}}, &manifest, &error) ||
      !AppendSignedRecord(&gContainer, RECORD_TYPE_MANIFEST, 0, manifest, key, &error) ||
      !AppendSignedRecord(&gContainer, RECORD_TYPE_FILE, kRecordId, gPlain, key, &error))
    Fail(error.c_str());
  EVP_PKEY_free(key);
}

void CheckDigest(const uint8_t* data, size_t size) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(data, size, digest);
  if (size != gPlain.size() || std::memcmp(digest, gPlainDigest, sizeof digest) != 0)
    Fail("decoded bytes differ from the input");
}

typedef bool (*DecodeAndHash)(const RecordSpan& span, uint8_t* out, size_t size,
                              unsigned char digest[SHA256_DIGEST_LENGTH]);

RecordSpan TheRecord() {
  RecordSpan span;
  if (!StatusOk(FindRecord(gContainer.data(), static_cast<uint32_t>(gContainer.size()),
                           RECORD_TYPE_FILE, kRecordId, &span)))
    Fail("record not found");
  return span;
}

// `decode` into a buffer allocated before the runs, + SHA-256: the decoder's floor.
void DecodeIntoBuffer(benchmark::State& state, DecodeAndHash decode, const char* what) {
  const RecordSpan span = TheRecord();
  Bytes out(gPlain.size());
  unsigned char digest[SHA256_DIGEST_LENGTH];
  for (auto _ : state) {
    if (!decode(span, out.data(), out.size(), digest)) Fail(what);
    benchmark::DoNotOptimize(digest);
  }
  if (std::memcmp(digest, gPlainDigest, sizeof digest) != 0) Fail(what);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gPlain.size()));
}

// The same with a buffer allocated (and so first touched) inside the timed loop, as a
// record's own block is: shows what fresh memory costs apart from the decoding.
void DecodeIntoFreshBuffer(benchmark::State& state, DecodeAndHash decode, const char* what) {
  const RecordSpan span = TheRecord();
  unsigned char digest[SHA256_DIGEST_LENGTH];
  for (auto _ : state) {
    auto* out = static_cast<uint8_t*>(std::malloc(gPlain.size()));
    if (!out) Fail("no memory");
    if (!decode(span, out, gPlain.size(), digest)) Fail(what);
    benchmark::DoNotOptimize(digest);
    std::free(out);
  }
  if (std::memcmp(digest, gPlainDigest, sizeof digest) != 0) Fail(what);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gPlain.size()));
}

void BM_InflateSha256Floor(benchmark::State& state) {
  DecodeIntoBuffer(state, InflateAndHash, "floor: zlib inflate failed or differs");
}

void BM_InflateSha256FreshBuffer(benchmark::State& state) {
  DecodeIntoFreshBuffer(state, InflateAndHash, "fresh buffer: zlib inflate failed or differs");
}

// Loads the record again and again, as the stub does: with `size` null like an entry without
// a size field (LoadRecord), else with that exact size.
void LoadRepeatedly(benchmark::State& state, const uint32_t* size, const char* what) {
  PayloadSource source = {gContainer.data(), static_cast<uint32_t>(gContainer.size()), nullptr, 0,
                          SOURCE_COMPRESSED | SOURCE_SIGNED};
  uint8_t* last = nullptr;
  uint32_t lastSize = 0;
  for (auto _ : state) {
    uint8_t* data = nullptr;
    uint32_t loaded = 0;
    if (!StatusOk(LoadBoundRecord(&source, RECORD_TYPE_FILE, kRecordId, nullptr, size, &data,
                                  &loaded)))
      Fail(what);
    state.PauseTiming();
    if (last) LocalFree(last);
    last = data;
    lastSize = loaded;
    state.ResumeTiming();
  }
  CheckDigest(last, lastSize);
  LocalFree(last);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gPlain.size()));
}

void BM_LoadRecord(benchmark::State& state) { LoadRepeatedly(state, nullptr, "LoadRecord failed"); }

// The sized records' inflater (libdeflate), into a buffer allocated before the runs and into
// one allocated in the run, as a sized record's block is.
void BM_LibdeflateSha256Floor(benchmark::State& state) {
  DecodeIntoBuffer(state, LibdeflateAndHash, "floor: libdeflate failed or differs");
}

void BM_LibdeflateSha256FreshBuffer(benchmark::State& state) {
  DecodeIntoFreshBuffer(state, LibdeflateAndHash, "fresh buffer: libdeflate failed or differs");
}

// LoadBoundRecord with the record's size, as the stub loads a sized entry.
void BM_LoadSizedRecord(benchmark::State& state) {
  const uint32_t exact = static_cast<uint32_t>(gPlain.size());
  LoadRepeatedly(state, &exact, "LoadBoundRecord failed");
}

BENCHMARK(BM_InflateSha256Floor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibdeflateSha256Floor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibdeflateSha256FreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadSizedRecord)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InflateSha256FreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadRecord)->Unit(benchmark::kMillisecond)->UseRealTime();
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_decode FILE KEY.pem [benchmark flags]\n");
    return 2;
  }
  Prepare(argv[1], argv[2]);
  argv[2] = argv[0];
  int rest = argc - 2;
  benchmark::Initialize(&rest, argv + 2);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
