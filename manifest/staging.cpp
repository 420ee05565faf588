// Temporary names of files being written (see staging.h).
#include "manifest/staging.h"

#include <cstring>

namespace {
const char kPrefix[] = "~msistub-";
const char kSuffix[] = ".tmp";
enum : uint32_t { PREFIX_LENGTH = 9, HEX_DIGITS = 16, SUFFIX_LENGTH = 4 };

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const char* a, const char* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}
}  // namespace

void FormatStagingName(uint64_t random, char out[STAGING_NAME_SIZE]) {
  static const char kDigits[] = "0123456789abcdef";
  std::memcpy(out, kPrefix, PREFIX_LENGTH);
  for (uint32_t i = 0; i < HEX_DIGITS; ++i)
    out[PREFIX_LENGTH + i] = kDigits[(random >> (60 - 4 * i)) & 15];
  std::memcpy(out + PREFIX_LENGTH + HEX_DIGITS, kSuffix, SUFFIX_LENGTH + 1);
}

bool IsStagingName(const char* name) {
  if (!name || std::strlen(name) != STAGING_NAME_SIZE - 1) return false;
  if (!SameIgnoringCase(name, kPrefix, PREFIX_LENGTH)) return false;
  for (uint32_t i = 0; i < HEX_DIGITS; ++i) {
    const char c = Lower(name[PREFIX_LENGTH + i]);
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return SameIgnoringCase(name + PREFIX_LENGTH + HEX_DIGITS, kSuffix, SUFFIX_LENGTH);
}
