// Record lookup: the backward trailer walk of a payload container (see container.h).
//
// Offsets are 32-bit and every comparison is made before the subtraction it guards, so the
// walk never forms a position outside [0, containerSize] and never reads outside the buffer.
#include "payload/container.h"

#include <cstring>

namespace {
bool SameType(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 16) == 0; }
}  // namespace

bool StepBackRecord(const uint8_t* container, uint32_t* pos, RecordStep* step) {
  std::memset(step, 0, sizeof(*step));
  if (*pos < RECORD_TRAILER_SIZE) {
    step->kind = RECORD_STEP_END_NO_ROOM;
    return false;
  }
  *pos -= RECORD_TRAILER_SIZE;
  const uint8_t* trailer = container + *pos;
  step->trailerAt = *pos;
  step->id = ReadLe32(trailer + TRAILER_ID_OFFSET);
  const uint32_t signatureSize = ReadLe32(trailer + TRAILER_SIGNATURE_SIZE_OFFSET);
  const uint32_t dataSize = ReadLe32(trailer + TRAILER_DATA_SIZE_OFFSET);

  if (SameType(trailer + TRAILER_TYPE_OFFSET, RECORD_TYPE_MANIFEST)) {
    // The manifest is the first record: whatever it says, the walk ends here.
    if (signatureSize > *pos || dataSize > *pos - signatureSize) {
      step->kind = RECORD_STEP_END_BAD_MANIFEST;
      return false;
    }
    const uint32_t signatureAt = *pos - signatureSize;
    *pos = signatureAt - dataSize;
    step->kind = RECORD_STEP_MANIFEST;
    step->span = {container + *pos, dataSize, container + signatureAt, signatureSize};
    return false;
  }
  if (!SameType(trailer + TRAILER_TYPE_OFFSET, RECORD_TYPE_FILE)) {
    step->kind = RECORD_STEP_END_FOREIGN_TYPE;
    return false;
  }
  // A file record whose sizes do not fit is stepped over: the next trailer is looked for in
  // front of this trailer, or in front of its signature.
  if (signatureSize > *pos) {
    step->kind = RECORD_STEP_SIGNATURE_TOO_LARGE;
    return true;
  }
  *pos -= signatureSize;
  const uint32_t signatureAt = *pos;
  if (dataSize > *pos) {
    step->kind = RECORD_STEP_DATA_TOO_LARGE;
    return true;
  }
  *pos -= dataSize;
  step->kind = RECORD_STEP_FILE;
  step->span = {container + *pos, dataSize, container + signatureAt, signatureSize};
  return true;
}

Status FindRecord(const uint8_t* container, uint32_t containerSize, const uint8_t type[16],
                  uint32_t id, RecordSpan* span) {
  const bool wantManifest = SameType(type, RECORD_TYPE_MANIFEST);
  const bool wantFile = SameType(type, RECORD_TYPE_FILE);
  uint32_t pos = containerSize;
  RecordStep step;
  for (;;) {
    const bool more = StepBackRecord(container, &pos, &step);
    const bool match = step.id == id && ((step.kind == RECORD_STEP_FILE && wantFile) ||
                                         (step.kind == RECORD_STEP_MANIFEST && wantManifest));
    if (match) {
      *span = step.span;
      return STATUS(0);
    }
    if (!more) return STATUS(ERROR_NOT_FOUND);
  }
}
