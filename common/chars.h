// Characters shared by the stub and the packaging tool (header-only; builds natively and for
// Windows).
//
// AsciiLower / AsciiUpper change only A-Z / a-z, for any character type (char, WCHAR, a code
// point): switches, keywords and names are compared as the stub compares them, without a
// locale and without folding anything beyond ASCII. EncodeUtf8 writes the 1 to 4 UTF-8 bytes
// of the code point `c` (at most 0x10FFFF; callers replace lone surrogates first) to `out`
// and returns how many it wrote.
#pragma once
#include <cstdint>

template <typename Char>
inline Char AsciiLower(Char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}

template <typename Char>
inline Char AsciiUpper(Char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

inline int EncodeUtf8(uint32_t c, char out[4]) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}
