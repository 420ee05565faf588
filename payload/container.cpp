// Record lookup: the backward trailer scan of a payload container (see container.h).
//
// Offsets are 32-bit and every comparison is made before the subtraction it guards, so the
// scan never forms a position outside [0, containerSize] and never reads outside the buffer.
#include "payload/container.h"

#include <cstring>

namespace {
Status NotFound(uint32_t line) { return MakeStatus(ERROR_NOT_FOUND, line); }

bool SameType(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 16) == 0; }
}  // namespace

Status FindRecord(const uint8_t* container, uint32_t containerSize, const uint8_t type[16],
                  uint32_t id, RecordSpan* span) {
  uint32_t pos = containerSize;
  for (;;) {
    if (pos < RECORD_TRAILER_SIZE) return NotFound(__LINE__);
    pos -= RECORD_TRAILER_SIZE;
    const uint8_t* trailer = container + pos;
    const uint32_t recordId = ReadLe32(trailer + TRAILER_ID_OFFSET);
    const uint32_t signatureSize = ReadLe32(trailer + TRAILER_SIGNATURE_SIZE_OFFSET);
    const uint32_t dataSize = ReadLe32(trailer + TRAILER_DATA_SIZE_OFFSET);

    if (SameType(trailer + TRAILER_TYPE_OFFSET, RECORD_TYPE_MANIFEST)) {
      // The manifest is the first record: whatever it says, the scan ends here.
      if (signatureSize > pos) return NotFound(__LINE__);
      const uint32_t signatureAt = pos - signatureSize;
      if (dataSize > signatureAt) return NotFound(__LINE__);
      const uint32_t dataAt = signatureAt - dataSize;
      if (!SameType(type, RECORD_TYPE_MANIFEST) || recordId != id) return NotFound(__LINE__);
      span->data = container + dataAt;
      span->dataSize = dataSize;
      span->signature = container + signatureAt;
      span->signatureSize = signatureSize;
      return STATUS(0);
    }

    if (!SameType(trailer + TRAILER_TYPE_OFFSET, RECORD_TYPE_FILE)) return NotFound(__LINE__);

    // A file record whose sizes do not fit is stepped over: the next trailer is looked for
    // in front of this trailer, or in front of its signature.
    if (signatureSize > pos) continue;
    pos -= signatureSize;
    const uint32_t signatureAt = pos;
    if (dataSize > pos) continue;
    pos -= dataSize;
    if (SameType(type, RECORD_TYPE_FILE) && recordId == id) {
      span->data = container + pos;
      span->dataSize = dataSize;
      span->signature = container + signatureAt;
      span->signatureSize = signatureSize;
      return STATUS(0);
    }
  }
}
