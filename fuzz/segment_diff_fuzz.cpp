// Differential fuzz target: segmented decoding (DecodeSegmentedRecord: every segment on its
// own through libdeflate, with the index's checks) against whole-stream zlib on the same
// bytes.
//
// Input: 1 byte giving the segment count (1 + b % 4), 1 byte choosing the decoded size (even:
// the length zlib decodes; odd: that length plus the next byte as a signed offset), the
// stored lengths of all segments but the last (u16 LE each; the last one runs to the end),
// then the zlib stream. The segment size is SEGMENT_SIZE_MIN. Required: the verdict is 0 or
// 13; whenever segmented decoding succeeds, zlib decodes the whole stream to the same bytes
// (or refuses it for one of the leniencies of libdeflate listed in docs/design.md, told apart
// by zlib's message), so an index that does not match the stream never yields other bytes
// than the stream's; nothing stays allocated.
#include <zlib.h>

#include <cstring>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "payload/segment.h"

namespace {
const uint32_t kMaxSize = 4 * SEGMENT_SIZE_MIN + 4096;

// Whole-stream zlib: the bytes it decodes into `room` and its verdict, with its message.
bool ZlibWhole(const uint8_t* stored, size_t storedSize, uint8_t* room, uint32_t* length,
               const char** reason) {
  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(stored);
  zs.avail_in = static_cast<uInt>(storedSize);
  zs.next_out = room;
  zs.avail_out = kMaxSize;
  const int rc = inflate(&zs, Z_FINISH);
  *length = kMaxSize - zs.avail_out;
  *reason = rc == Z_STREAM_END ? nullptr : zs.msg ? zs.msg : "no message";
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

// Streams no compressor writes that libdeflate decodes and zlib refuses (docs/design.md).
bool KnownLeniency(const char* reason) {
  static const char* const kKnown[] = {
      "invalid literal/length code",   "invalid distance code",
      "too many length or distance symbols", "invalid code lengths set",
      "invalid literal/lengths set",   "invalid distances set",
      "invalid bit length repeat",     "invalid code -- missing end-of-block",
      "invalid distance too far back",
  };
  for (const char* k : kKnown)
    if (reason && std::strcmp(reason, k) == 0) return true;
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t* whole = static_cast<uint8_t*>(std::malloc(kMaxSize));
  static uint8_t* out = static_cast<uint8_t*>(std::malloc(kMaxSize));
  FuzzInput in{data, size};
  const uint32_t count = 1 + in.Byte() % 4;
  const uint8_t choice = in.Byte();
  const int8_t offset = (choice & 1) ? static_cast<int8_t>(in.Byte()) : 0;
  uint32_t ends[4];
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 1 < count; ++i) {
    sum += in.Byte() | in.Byte() << 8;
    ends[i] = sum;
  }
  if (in.size > 0xFFFFu) return 0;
  uint8_t* stored = ExactCopy(in.data, in.size);
  const uint32_t storedSize = static_cast<uint32_t>(in.size);
  ends[count - 1] = storedSize;
  const long liveBefore = HostLiveAllocations();

  uint32_t zlibLength = 0;
  const char* reason = nullptr;
  const bool zlibOk = ZlibWhole(stored, storedSize, whole, &zlibLength, &reason);
  const int64_t wanted = static_cast<int64_t>(zlibLength) + offset;
  const uint32_t decoded = wanted < 0 || wanted > kMaxSize ? 0 : static_cast<uint32_t>(wanted);

  const SegmentIndex index = {SEGMENT_SIZE_MIN, count, ends};
  const uint32_t result =
      StatusCode(DecodeSegmentedRecord(stored, storedSize, &index, decoded, out));
  FUZZ_CHECK(result == 0 || result == ERROR_INVALID_DATA);
  if (result == 0) {
    if (zlibOk) {
      FUZZ_CHECK(zlibLength == decoded);
      FUZZ_CHECK(decoded == 0 || std::memcmp(whole, out, decoded) == 0);
    } else {
      FUZZ_CHECK(KnownLeniency(reason));
    }
  }
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  std::free(stored);
  return 0;
}
