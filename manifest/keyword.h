// Keyword comparison for manifest texts.
//
// EqualsKeyword is true when `text` equals the ASCII `keyword` without regard to case. It
// steps through `text` character by character in the active code page (CharNextA), so a
// multibyte character counts as one character and never equals an ASCII letter; only the
// letters A-Z and a-z are folded.
#pragma once
#include <cstdint>

#include "common/chars.h"

bool EqualsKeyword(const char* text, const char* keyword);

// True when the two texts are equal with A-Z and a-z folded, character by character in the
// active code page (multibyte characters compared byte for byte): how two file names would
// name the same file in a folder, as far as ASCII goes.
bool EqualsIgnoringAsciiCase(const char* a, const char* b);
