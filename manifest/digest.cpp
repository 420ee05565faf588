// Record digests in manifest texts (see digest.h).
#include "manifest/digest.h"

#include <cstring>

#include "manifest/keyword.h"

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

void ReadDigestField(const char* field, RecordDigest* digest) {
  std::memset(digest, 0, sizeof(*digest));
  const char* p = field;
  const size_t prefixLength = sizeof(RECORD_DIGEST_PREFIX) - 1;
  for (size_t i = 0; i < prefixLength; ++i)
    if (AsciiLower(p[i]) != RECORD_DIGEST_PREFIX[i]) return;  // also stops at the NUL
  p += prefixLength;

  digest->state = DIGEST_MALFORMED;
  for (uint32_t i = 0; i < RECORD_DIGEST_SIZE; ++i) {
    const int high = HexValue(p[2 * i]);
    const int low = high < 0 ? -1 : HexValue(p[2 * i + 1]);
    if (low < 0) {
      std::memset(digest->bytes, 0, sizeof(digest->bytes));
      return;
    }
    digest->bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  const char end = p[2 * RECORD_DIGEST_SIZE];
  if (end != '\0' && end != '\\') {
    std::memset(digest->bytes, 0, sizeof(digest->bytes));
    return;
  }
  digest->state = DIGEST_PRESENT;
}

void ReadEntryDigest(const ManifestFields* entry, uint32_t fieldIndex, RecordDigest* digest) {
  std::memset(digest, 0, sizeof(*digest));
  const char* field = EntryDisplayField(entry, fieldIndex);
  if (!field) return;
  ReadDigestField(field, digest);
  // Only a field that converted exactly can name a digest.
  if (digest->state == DIGEST_PRESENT && !EntryField(entry, fieldIndex)) {
    std::memset(digest->bytes, 0, sizeof(digest->bytes));
    digest->state = DIGEST_MALFORMED;
  }
}
