// Segment indexes in manifest texts (see segments.h).
#include "manifest/segments.h"

#include <cstdio>
#include <cstring>

#include "manifest/keyword.h"

namespace {
// Reads one number of 1 to 10 digits without a leading zero ("0" itself is one) below 2^32
// at *p, moving *p behind it; false when there is none such.
bool ReadNumber(const char** p, uint32_t* value) {
  const char* q = *p;
  uint64_t v = 0;
  uint32_t digits = 0;
  for (; *q >= '0' && *q <= '9'; ++q) {
    if (++digits > 10) return false;
    v = v * 10 + static_cast<uint32_t>(*q - '0');
  }
  if (digits == 0 || (digits > 1 && **p == '0') || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  *p = q;
  return true;
}

bool FieldEnds(char c) { return c == '\0' || c == '\\'; }
}  // namespace

void ReadSegmentsField(const char* field, uint32_t* state, SegmentIndex* index) {
  *state = SEGMENTS_ABSENT;
  *index = SegmentIndex{};
  const char* p = field;
  for (const char* q = RECORD_SEGMENTS_PREFIX; *q; ++q, ++p)
    if (AsciiLower(*p) != *q) return;  // also stops at the NUL

  *state = SEGMENTS_MALFORMED;
  uint32_t segmentSize = 0;
  if (!ReadNumber(&p, &segmentSize) || *p != ':') return;
  ++p;
  // Every length takes at least two characters (a digit and a separator, or the end), so
  // the field's own length bounds the array whatever its numbers say.
  uint32_t slots = 1;
  for (const char* q = p; !FieldEnds(*q); ++q)
    if (*q == ',') ++slots;
  uint32_t* ends = static_cast<uint32_t*>(LocalAlloc(LMEM_FIXED, slots * sizeof(uint32_t)));
  if (!ends) return;
  uint64_t sum = 0;
  uint32_t count = 0;
  for (;;) {
    uint32_t length = 0;
    if (!ReadNumber(&p, &length) || (sum += length) > 0xFFFFFFFFull) {
      LocalFree(ends);
      return;
    }
    ends[count++] = static_cast<uint32_t>(sum);
    if (FieldEnds(*p)) break;
    if (*p != ',') {
      LocalFree(ends);
      return;
    }
    ++p;
  }
  index->segmentSize = segmentSize;
  index->count = count;
  index->storedEnd = ends;
  *state = SEGMENTS_PRESENT;
}

void ReadEntrySegments(const ManifestFields* entry, uint32_t fieldIndex, uint32_t* state,
                       SegmentIndex* index) {
  *state = SEGMENTS_ABSENT;
  *index = SegmentIndex{};
  const char* field = EntryDisplayField(entry, fieldIndex);
  if (!field) return;
  ReadSegmentsField(field, state, index);
  // Only a field that converted exactly can state an index.
  if (*state == SEGMENTS_PRESENT && !EntryField(entry, fieldIndex)) {
    FreeSegmentIndex(index);
    *state = SEGMENTS_MALFORMED;
  }
}

size_t SegmentsFieldLength(uint32_t segmentSize, const uint32_t* storedLengths, uint32_t count) {
  // The prefix, at most 10 digits per number, ':' and the separators, the NUL.
  (void)segmentSize;
  (void)storedLengths;
  return sizeof RECORD_SEGMENTS_PREFIX - 1 + 11 + static_cast<size_t>(count) * 11 + 1;
}

size_t FormatSegmentsField(uint32_t segmentSize, const uint32_t* storedLengths, uint32_t count,
                           char* out, size_t outSize) {
  size_t used = 0;
  int n = std::snprintf(out, outSize, "%s%u:", RECORD_SEGMENTS_PREFIX, segmentSize);
  if (n < 0 || static_cast<size_t>(n) >= outSize) return 0;
  used = static_cast<size_t>(n);
  for (uint32_t i = 0; i < count; ++i) {
    n = std::snprintf(out + used, outSize - used, i ? ",%u" : "%u", storedLengths[i]);
    if (n < 0 || static_cast<size_t>(n) >= outSize - used) return 0;
    used += static_cast<size_t>(n);
  }
  return used;
}
