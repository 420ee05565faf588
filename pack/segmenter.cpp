// Compressing one segment of a segmented record (see segmenter.h).
#include "pack/segmenter.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <new>

#include "pack/writer.h"

struct SegmentCompressor {
  libdeflate_compressor* deflater;
  z_stream inflater;  // raw deflate, to walk the blocks of a compressed segment
  int level;
};

SegmentCompressor* NewSegmentCompressor(int level, std::string* error) {
  if (level < 0 || level > MAX_COMPRESSION_LEVEL) {
    *error = "compression level " + std::to_string(level) + " is not between 0 and " +
             std::to_string(MAX_COMPRESSION_LEVEL);
    return nullptr;
  }
  SegmentCompressor* c = new (std::nothrow) SegmentCompressor();
  if (c) {
    c->level = level;
    c->deflater = libdeflate_alloc_compressor(level);
    if (!c->deflater || inflateInit2(&c->inflater, -15) != Z_OK) {
      if (c->deflater) libdeflate_free_compressor(c->deflater);
      delete c;
      c = nullptr;
    }
  }
  if (!c) *error = "out of memory starting a compressor";
  return c;
}

void FreeSegmentCompressor(SegmentCompressor* c) {
  if (!c) return;
  libdeflate_free_compressor(c->deflater);
  inflateEnd(&c->inflater);
  delete c;
}

void ZlibHeader(int level, uint8_t header[2]) {
  // CMF 78: deflate with a 32 KiB window; FLEVEL as libdeflate sets it; FCHECK makes the
  // pair a multiple of 31.
  const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
  unsigned flags = hint << 6;
  flags += 31 - (0x78 * 256 + flags) % 31;
  header[0] = 0x78;
  header[1] = static_cast<uint8_t>(flags);
}

void ZlibTrailer(uint32_t adler, uint8_t trailer[4]) {
  trailer[0] = static_cast<uint8_t>(adler >> 24);
  trailer[1] = static_cast<uint8_t>(adler >> 16);
  trailer[2] = static_cast<uint8_t>(adler >> 8);
  trailer[3] = static_cast<uint8_t>(adler);
}

namespace {
// Walks the blocks of the raw deflate data `raw` (inflating into a scratch buffer) to find
// the final block's header bit and how many high bits of the last byte are unused. False
// when the data does not end exactly with its final block.
bool FindFinalBlock(z_stream* zs, const uint8_t* raw, size_t size, size_t* headerByte,
                    uint8_t* headerMask, unsigned* unusedBits) {
  if (inflateReset(zs) != Z_OK) return false;
  uint8_t scratch[1 << 15];
  zs->next_in = const_cast<uint8_t*>(raw);
  zs->avail_in = static_cast<uInt>(size);
  *headerByte = 0, *headerMask = 1;  // the first block starts at the first bit
  for (;;) {
    zs->next_out = scratch;
    zs->avail_out = sizeof scratch;
    const int rc = inflate(zs, Z_BLOCK);
    if (rc != Z_OK && rc != Z_STREAM_END) return false;
    if (!(zs->data_type & 128)) {
      if (rc == Z_STREAM_END || (zs->avail_in == 0 && zs->avail_out != 0)) return false;
      continue;
    }
    const unsigned unused = static_cast<unsigned>(zs->data_type & 7);
    const size_t consumed = static_cast<size_t>(zs->next_in - raw);
    if (zs->data_type & 64) {  // the final block has ended
      *unusedBits = unused;
      return consumed == size;
    }
    // The next block's header starts at the first unused bit.
    if (unused) *headerByte = consumed - 1, *headerMask = static_cast<uint8_t>(0x100 >> unused);
    else *headerByte = consumed, *headerMask = 1;
    if (*headerByte >= size) return false;
  }
}
}  // namespace

bool CompressSegment(SegmentCompressor* c, const uint8_t* data, size_t size, bool first, bool last,
                     Bytes* out, std::string* error) {
  static const uint8_t kEmpty[1] = {0};
  const size_t head = first ? 2 : 0;
  const size_t bound = libdeflate_deflate_compress_bound(c->deflater, size);
  try {
    out->resize(head + bound + 6);
  } catch (const std::bad_alloc&) {
    *error = "out of memory compressing a segment of " + std::to_string(size) + " bytes";
    return false;
  }
  if (first) ZlibHeader(c->level, out->data());
  uint8_t* raw = out->data() + head;
  const size_t written =
      libdeflate_deflate_compress(c->deflater, size ? data : kEmpty, size, raw, bound);
  if (written == 0) {  // cannot happen with a buffer of the bound's size
    *error = "a compressed segment did not fit its bound";
    return false;
  }
  size_t end = head + written;
  if (!last) {
    // Not the end of the stream: the final block becomes an ordinary one, and an empty
    // stored block that is not final brings the segment to a byte boundary.
    size_t headerByte = 0;
    uint8_t headerMask = 0;
    unsigned unused = 0;
    if (!FindFinalBlock(&c->inflater, raw, written, &headerByte, &headerMask, &unused)) {
      *error = "the compressor's output did not decode as one deflate stream";
      return false;
    }
    raw[headerByte] &= static_cast<uint8_t>(~headerMask);
    raw[written - 1] &= static_cast<uint8_t>(0xFF >> unused);
    // Three header bits (not final, stored) fit behind the last bit only with 3 free bits.
    if (unused < 3) out->data()[end++] = 0;
    static const uint8_t kStoredEmpty[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(out->data() + end, kStoredEmpty, sizeof kStoredEmpty);
    end += sizeof kStoredEmpty;
  }
  out->resize(end);
  return true;
}
