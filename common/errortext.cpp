// FormatErrorText and its shaping rules (see errortext.h).
#include "common/errortext.h"

#include <cstdio>
#include <cstring>

#include "common/winseam.h"

void ShapeErrorText(uint32_t code, char* buffer, uint32_t size, uint32_t n, const char* detail) {
  if (!buffer || size == 0) return;
  if (n >= size) n = size - 1;
  uint32_t k = n;
  while (k > 0) {
    char c = buffer[k - 1];
    if (c != '.' && c != ' ' && c != '\r' && c != '\n') break;
    --k;
  }
  buffer[k] = '\0';
  const bool hasDetail = detail && detail[0];
  if (hasDetail) {
    if (k > 0)
      std::snprintf(buffer + k, size - k, " (%s).", detail);
    else
      std::snprintf(buffer, size, "%s %u (%s).", "Error", code, detail);
  } else {
    if (k > 0)
      std::snprintf(buffer + k, size - k, ".");
    else
      std::snprintf(buffer, size, "%s %u", "Error", code);
  }
}

#ifdef _WIN32
void FormatErrorText(uint32_t code, char* buffer, uint32_t size, const char* detail) {
  if (!buffer || size == 0) return;
  buffer[0] = '\0';
  // Inserts such as %1 are left as they stand: no argument is ever read.
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, LANG_USER_DEFAULT, buffer, size, nullptr);
  ShapeErrorText(code, buffer, size, n, detail);
}
#endif
