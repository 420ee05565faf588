// Native floors for the end-to-end and packaging figures, on the given files:
//   bench_floor extract RUNS OUTDIR FILE...  each file deflated at level 9 beforehand; timed:
//                                            inflate into a preallocated buffer, SHA-256,
//                                            write OUTDIR/<name> (created, written, closed)
//   bench_floor deflate RUNS FILE...         timed: zlib level 9 (window 15, memLevel 8, the
//                                            packer's settings) of every file, one core
//   bench_floor touch RUNS MIB               timed: the first write to each 4 KiB page of MIB
//                                            MiB of new anonymous memory ("fresh"), then the
//                                            same memory written whole again ("warm"), then
//                                            the first touch with transparent huge pages
//                                            asked for ("huge")
// Prints one line "seconds <s>" per run (touch: "fresh <s> warm <s> huge <s>"); every run
// checks sizes (and, extracting, hashes).
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_floor: %s\n", what.c_str());
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) Fail("cannot open " + path);
  Bytes data;
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  std::fclose(f);
  return data;
}

Bytes Deflate9(const Bytes& plain) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    Fail("deflateInit2");
  Bytes out(deflateBound(&zs, plain.size()));
  zs.next_in = const_cast<Bytef*>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) Fail("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// New anonymous memory of `bytes`, optionally with huge pages asked for.
uint8_t* MapFresh(size_t bytes, bool huge) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) Fail("mmap");
  if (huge) ::madvise(p, bytes, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(p);
}

// Seconds to write one byte to every 4 KiB page of `p`.
double TouchPages(uint8_t* p, size_t bytes) {
  const double start = Now();
  for (size_t i = 0; i < bytes; i += 4096) p[i] = static_cast<uint8_t>(i >> 12);
  return Now() - start;
}

int TouchMemory(int runs, size_t bytes) {
  for (int run = 0; run < runs; ++run) {
    uint8_t* p = MapFresh(bytes, false);
    const double fresh = TouchPages(p, bytes);
    double start = Now();
    std::memset(p, run + 1, bytes);
    const double warm = Now() - start;
    if (p[bytes - 1] != static_cast<uint8_t>(run + 1)) Fail("memset");
    ::munmap(p, bytes);
    p = MapFresh(bytes, true);
    const double huge = TouchPages(p, bytes);
    ::munmap(p, bytes);
    std::printf("fresh %.6f warm %.6f huge %.6f\n", fresh, warm, huge);
  }
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 4)
    Fail("usage: bench_floor extract RUNS OUTDIR FILE... | deflate RUNS FILE... | touch RUNS MIB");
  const std::string mode = argv[1];
  const int runs = std::atoi(argv[2]);
  if (mode == "touch") return TouchMemory(runs, static_cast<size_t>(std::atoi(argv[3])) << 20);
  if (mode == "deflate") {
    std::vector<Bytes> plain;
    for (int i = 3; i < argc; ++i) plain.push_back(ReadFile(argv[i]));
    for (int run = 0; run < runs; ++run) {
      const double start = Now();
      size_t stored = 0;
      for (const Bytes& p : plain) stored += Deflate9(p).size();
      std::printf("seconds %.6f\n", Now() - start);
      if (stored == 0) Fail("nothing compressed");
    }
    return 0;
  }
  if (mode != "extract" || argc < 5) Fail("unknown mode " + mode);
  const std::string outDir = argv[3];
  struct Item {
    std::string name;
    Bytes stored;
    size_t size;
    unsigned char digest[SHA256_DIGEST_LENGTH];
  };
  std::vector<Item> items;
  for (int i = 4; i < argc; ++i) {
    Bytes plain = ReadFile(argv[i]);
    Item item{BaseName(argv[i]), Deflate9(plain), plain.size(), {}};
    SHA256(plain.data(), plain.size(), item.digest);
    items.push_back(std::move(item));
  }
  std::vector<Bytes> buffers;
  for (const Item& item : items) buffers.emplace_back(item.size);
  for (int run = 0; run < runs; ++run) {
    const double start = Now();
    for (size_t i = 0; i < items.size(); ++i) {
      Item& item = items[i];
      Bytes& out = buffers[i];
      z_stream zs;
      std::memset(&zs, 0, sizeof zs);
      inflateInit(&zs);
      zs.next_in = item.stored.data();
      zs.avail_in = static_cast<uInt>(item.stored.size());
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      const int rc = inflate(&zs, Z_FINISH);
      inflateEnd(&zs);
      if (rc != Z_STREAM_END || zs.total_out != item.size) Fail("inflate " + item.name);
      unsigned char digest[SHA256_DIGEST_LENGTH];
      SHA256(out.data(), out.size(), digest);
      if (std::memcmp(digest, item.digest, sizeof digest) != 0) Fail("digest " + item.name);
      const std::string path = outDir + "/" + item.name;
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) Fail("cannot create " + path);
      size_t done = 0;
      while (done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n <= 0) Fail("cannot write " + path);
        done += static_cast<size_t>(n);
      }
      ::close(fd);
    }
    std::printf("seconds %.6f\n", Now() - start);
    std::fflush(stdout);
  }
  return 0;
}
