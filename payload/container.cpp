// Record lookup: the backward trailer walk of a payload container (see container.h).
//
// Offsets are 32-bit and every comparison is made before the subtraction it guards, so the
// walk never forms a position outside [0, containerSize] and never reads outside the buffer.
#include "payload/container.h"

#include <cstring>

namespace {
bool SameType(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 16) == 0; }
}  // namespace

bool StepBackTrailer(const uint8_t* trailer, uint32_t* pos, RecordStep* step) {
  std::memset(step, 0, sizeof(*step));
  if (*pos < RECORD_TRAILER_SIZE) {
    step->kind = RECORD_STEP_END_NO_ROOM;
    return false;
  }
  *pos -= RECORD_TRAILER_SIZE;
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
    step->place = {*pos, dataSize, signatureAt, signatureSize};
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
  step->place = {*pos, dataSize, signatureAt, signatureSize};
  return true;
}

bool StepBackRecord(const uint8_t* container, uint32_t* pos, RecordStep* step) {
  const bool more = StepBackTrailer(
      *pos >= RECORD_TRAILER_SIZE ? container + *pos - RECORD_TRAILER_SIZE : nullptr, pos, step);
  if (step->kind == RECORD_STEP_FILE || step->kind == RECORD_STEP_MANIFEST)
    step->span = {container + step->place.dataOffset, step->place.dataSize,
                  container + step->place.signatureOffset, step->place.signatureSize};
  return more;
}

bool StepFindsRecord(const RecordStep* step, const uint8_t type[16], uint32_t id) {
  if (step->id != id) return false;
  return (step->kind == RECORD_STEP_FILE && SameType(type, RECORD_TYPE_FILE)) ||
         (step->kind == RECORD_STEP_MANIFEST && SameType(type, RECORD_TYPE_MANIFEST));
}

Status FindRecord(const uint8_t* container, uint32_t containerSize, const uint8_t type[16],
                  uint32_t id, RecordSpan* span) {
  uint32_t pos = containerSize;
  RecordStep step;
  for (;;) {
    const bool more = StepBackRecord(container, &pos, &step);
    if (StepFindsRecord(&step, type, id)) {
      *span = step.span;
      return STATUS(0);
    }
    if (!more) return STATUS(ERROR_NOT_FOUND);
  }
}
