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
    if (AsciiLower(*p) != AsciiLower(*k)) return false;
    p = next;
    ++k;
  }
  return *p == '\0' && *k == '\0';
}

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  while (*a && *b) {
    const char* nextA = CharNextA(a);
    const char* nextB = CharNextA(b);
    if (nextA - a != nextB - b) return false;
    if (nextA == a + 1) {
      if (AsciiLower(*a) != AsciiLower(*b)) return false;
    } else {
      for (const char* p = a; p < nextA; ++p)
        if (*p != b[p - a]) return false;  // a multibyte character is compared as it is
    }
    a = nextA;
    b = nextB;
  }
  return *a == '\0' && *b == '\0';
}
