// Case-insensitive keyword comparison in the active code page (see keyword.h).
#include "manifest/keyword.h"

#include "common/winseam.h"

bool EqualsKeyword(const char* text, const char* keyword) {
  const char* p = text;
  const char* k = keyword;
  while (*p && *k) {
    const char* next = CharNextA(p);
    // A multibyte character can never equal a single ASCII keyword character.
    if (next != p + 1) return false;
    if (FoldAsciiLetter(*p) != FoldAsciiLetter(*k)) return false;
    p = next;
    ++k;
  }
  return *p == '\0' && *k == '\0';
}
