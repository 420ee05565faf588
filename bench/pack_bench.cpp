// The packer's compression on one file, one core, each way timed:
//   bench_pack FILE LEVEL [SEGMENT-MIB]
// prints one line per way, "<way> <segment MiB> <stored bytes> <seconds> <cpu seconds>":
//   whole       libdeflate at LEVEL, one zlib stream (what the tool wrote before segments)
//   libdeflate  the tool's segments (CompressSegmentedRecord) at 1, 2, 4 and 8 MiB
//   zlib        zlib's deflate of each segment on its own raw stream at min(LEVEL, 9),
//               Z_FULL_FLUSH behind every segment but the last, Z_FINISH behind the last
// With SEGMENT-MIB, only that segment size. Every segmented stream is checked: it must inflate whole (zlib) to the file.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/packer.h"

namespace {
[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_pack: %s\n", what.c_str());
  std::exit(1);
}

// Wall and processor time since Start(): the machine may be shared, and the processor time
// shows the work whatever else runs.
struct Clock {
  std::chrono::steady_clock::time_point wall;
  std::clock_t cpu;
};
Clock Start() { return {std::chrono::steady_clock::now(), std::clock()}; }
void PrintTimes(const Clock& c) {
  std::printf(" %.3f %.3f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - c.wall).count(),
              static_cast<double>(std::clock() - c.cpu) / CLOCKS_PER_SEC);
}

void CheckInflates(const Bytes& stored, const Bytes& data, const char* way) {
  Bytes out(data.size() + 1);
  uLongf size = out.size();
  if (uncompress(out.data(), &size, stored.data(), stored.size()) != Z_OK || size != data.size() ||
      !std::equal(data.begin(), data.end(), out.begin()))
    Die(std::string(way) + ": the stream does not inflate to the file");
}

size_t ZlibSegmented(const Bytes& data, int level, uint32_t segmentSize, Bytes* stored) {
  stored->assign({0x78, 0xDA});
  const size_t count = std::max<size_t>(1, (data.size() + segmentSize - 1) / segmentSize);
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    const size_t from = i * segmentSize, length = std::min<size_t>(segmentSize, data.size() - from);
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) Die("deflateInit2");
    out.resize(deflateBound(&zs, length) + 16);
    zs.next_in = const_cast<Bytef*>(data.data() + from);
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const bool last = i + 1 == count;
    const int rc = deflate(&zs, last ? Z_FINISH : Z_FULL_FLUSH);
    if (rc != (last ? Z_STREAM_END : Z_OK) || zs.avail_in) Die("deflate");
    stored->insert(stored->end(), out.begin(), out.begin() + zs.total_out);
    deflateEnd(&zs);
  }
  const uLong adler = adler32_z(adler32(0, nullptr, 0), data.data(), data.size());
  for (int shift = 24; shift >= 0; shift -= 8) stored->push_back(static_cast<uint8_t>(adler >> shift));
  return stored->size();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) Die("usage: bench_pack FILE LEVEL [SEGMENT-MIB]");
  const uint32_t only = argc == 4 ? static_cast<uint32_t>(std::atoi(argv[3])) : 0;
  Bytes data;
  std::string error;
  if (!ReadWholeFile(argv[1], 0xFFFFFFFFu, &data, &error)) Die(error);
  const int level = std::atoi(argv[2]);

  Clock start = Start();
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) Die("libdeflate_alloc_compressor");
  Bytes whole(libdeflate_zlib_compress_bound(c, data.size()));
  whole.resize(libdeflate_zlib_compress(c, data.data(), data.size(), whole.data(), whole.size()));
  libdeflate_free_compressor(c);
  std::printf("whole - %zu", whole.size());
  PrintTimes(start);

  for (uint32_t mib : {1u, 2u, 4u, 8u}) {
    if (only && mib != only) continue;
    Bytes stored;
    std::vector<uint32_t> lengths;
    start = Start();
    if (!CompressSegmentedRecord(data.data(), data.size(), level, mib << 20, &stored, &lengths, &error))
      Die(error);
    std::printf("libdeflate %u %zu", mib, stored.size());
    PrintTimes(start);
    CheckInflates(stored, data, "libdeflate");
  }
  for (uint32_t mib : {1u, 8u}) {
    if (only && mib != only) continue;
    Bytes stored;
    start = Start();
    ZlibSegmented(data, std::min(level, 9), mib << 20, &stored);
    std::printf("zlib %u %zu", mib, stored.size());
    PrintTimes(start);
    CheckInflates(stored, data, "zlib");
  }
  return 0;
}
