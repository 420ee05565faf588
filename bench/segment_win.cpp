// Segmented decode under Wine (benchmarks only): one record's zlib stream cut into segments
// that decode on their own, decoded by one thread and by two, against libdeflate decoding the
// same stream whole on one thread; every output buffer is allocated and touched before the runs.
//   bench_segment_win RUNS FILE [SEGMENT_MIB]   (FILE's first 64 MiB; 1 MiB segments by default)
// The stream is zlib's at level 9 with a full flush at every segment boundary: the layout of
// payload/segment.h, whose decoder (DecodeSegment) is what is measured. Prints once
// "segments <count> stored <bytes>", then per run, in seconds per decode (the mean of 16):
// "whole" (libdeflate, the whole stream, one call), "seg1" (DecodeSegment on one thread,
// segment after segment), "seg2" (DecodeSegment on two threads taking the next segment in
// turn; the threads are started once before the runs and woken for each decode, as the
// stub starts its workers once for a whole run), "whole_sha" and "seg2_sha" (the same followed, or on two decoding threads
// accompanied, by SHA-256 of the decoded bytes in order, as one consumer hashes what the
// decoders give it), "ring1" and "ring2" (DecodeSegment on one and on two threads, each
// thread decoding every segment it takes into one buffer of its own, reused from segment to
// segment as the stub's ring slots are, so that the decoded bytes stay in the processor's
// cache; each segment's Adler-32 is checked against the source's), and "cpu_whole",
// "cpu_seg1" and "cpu_seg2" (CPU seconds of all threads per decode in whole, seg1 and seg2). Each segmented decode copies a segment's stored bytes into its thread's
// input buffer first (the stub reads them from its file the same way) and checks the stream's
// Adler-32; every figure checks the decoded bytes.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
// SHA256_Init/Update/Final, the low-level calls payload/record.cpp uses too.
#define OPENSSL_SUPPRESS_DEPRECATED
#endif
#include <libdeflate.h>
#include <openssl/sha.h>
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/segment.h"

namespace {
constexpr size_t kSize = 64u << 20;
constexpr int kRepeat = 16;
using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_segment_win: %s\n", what);
  std::exit(1);
}

double Seconds() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// CPU seconds (user and kernel) of all of this process's threads so far.
double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

// zlib level 9 with Z_FULL_FLUSH after every segment but the last; `ends` gets each segment's
// stored end.
Bytes DeflateSegmented(const Bytes& plain, uint32_t segmentSize, std::vector<uint32_t>* ends) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (deflateInit(&zs, 9) != Z_OK) Fail("deflateInit");
  Bytes out(deflateBound(&zs, plain.size()) + plain.size() / segmentSize * 16 + 64);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  for (size_t at = 0; at < plain.size(); at += segmentSize) {
    const size_t n = plain.size() - at < segmentSize ? plain.size() - at : segmentSize;
    const bool last = at + n == plain.size();
    zs.next_in = const_cast<Bytef*>(plain.data() + at);
    zs.avail_in = static_cast<uInt>(n);
    const int rc = deflate(&zs, last ? Z_FINISH : Z_FULL_FLUSH);
    if (rc != (last ? Z_STREAM_END : Z_OK) || zs.avail_in != 0) Fail("deflate");
    ends->push_back(static_cast<uint32_t>(zs.total_out));
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// What the decoding threads share: the stored stream, its index, the warm output, the next
// segment to take, and per segment its Adler-32 and whether it is done (for the consumer).
struct Job {
  const Bytes* stored;
  const SegmentIndex* index;
  uint8_t* out;
  volatile LONG next;
  std::vector<uLong> adlers;
  std::vector<LONG> done;  // read and written through Interlocked calls
  volatile LONG failed;
  uint32_t streamAdler;
  std::vector<uLong> expected;  // each segment's Adler-32 in the source (checked by ring runs)
};

struct Worker {
  Job* job;
  SegmentDecoder* decoder;
  Bytes input;  // the largest segment's stored bytes and SEGMENT_INPUT_SLACK
  Bytes slot;   // one segment's decoded bytes, reused (ring1/ring2)
  bool ring;    // decode into `slot` instead of the job's whole output
  // The worker's thread is started once, as the stub starts its workers once for a whole
  // run: `go` wakes it to decode the job's segments (or to end, with `quit`), and it sets
  // `done` when it has taken its last segment.
  HANDLE go;
  HANDLE done;
  bool quit;
};

DWORD WINAPI DecodeSegments(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  Job* job = w->job;
  for (;;) {
    const LONG i = InterlockedIncrement(&job->next) - 1;
    if (i >= static_cast<LONG>(job->index->count)) break;
    const uint32_t start = SegmentStoredStart(job->index, i);
    const uint32_t n = SegmentStoredSize(job->index, i);
    std::memcpy(w->input.data(), job->stored->data() + start, n);
    uint8_t* out = w->ring ? w->slot.data()
                           : job->out + static_cast<size_t>(i) * job->index->segmentSize;
    uint32_t streamAdler = 0;
    if (!StatusOk(
            DecodeSegment(w->decoder, job->index, kSize, i, w->input.data(), out, &streamAdler))) {
      InterlockedExchange(&job->failed, 1);
      break;
    }
    if (static_cast<uint32_t>(i) + 1 == job->index->count) job->streamAdler = streamAdler;
    job->adlers[i] = UpdateAdler32(ADLER32_INITIAL, out, SegmentDecodedSize(job->index, kSize, i));
    InterlockedExchange(&job->done[i], 1);
  }
  return 0;
}

DWORD WINAPI PoolThread(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  for (;;) {
    WaitForSingleObject(w->go, INFINITE);
    if (w->quit) return 0;
    DecodeSegments(w);
    SetEvent(w->done);
  }
}

// Decodes every segment on `threads` threads (the calling one among them when 1); with
// `hash`, the calling thread hashes the segments in order as they are done.
void RunSegmented(Job* job, std::vector<Worker>& workers, int threads, bool hash,
                  unsigned char digest[SHA256_DIGEST_LENGTH]) {
  job->next = 0;
  job->failed = 0;
  for (auto& d : job->done) d = 0;
  std::vector<HANDLE> handles;
  if (threads == 1 && !hash) {
    DecodeSegments(&workers[0]);
  } else {
    for (int t = 0; t < threads; ++t) {
      handles.push_back(workers[t].done);
      SetEvent(workers[t].go);
    }
  }
  if (hash) {
    SHA256_CTX sha;
    SHA256_Init(&sha);
    for (uint32_t i = 0; i < job->index->count; ++i) {
      while (!InterlockedCompareExchange(&job->done[i], 0, 0)) {
        if (job->failed) Fail("a segment did not decode");
        SwitchToThread();
      }
      SHA256_Update(&sha, job->out + static_cast<size_t>(i) * job->index->segmentSize,
                    SegmentDecodedSize(job->index, kSize, i));
    }
    SHA256_Final(digest, &sha);
  }
  for (HANDLE h : handles) WaitForSingleObject(h, INFINITE);
  if (job->failed) Fail("a segment did not decode");
  uLong adler = 1;
  for (uint32_t i = 0; i < job->index->count; ++i) {
    if (!job->expected.empty() && job->adlers[i] != job->expected[i])
      Fail("a segment's Adler-32 differs from the source's");
    const uint32_t n = SegmentDecodedSize(job->index, kSize, i);
    adler = i == 0 ? job->adlers[0] : adler32_combine(adler, job->adlers[i], n);
  }
  if (adler != job->streamAdler) Fail("the stream's Adler-32 differs");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Fail("usage: bench_segment_win RUNS FILE [SEGMENT_MIB]");
  const int runs = std::atoi(argv[1]);
  const uint32_t segmentSize = (argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 1u) << 20;
  FILE* f = std::fopen(argv[2], "rb");
  if (!f) Fail("cannot open the file");
  Bytes plain(kSize);
  if (std::fread(plain.data(), 1, kSize, f) != kSize) Fail("the file is shorter than 64 MiB");
  std::fclose(f);
  unsigned char expected[SHA256_DIGEST_LENGTH], digest[SHA256_DIGEST_LENGTH];
  SHA256(plain.data(), kSize, expected);

  std::vector<uint32_t> ends;
  const Bytes stored = DeflateSegmented(plain, segmentSize, &ends);
  SegmentIndex index = {segmentSize, static_cast<uint32_t>(ends.size()), nullptr};
  index.storedEnd = static_cast<uint32_t*>(LocalAlloc(LMEM_FIXED, ends.size() * sizeof(uint32_t)));
  if (!index.storedEnd) Fail("no memory");
  std::memcpy(index.storedEnd, ends.data(), ends.size() * sizeof(uint32_t));
  if (!StatusOk(CheckSegmentIndex(&index, static_cast<uint32_t>(stored.size()), kSize)))
    Fail("the index does not fit the stream");
  std::printf("segments %u stored %zu\n", index.count, stored.size());

  uint32_t largest = 0;
  for (uint32_t i = 0; i < index.count; ++i)
    if (SegmentStoredSize(&index, i) > largest) largest = SegmentStoredSize(&index, i);
  Job job{&stored, &index, nullptr, 0, std::vector<uLong>(index.count),
          std::vector<LONG>(index.count), 0, 0, {}};
  std::vector<uLong> segmentAdlers(index.count);
  for (uint32_t i = 0; i < index.count; ++i)
    segmentAdlers[i] = UpdateAdler32(ADLER32_INITIAL, plain.data() + static_cast<size_t>(i) * segmentSize,
                                     SegmentDecodedSize(&index, kSize, i));
  std::vector<Worker> workers(2);
  for (auto& w : workers) {
    w.job = &job;
    w.decoder = NewSegmentDecoder();
    if (!w.decoder) Fail("no decoder");
    w.input.assign(largest + SEGMENT_INPUT_SLACK, 0);
    w.slot.assign(segmentSize, 1);  // warm, as the decoded output
    w.ring = false;
    w.quit = false;
    w.go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!w.go || !w.done) Fail("CreateEvent");
  }
  std::vector<HANDLE> pool;
  for (auto& w : workers) {
    HANDLE h = CreateThread(nullptr, 0, PoolThread, &w, 0, nullptr);
    if (!h) Fail("CreateThread");
    pool.push_back(h);
  }
  Bytes out(kSize, 1);  // warm: every page touched before the runs
  job.out = out.data();
  libdeflate_decompressor* whole = libdeflate_alloc_decompressor();
  if (!whole) Fail("no decompressor");

  auto check = [&](const char* what) {
    if (std::memcmp(out.data(), plain.data(), kSize) != 0) Fail(what);
    std::memset(out.data(), 0, kSize);
  };
  // Each figure decodes the stream kRepeat times (the CPU clock under Wine ticks every 10 ms);
  // it prints seconds per decode.
  auto wholeDecode = [&](bool hash) {
    if (libdeflate_zlib_decompress(whole, stored.data(), stored.size(), out.data(), kSize,
                                   nullptr) != LIBDEFLATE_SUCCESS)
      Fail("libdeflate failed");
    if (hash) SHA256(out.data(), kSize, digest);
  };
  auto measure = [&](const char* what, auto decode, double* cpuSeconds) {
    const double cpu = CpuSeconds();
    const double start = Seconds();
    for (int r = 0; r < kRepeat; ++r) decode();
    const double seconds = (Seconds() - start) / kRepeat;
    if (cpuSeconds) *cpuSeconds = (CpuSeconds() - cpu) / kRepeat;
    if (std::memcmp(out.data(), plain.data(), kSize) != 0) Fail(what);
    std::memset(out.data(), 0, kSize);
    return seconds;
  };
  for (int run = 0; run < runs; ++run) {
    double wholeCpu = 0, seg1Cpu = 0, seg2Cpu = 0;
    const double wholeTime = measure("whole: bytes differ", [&] { wholeDecode(false); }, &wholeCpu);
    const double seg1 = measure(
        "seg1: bytes differ", [&] { RunSegmented(&job, workers, 1, false, nullptr); }, &seg1Cpu);
    const double seg2 = measure(
        "seg2: bytes differ", [&] { RunSegmented(&job, workers, 2, false, nullptr); }, &seg2Cpu);
    const double wholeSha = measure("whole_sha: bytes differ", [&] {
      wholeDecode(true);
      if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("whole_sha: digest differs");
    }, nullptr);
    const double seg2Sha = measure("seg2_sha: bytes differ", [&] {
      RunSegmented(&job, workers, 2, true, digest);
      if (std::memcmp(digest, expected, sizeof digest) != 0) Fail("seg2_sha: digest differs");
    }, nullptr);
    // Into each thread's own reused buffer: the output buffer stays untouched (it must still
    // hold zeros afterwards), every segment's Adler-32 is checked against the source's.
    auto ring = [&](int threads) {
      for (auto& w : workers) w.ring = true;
      job.expected = segmentAdlers;
      const double start = Seconds();
      for (int r = 0; r < kRepeat; ++r) RunSegmented(&job, workers, threads, false, nullptr);
      const double seconds = (Seconds() - start) / kRepeat;
      for (auto& w : workers) w.ring = false;
      job.expected.clear();
      for (size_t i = 0; i < kSize; i += 4096)
        if (out[i] != 0) Fail("ring: the whole output was written");
      return seconds;
    };
    const double ring1 = ring(1);
    const double ring2 = ring(2);
    std::printf("whole %.6f\nseg1 %.6f\nseg2 %.6f\nwhole_sha %.6f\nseg2_sha %.6f\nring1 %.6f\n"
                "ring2 %.6f\ncpu_whole %.6f\ncpu_seg1 %.6f\ncpu_seg2 %.6f\n", wholeTime, seg1, seg2,
                wholeSha, seg2Sha, ring1, ring2, wholeCpu, seg1Cpu, seg2Cpu);
    std::fflush(stdout);
  }
  for (size_t t = 0; t < workers.size(); ++t) {
    workers[t].quit = true;
    SetEvent(workers[t].go);
    WaitForSingleObject(pool[t], INFINITE);
    CloseHandle(pool[t]);
    CloseHandle(workers[t].go);
    CloseHandle(workers[t].done);
  }
  libdeflate_free_decompressor(whole);
  for (auto& w : workers) FreeSegmentDecoder(w.decoder);
  FreeSegmentIndex(&index);
  return 0;
}
