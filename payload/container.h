// Record lookup in a payload container.
//
// A container is walked backwards from its end, one trailer at a time. StepBackTrailer takes
// one step of that walk: given the trailer in front of *pos, it says what it found and moves
// *pos to where the walk goes on; it is the one statement of the walk's rules, which
// StepBackRecord (the container in memory), FindRecord, the sources' record index (trailers
// read from a file) and the packaging tool's listing and index follow. FindRecord walks until a
// record of the given type GUID and id, and returns code 0 with the RecordSpan (pointers
// into the container) or code 1168 (ERROR_NOT_FOUND). The ManifestRecord ends every walk; a
// FileRecord trailer whose sizes do not fit lets the walk go on in front of it. Both read
// only bytes inside the container and allocate nothing.
#pragma once
#include <cstdint>

#include "common/format.h"
#include "common/status.h"

// Where one record lies in its container: offsets from the container's start.
struct RecordPlace {
  uint32_t dataOffset;
  uint32_t dataSize;
  uint32_t signatureOffset;
  uint32_t signatureSize;
};

struct RecordSpan {
  const uint8_t* data;
  uint32_t dataSize;
  const uint8_t* signature;
  uint32_t signatureSize;
};

enum RecordStepKind : uint32_t {
  RECORD_STEP_FILE,                 // a FileRecord whose fields fit: `span` is set
  RECORD_STEP_MANIFEST,             // the ManifestRecord, its fields fit: `span` is set; the end
  RECORD_STEP_SIGNATURE_TOO_LARGE,  // a FileRecord trailer whose signature does not fit: the
                                    // walk goes on in front of the trailer
  RECORD_STEP_DATA_TOO_LARGE,       // one whose data does not fit: the walk goes on in front of
                                    // its signature
  RECORD_STEP_END_NO_ROOM,          // fewer bytes left than a trailer: the end
  RECORD_STEP_END_BAD_MANIFEST,     // a ManifestRecord whose fields do not fit: the end
  RECORD_STEP_END_FOREIGN_TYPE,     // a trailer of neither type: the end
};

struct RecordStep {
  uint32_t kind;       // RecordStepKind
  uint32_t id;         // the trailer's id (every kind but RECORD_STEP_END_NO_ROOM)
  uint32_t trailerAt;  // the trailer's offset (likewise)
  RecordPlace place;   // RECORD_STEP_FILE and RECORD_STEP_MANIFEST
  RecordSpan span;     // likewise, by StepBackRecord only (pointers into the container)
};

// One step back from *pos (the walk starts at the container's size); false when the walk
// ends with this step (the ManifestRecord, or an END kind). `trailer` holds the
// RECORD_TRAILER_SIZE bytes in front of *pos, and is not read (may be null) when *pos is
// smaller than that. Sets every field of `step` but `span`, which it zeroes.
bool StepBackTrailer(const uint8_t* trailer, uint32_t* pos, RecordStep* step);
// StepBackTrailer over a container in memory, with `span` set as well.
bool StepBackRecord(const uint8_t* container, uint32_t* pos, RecordStep* step);
// True when the record of `step` is the one a lookup of `type` and `id` stops at.
bool StepFindsRecord(const RecordStep* step, const uint8_t type[16], uint32_t id);

Status FindRecord(const uint8_t* container, uint32_t containerSize, const uint8_t type[16],
                  uint32_t id, RecordSpan* span);
