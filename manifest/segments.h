// Segment indexes in manifest texts.
//
// A manifest entry whose FileRecord is segmented (see payload/segment.h) carries the index in
// the field after its size field (the seventh of a package descriptor, the sixth of a cabinet
// line): RECORD_SEGMENTS_PREFIX, the segment size in decimal bytes, ':', and the stored
// length of every segment in decimal, separated by ','
// (`segments=1048576:409877,411002,18`). Numbers have 1 to 10 digits and no leading zero,
// and stay below 2^32. Readers that know only the regular fields ignore it; a record without
// it is decoded as one stream.
//
// ReadEntrySegments looks at field `fieldIndex` (0-based) of a manifest entry (see entry.h):
// SEGMENTS_ABSENT when there is no such field or it does not begin with the prefix (in any
// case); SEGMENTS_PRESENT with `index` filled (ends accumulated from the lengths; the caller
// frees it with FreeSegmentIndex) when the field is well formed; SEGMENTS_MALFORMED when the
// prefix is there but the rest is not of the form above, a sum passes 2^32 - 1, the field did
// not convert exactly, or memory for the ends ran out (the entry then matches no record). The
// ends array is bounded by the field's length, not by anything it states. Whether the index
// fits the record is CheckSegmentIndex's business. ReadSegmentsField does the same for one
// field, which runs to its NUL or to the next '\\'.
//
// FormatSegmentsField writes the field for `segmentSize` and `count` stored lengths into
// `out` (NUL-terminated) and returns its length, or 0 when `outSize` is too small;
// SegmentsFieldLength is the size `out` needs, NUL included.
#pragma once
#include <cstddef>
#include <cstdint>

#include "manifest/entry.h"
#include "payload/segment.h"

enum : uint32_t {
  DESCRIPTOR_SEGMENTS_FIELD = 6,  // 0-based field index in a package descriptor
  CABINET_SEGMENTS_FIELD = 5,     // 0-based field index in a cabinet line
};
static const char RECORD_SEGMENTS_PREFIX[] = "segments=";

enum : uint32_t { SEGMENTS_ABSENT = 0, SEGMENTS_PRESENT = 1, SEGMENTS_MALFORMED = 2 };

void ReadEntrySegments(const ManifestFields* entry, uint32_t fieldIndex, uint32_t* state,
                       SegmentIndex* index);
void ReadSegmentsField(const char* field, uint32_t* state, SegmentIndex* index);

size_t SegmentsFieldLength(uint32_t segmentSize, const uint32_t* storedLengths, uint32_t count);
size_t FormatSegmentsField(uint32_t segmentSize, const uint32_t* storedLengths, uint32_t count,
                           char* out, size_t outSize);
