// Segmented records (see segment.h): the index's rules and the decoding of one segment.
#include "payload/segment.h"

#include <libdeflate.h>

#include <cstring>

#include "common/format.h"
#include "common/winseam.h"

namespace {
// The bytes behind every segment but the last, for decoding it on its own: an empty final
// block of the fixed code (BFINAL 1, BTYPE 01, end-of-block code 0000000).
const uint8_t kFinalTail[SEGMENT_INPUT_SLACK] = {0x03, 0x00};
// The empty stored block that ends every segment but the last: LEN 0, NLEN 0xFFFF.
const uint8_t kFlushMarker[4] = {0x00, 0x00, 0xFF, 0xFF};

// The most stored bytes a segment of `decoded` bytes may take: deflate falls back to stored
// blocks (5 bytes of header per 65,535 bytes), so a 1/256 margin and a few block headers
// hold every compressor's output; the zlib header, the Adler-32 and the flush marker fit in
// the constant.
uint64_t MaxStoredFor(uint32_t decoded) {
  return static_cast<uint64_t>(decoded) + decoded / 256 + 64;
}

uint32_t ReadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// A zlib header a stream without a preset dictionary may have.
bool ZlibHeaderIsValid(const uint8_t* p) {
  return (p[0] & 0x0F) == 8 && (p[0] >> 4) <= 7 && ((p[0] << 8) | p[1]) % 31 == 0 &&
         (p[1] & 0x20) == 0;
}
}  // namespace

struct SegmentDecoder {
  libdeflate_decompressor* inflater;
};

void FreeSegmentIndex(SegmentIndex* index) {
  if (index->storedEnd) LocalFree(index->storedEnd);
  index->storedEnd = nullptr;
  index->segmentSize = 0;
  index->count = 0;
}

uint32_t SegmentCountFor(uint32_t size, uint32_t segmentSize) {
  if (segmentSize == 0) return 0;
  const uint32_t count = size / segmentSize + (size % segmentSize ? 1 : 0);
  return count ? count : 1;
}

uint32_t SegmentStoredStart(const SegmentIndex* index, uint32_t i) {
  return i ? index->storedEnd[i - 1] : 0;
}

uint32_t SegmentStoredSize(const SegmentIndex* index, uint32_t i) {
  return index->storedEnd[i] - SegmentStoredStart(index, i);
}

uint32_t SegmentDecodedSize(const SegmentIndex* index, uint32_t size, uint32_t i) {
  if (i + 1 < index->count) return index->segmentSize;
  return size - (index->count - 1) * index->segmentSize;
}

Status CheckSegmentIndex(const SegmentIndex* index, uint32_t storedSize, uint32_t size) {
  const uint32_t s = index->segmentSize;
  if (s < SEGMENT_SIZE_MIN || s > SEGMENT_SIZE_MAX || (s & (s - 1)) != 0)
    return STATUS(ERROR_INVALID_DATA);
  if (!index->storedEnd || index->count != SegmentCountFor(size, s))
    return STATUS(ERROR_INVALID_DATA);
  if (index->storedEnd[index->count - 1] != storedSize) return STATUS(ERROR_INVALID_DATA);
  for (uint32_t i = 0; i < index->count; ++i) {
    const uint32_t start = i ? index->storedEnd[i - 1] : 0;
    if (index->storedEnd[i] <= start) return STATUS(ERROR_INVALID_DATA);
    const uint32_t length = index->storedEnd[i] - start;
    const bool first = i == 0;
    const bool last = i + 1 == index->count;
    // Room for the header, the trailer or the flush marker, and at least one byte of
    // deflate data; never more than a compressor can make of the segment's bytes.
    const uint32_t header = first ? uint32_t{ZLIB_HEADER_SIZE} : 0u;
    const uint32_t tail = last ? uint32_t{ZLIB_TRAILER_SIZE} : uint32_t{sizeof kFlushMarker};
    const uint32_t least = header + tail + 1;
    if (length < least || length > MaxStoredFor(SegmentDecodedSize(index, size, i)))
      return STATUS(ERROR_INVALID_DATA);
  }
  return STATUS(ERROR_SUCCESS);
}

SegmentDecoder* NewSegmentDecoder() {
  SegmentDecoder* decoder =
      static_cast<SegmentDecoder*>(LocalAlloc(LMEM_FIXED, sizeof(SegmentDecoder)));
  if (!decoder) return nullptr;
  decoder->inflater = libdeflate_alloc_decompressor();
  if (!decoder->inflater) {
    LocalFree(decoder);
    return nullptr;
  }
  return decoder;
}

void FreeSegmentDecoder(SegmentDecoder* decoder) {
  if (!decoder) return;
  libdeflate_free_decompressor(decoder->inflater);
  LocalFree(decoder);
}

Status DecodeSegment(SegmentDecoder* decoder, const SegmentIndex* index, uint32_t size,
                     uint32_t i, uint8_t* stored, uint8_t* out, uint32_t* streamAdler) {
  const uint32_t length = SegmentStoredSize(index, i);
  const bool first = i == 0;
  const bool last = i + 1 == index->count;
  uint8_t* data = stored;
  uint32_t dataSize = length;
  if (first) {
    if (!ZlibHeaderIsValid(stored)) return STATUS(ERROR_INVALID_DATA);
    data += ZLIB_HEADER_SIZE;
    dataSize -= ZLIB_HEADER_SIZE;
  }
  if (last) {
    dataSize -= ZLIB_TRAILER_SIZE;
  } else {
    // A segment that does not end with the empty stored block is cut elsewhere: its end is
    // not where the next one begins.
    if (std::memcmp(stored + length - sizeof kFlushMarker, kFlushMarker, sizeof kFlushMarker))
      return STATUS(ERROR_INVALID_DATA);
    std::memcpy(stored + length, kFinalTail, sizeof kFinalTail);
    dataSize += sizeof kFinalTail;
  }
  // Without an actual-size output, libdeflate requires the output to be filled exactly; the
  // input must be consumed to its last byte, so nothing of the segment is left over and the
  // final block is the one appended (or, in the last segment, the stream's own).
  const uint32_t decoded = SegmentDecodedSize(index, size, i);
  uint8_t none = 0;
  size_t consumed = 0;
  const libdeflate_result result = libdeflate_deflate_decompress_ex(
      decoder->inflater, data, dataSize, decoded ? out : &none, decoded, &consumed, nullptr);
  if (result != LIBDEFLATE_SUCCESS || consumed != dataSize) return STATUS(ERROR_INVALID_DATA);
  if (last) *streamAdler = ReadBe32(stored + length - ZLIB_TRAILER_SIZE);
  return STATUS(ERROR_SUCCESS);
}

uint32_t UpdateAdler32(uint32_t adler, const uint8_t* data, size_t size) {
  return size ? libdeflate_adler32(adler, data, size) : adler;
}

Status DecodeSegmentedRecord(const uint8_t* stored, uint32_t storedSize,
                             const SegmentIndex* index, uint32_t size, uint8_t* out) {
  Status status = CheckSegmentIndex(index, storedSize, size);
  if (!StatusOk(status)) return status;
  uint32_t largest = 0;
  for (uint32_t i = 0; i < index->count; ++i)
    if (SegmentStoredSize(index, i) > largest) largest = SegmentStoredSize(index, i);
  uint8_t* copy = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, largest + SEGMENT_INPUT_SLACK));
  SegmentDecoder* decoder = NewSegmentDecoder();
  if (!copy || !decoder) status = STATUS(ERROR_NOT_ENOUGH_MEMORY);
  uint32_t adler = ADLER32_INITIAL;
  uint32_t streamAdler = 0;
  uint64_t produced = 0;
  for (uint32_t i = 0; StatusOk(status) && i < index->count; ++i) {
    std::memcpy(copy, stored + SegmentStoredStart(index, i), SegmentStoredSize(index, i));
    status = DecodeSegment(decoder, index, size, i, copy, out + produced, &streamAdler);
    if (!StatusOk(status)) break;
    const uint32_t decoded = SegmentDecodedSize(index, size, i);
    adler = UpdateAdler32(adler, out + produced, decoded);
    produced += decoded;
  }
  if (StatusOk(status) && adler != streamAdler) status = STATUS(ERROR_INVALID_DATA);
  FreeSegmentDecoder(decoder);
  if (copy) LocalFree(copy);
  return status;
}
