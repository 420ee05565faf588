// Differential fuzz target: the sized inflater (InflateSizedRecord, libdeflate into one exact
// block) against the growing one (InflateRecord, zlib), on the same bytes and size.
//
// Input: 1 byte choosing the size (0: the length zlib's inflater decoded, 1: the length
// libdeflate decodes when given room, 2: the next 3 bytes LE), 1 byte signed offset added to
// the chosen length (choices 0 and 1), then the zlib stream. Required: when the growing
// inflater decodes exactly `size` bytes, the sized one decodes the same bytes; when the sized
// one succeeds, the growing one does too, with the same bytes, except for the streams listed
// in docs/design.md that libdeflate accepts and zlib refuses (told apart by zlib's own
// message). Nothing stays allocated either way.
#include <libdeflate.h>
#include <zlib.h>

#include <cstring>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "payload/record.h"

namespace {
const uint32_t kMaxSize = 4u << 20;  // inputs of 2 KiB inflate to about 2 MiB at most

// The length libdeflate decodes from `stored` when it may write up to kMaxSize bytes.
uint32_t LibdeflateLength(const uint8_t* stored, size_t storedSize) {
  static uint8_t* room = static_cast<uint8_t*>(std::malloc(kMaxSize));
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  size_t produced = 0;
  const libdeflate_result r =
      libdeflate_zlib_decompress_ex(d, stored, storedSize, room, kMaxSize, nullptr, &produced);
  libdeflate_free_decompressor(d);
  return r == LIBDEFLATE_SUCCESS ? static_cast<uint32_t>(produced) : 0;
}

// Why zlib refuses `stored` when inflating it whole in one call: its message, or null when
// it decodes (then only the growing inflater's window can have refused it).
const char* ZlibReason(const uint8_t* stored, size_t storedSize) {
  static uint8_t* room = static_cast<uint8_t*>(std::malloc(kMaxSize));
  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK) return "inflateInit";
  zs.next_in = const_cast<Bytef*>(stored);
  zs.avail_in = static_cast<uInt>(storedSize);
  zs.next_out = room;
  zs.avail_out = kMaxSize;
  const int rc = inflate(&zs, Z_FINISH);
  const char* reason = rc == Z_STREAM_END ? nullptr : zs.msg ? zs.msg : "no message";
  inflateEnd(&zs);
  return reason;
}

// Streams no compressor writes that libdeflate decodes and zlib refuses (docs/design.md).
bool KnownLeniency(const uint8_t* stored, size_t storedSize) {
  const char* reason = ZlibReason(stored, storedSize);
  // Decodable in one call: the growing inflater refused a distance that reaches past the
  // window the header declares (fewer than 32 KiB) into output of an earlier call.
  if (!reason) return storedSize >= 2 && (stored[0] >> 4) < 7;
  static const char* const kKnown[] = {
      "invalid literal/length code",   // fixed-code symbols 286 and 287
      "invalid distance code",         // fixed-code distances 30 and 31
      "too many length or distance symbols",
      "invalid code lengths set",      // incomplete code length code
      "invalid literal/lengths set",   // incomplete or empty length code
      "invalid distances set",
      "invalid bit length repeat",     // repeat past the declared lengths
      "invalid code -- missing end-of-block",
      "invalid distance too far back", // distance past the header's smaller window
  };
  for (const char* k : kKnown)
    if (std::strcmp(reason, k) == 0) return true;
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t choice = in.Byte() % 3;
  const int8_t offset = static_cast<int8_t>(in.Byte());
  uint32_t explicitSize = 0;
  if (choice == 2) explicitSize = in.Byte() | in.Byte() << 8 | in.Byte() << 16;
  if (in.size > 0xFFFFu) return 0;
  uint8_t* stored = ExactCopy(in.data, in.size);
  const uint32_t storedSize = static_cast<uint32_t>(in.size);
  const long liveBefore = HostLiveAllocations();

  uint8_t* grown = nullptr;
  uint32_t grownSize = 0;
  const uint32_t grownResult = StatusCode(InflateRecord(stored, storedSize, &grown, &grownSize));

  uint64_t wanted = explicitSize;
  if (choice == 0) wanted = grownResult == 0 ? grownSize : 0;
  if (choice == 1) wanted = LibdeflateLength(stored, storedSize);
  if (choice != 2) wanted = static_cast<uint64_t>(static_cast<int64_t>(wanted) + offset);
  if (wanted > kMaxSize) wanted = 0;  // an offset below zero, or beyond the room above
  const uint32_t sized = static_cast<uint32_t>(wanted);

  uint8_t sentinel = 0;
  uint8_t* exact = &sentinel;
  const uint32_t exactResult = StatusCode(InflateSizedRecord(stored, storedSize, sized, &exact));
  FUZZ_CHECK(exactResult == 0 || exactResult == ERROR_INVALID_DATA);
  FUZZ_CHECK((exactResult == 0) == (exact != nullptr));

  const bool zlibAccepts = grownResult == 0 && grownSize == sized;
  if (zlibAccepts) {
    FUZZ_CHECK(exactResult == 0);
    FUZZ_CHECK(sized == 0 || std::memcmp(grown, exact, sized) == 0);
  } else if (exactResult == 0) {
    // The growing inflater decoded another length: the two decoders disagree on the stream.
    FUZZ_CHECK(grownResult != 0);
    FUZZ_CHECK(KnownLeniency(stored, storedSize));
  }
  if (grown) LocalFree(grown);
  if (exactResult == 0) LocalFree(exact);
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  std::free(stored);
  return 0;
}
