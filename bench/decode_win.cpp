// Decode throughput under Wine (benchmarks only): the host figure's three contenders built
// for Windows, where LoadRecord's block grows through the system heap's LocalReAlloc.
//   bench_decode_win RUNS FILE      (FILE's first 64 MiB become one signed FileRecord)
// Per run prints "floor <s>" (inflate into a buffer allocated once + SHA-256), "fresh <s>"
// (the same into a buffer allocated in the run) and "load <s>" (LoadRecord); every run
// checks the decoded size and the hash.
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
  Bytes once(kSize);
  for (int run = 0; run < runs; ++run) {
    double start = Seconds();
    Inflate(span, once.data(), digest);
    const double floor = Seconds() - start;
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("floor: digest differs");

    start = Seconds();
    auto* fresh = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, kSize));
    if (!fresh) Fail("no memory");
    Inflate(span, fresh, digest);
    const double freshTime = Seconds() - start;
    LocalFree(fresh);
    if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("fresh: digest differs");

    uint8_t* data = nullptr;
    uint32_t size = 0;
    start = Seconds();
    if (!StatusOk(LoadRecord(&source, RECORD_TYPE_FILE, kId, &data, &size))) Fail("LoadRecord failed");
    const double load = Seconds() - start;
    SHA256(data, size, digest);
    LocalFree(data);
    if (size != kSize || std::memcmp(digest, expected, sizeof digest) != 0) Fail("load: digest differs");
    std::printf("floor %.6f\nfresh %.6f\nload %.6f\n", floor, freshTime, load);
    std::fflush(stdout);
  }
  return 0;
}
