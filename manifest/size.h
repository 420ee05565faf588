// Record sizes in manifest texts.
//
// A manifest entry may state the decoded size of its FileRecord in the field after its digest
// field (the sixth of a package descriptor, the fifth of a cabinet line): RECORD_SIZE_PREFIX
// and the size in decimal bytes, at most 4 GiB - 1. Readers that know only the regular fields
// ignore it. The stub then decodes the record into one block of exactly that size and refuses
// a record that decodes to any other length.
//
// ReadEntrySize looks at field `fieldIndex` (0-based) of a manifest entry (see entry.h). The
// result is
// SIZE_ABSENT when the text has no such field or the field does not begin with the prefix (in
// any case); SIZE_PRESENT with `bytes` set; SIZE_MALFORMED when the prefix is there but the
// rest of the field is not one to ten decimal digits with a value below 2^32, or the field did
// not convert exactly: no record can match such an entry. ReadSizeField does the same for one field, which runs to its NUL or to
// the next '\\'.
#pragma once
#include <cstdint>

#include "manifest/entry.h"

enum : uint32_t {
  DESCRIPTOR_SIZE_FIELD = 5,  // 0-based field index in a package descriptor
  CABINET_SIZE_FIELD = 4,     // 0-based field index in a cabinet line
};
static const char RECORD_SIZE_PREFIX[] = "size=";

enum : uint32_t { SIZE_ABSENT = 0, SIZE_PRESENT = 1, SIZE_MALFORMED = 2 };

struct RecordSize {
  uint32_t state;  // SIZE_ABSENT, SIZE_PRESENT or SIZE_MALFORMED
  uint32_t bytes;  // the decoded size when SIZE_PRESENT, else 0
};

void ReadEntrySize(const ManifestFields* entry, uint32_t fieldIndex, RecordSize* size);
void ReadSizeField(const char* field, RecordSize* size);
