// Record lookup in a payload container.
//
// FindRecord walks the container's trailers backwards from its end and locates the record
// of the given type GUID and id. It reads only bytes inside the container, allocates
// nothing, and returns code 0 with the RecordSpan (pointers into the container) or code
// 1168 (ERROR_NOT_FOUND). The ManifestRecord ends every scan; a FileRecord trailer whose
// sizes do not fit lets the scan go on in front of it.
#pragma once
#include <cstdint>

#include "common/format.h"
#include "common/status.h"

struct RecordSpan {
  const uint8_t* data;
  uint32_t dataSize;
  const uint8_t* signature;
  uint32_t signatureSize;
};

Status FindRecord(const uint8_t* container, uint32_t containerSize, const uint8_t type[16],
                  uint32_t id, RecordSpan* span);
