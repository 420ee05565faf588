// Decode throughput under Wine (benchmarks only): the host figure's contenders built for
// Windows, where a growing block moves through the system heap's LocalReAlloc.
//   bench_decode_win RUNS FILE      (FILE's first 64 MiB become one signed FileRecord)
// Per run prints, in seconds: "floor" (zlib inflate into a buffer allocated before the runs
// + SHA-256), "ldfloor" (the same with libdeflate), "fresh" and "ldfresh" (zlib and libdeflate
// into a buffer allocated once in the run, first touched by the decoding, as a record's block
// is), "load" (LoadRecord, no size: zlib into a doubling block, verified), "sized" (LoadBoundRecord
// with the record's size: libdeflate into one exact block, verified), and for a crafted
// record of 16 MiB of zeros "bombload" and "bombsized"; every run checks sizes and hashes.
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/inflate_floor.h"
#include "payload/container.h"
#include "payload/tests/testkit.h"

namespace {
constexpr uint32_t kId = 1000;
constexpr size_t kSize = 64u << 20;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_decode_win: %s\n", what);
  std::exit(1);
}

double Seconds() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

void Inflate(const RecordSpan& span, uint8_t* out, unsigned char digest[SHA256_DIGEST_LENGTH]) {
  if (!InflateAndHash(span, out, kSize, digest)) Fail("inflate failed");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Fail("usage: bench_decode_win RUNS FILE");
  const int runs = std::atoi(argv[1]);
  FILE* f = std::fopen(argv[2], "rb");
  if (!f) Fail("cannot open the file");
  Bytes plain(kSize);
  if (std::fread(plain.data(), 1, kSize, f) != kSize) Fail("the file is shorter than 64 MiB");
  std::fclose(f);
  unsigned char expected[SHA256_DIGEST_LENGTH], digest[SHA256_DIGEST_LENGTH];
  SHA256(plain.data(), kSize, expected);
  Bytes container;
  AppendSignedRecord(&container, RECORD_TYPE_FILE, kId, plain, true);
  PayloadSource source = SourceOver(&container, SOURCE_COMPRESSED | SOURCE_SIGNED);
  RecordSpan span;
  if (!StatusOk(FindRecord(container.data(), static_cast<uint32_t>(container.size()),
                           RECORD_TYPE_FILE, kId, &span)))
    Fail("record not found");
  // The crafted record: 16 MiB of zeros from a stream of about 16 KiB.
  const uint32_t kBombSize = 16u << 20;
  Bytes bombContainer;
  AppendSignedRecord(&bombContainer, RECORD_TYPE_FILE, kId, Bytes(kBombSize, 0), true);
  PayloadSource bomb = SourceOver(&bombContainer, SOURCE_COMPRESSED | SOURCE_SIGNED);
  const uint32_t exactSize = static_cast<uint32_t>(kSize);
  Bytes once(kSize);
  for (int run = 0; run < runs; ++run) {
    double start = Seconds();
    Inflate(span, once.data(), digest);
    const double floor = Seconds() - start;
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("floor: digest differs");

    std::memset(digest, 0, sizeof digest);
    start = Seconds();
    if (!LibdeflateAndHash(span, once.data(), kSize, digest)) Fail("libdeflate failed");
    const double ldfloor = Seconds() - start;
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("ldfloor: digest differs");

    start = Seconds();
    auto* fresh = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, kSize));
    if (!fresh) Fail("no memory");
    Inflate(span, fresh, digest);
    const double freshTime = Seconds() - start;
    LocalFree(fresh);
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("fresh: digest differs");

    std::memset(digest, 0, sizeof digest);
    start = Seconds();
    fresh = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, kSize));
    if (!fresh) Fail("no memory");
    if (!LibdeflateAndHash(span, fresh, kSize, digest)) Fail("libdeflate failed");
    const double ldfresh = Seconds() - start;
    LocalFree(fresh);
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("ldfresh: digest differs");

    uint8_t* data = nullptr;
    uint32_t size = 0;
    // The record as the stub loads it: no size field (LoadRecord), or its exact size.
    auto timeLoad = [&](const uint32_t* exact, const char* what) {
      const double begin = Seconds();
      if (!StatusOk(LoadBoundRecord(&source, RECORD_TYPE_FILE, kId, nullptr, exact, &data, &size)))
        Fail(what);
      const double seconds = Seconds() - begin;
      SHA256(data, size, digest);
      LocalFree(data);
      if (size != kSize || std::memcmp(digest, expected, sizeof digest) != 0) Fail(what);
      return seconds;
    };
    const double load = timeLoad(nullptr, "load: LoadRecord failed or digest differs");
    const double sized = timeLoad(&exactSize, "sized: LoadBoundRecord failed or digest differs");

    double bombTimes[2];
    for (int sizedBomb = 0; sizedBomb < 2; ++sizedBomb) {
      start = Seconds();
      if (!StatusOk(LoadBoundRecord(&bomb, RECORD_TYPE_FILE, kId, nullptr,
                                    sizedBomb ? &kBombSize : nullptr, &data, &size)))
        Fail("bomb: LoadBoundRecord failed");
      bombTimes[sizedBomb] = Seconds() - start;
      LocalFree(data);
      if (size != kBombSize) Fail("bomb: wrong size");
    }
    std::printf("floor %.6f\nldfloor %.6f\nfresh %.6f\nldfresh %.6f\nload %.6f\nsized %.6f\n"
                "bombload %.6f\nbombsized %.6f\n", floor, ldfloor, freshTime, ldfresh, load, sized,
                bombTimes[0], bombTimes[1]);
    std::fflush(stdout);
  }
  return 0;
}
