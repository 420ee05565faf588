// Record sizes in manifest texts (see size.h).
#include "manifest/size.h"

#include "manifest/keyword.h"

void ReadSizeField(const char* field, RecordSize* size) {
  size->state = SIZE_ABSENT;
  size->bytes = 0;
  const char* p = field;
  for (const char* q = RECORD_SIZE_PREFIX; *q; ++q, ++p)
    if (AsciiLower(*p) != *q) return;  // also stops at the NUL

  size->state = SIZE_MALFORMED;
  uint64_t value = 0;
  uint32_t digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Ten digits hold every 32-bit value; an eleventh (even a leading zero) is refused, so
    // the sum below never leaves 64 bits.
    if (++digits > 10) return;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (digits == 0 || value > 0xFFFFFFFFull || (*p != '\0' && *p != '\\')) return;
  size->state = SIZE_PRESENT;
  size->bytes = static_cast<uint32_t>(value);
}

void ReadEntrySize(const ManifestFields* entry, uint32_t fieldIndex, RecordSize* size) {
  size->state = SIZE_ABSENT;
  size->bytes = 0;
  const char* field = EntryDisplayField(entry, fieldIndex);
  if (!field) return;
  ReadSizeField(field, size);
  // Only a field that converted exactly can state a size.
  if (size->state == SIZE_PRESENT && !EntryField(entry, fieldIndex)) {
    size->state = SIZE_MALFORMED;
    size->bytes = 0;
  }
}
