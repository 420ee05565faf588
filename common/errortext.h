// Error texts for users.
//
// FormatErrorText fills `buffer` (size bytes, always terminated) with one sentence for
// `code`: the system's text for it without trailing '.', ' ', CR and LF, then " (detail)."
// when a non-empty detail is given, else "."; when the system has no text, "Error <code>
// (detail)." or "Error <code>". ShapeErrorText does the shaping on a buffer that already
// holds the system's `n` characters, so the rules can be tested without the system.
#pragma once
#include <cstdint>

void FormatErrorText(uint32_t code, char* buffer, uint32_t size, const char* detail);
void ShapeErrorText(uint32_t code, char* buffer, uint32_t size, uint32_t n, const char* detail);
