// Command line splitting and the stub's own path (see cmdline.h).
#include "stub/cmdline.h"

namespace {
bool IsSeparator(WCHAR c) { return c == 9 || c == 10 || c == 13 || c == 32; }
}  // namespace

WCHAR** SplitCommandLine(const WCHAR* commandLine, int32_t* count) {
  size_t n = 0;
  while (commandLine[n]) ++n;
  // At most (n + 1) / 2 arguments plus the null pointer; at most n + 1 characters written.
  const size_t slots = (n + 2) / 2 + 1;
  const size_t bytes = slots * sizeof(WCHAR*) + (n + 2) * sizeof(WCHAR);
  auto** table = static_cast<WCHAR**>(LocalAlloc(LMEM_FIXED, bytes));
  if (!table) return nullptr;
  WCHAR* out = reinterpret_cast<WCHAR*>(table + slots);

  bool inQuotes = false, inArgument = false, atBoundary = true;
  int32_t argc = 0;
  for (const WCHAR* p = commandLine; *p; ++p) {
    const WCHAR c = *p;
    if (inQuotes) {
      if (c == u'"')
        inQuotes = false;
      else
        *out++ = c;
    } else if (IsSeparator(c)) {
      if (inArgument) *out++ = 0;
      inArgument = false;
      atBoundary = true;
    } else {
      if (atBoundary) table[argc++] = out;
      if (c == u'"')
        inQuotes = true;
      else
        *out++ = c;
      inArgument = true;
      atBoundary = false;
    }
  }
  *out = 0;
  table[argc] = nullptr;
  *count = argc;
  return table;
}

char* GetModulePathWith(ModuleFileNameFetch fetch) {
  DWORD size = 260;
  char* buffer = nullptr;
  for (;;) {
    char* grown = static_cast<char*>(
        buffer ? LocalReAlloc(buffer, size + 1, LMEM_MOVEABLE) : LocalAlloc(LMEM_FIXED, size + 1));
    if (!grown) {
      if (buffer) LocalFree(buffer);
      return nullptr;
    }
    buffer = grown;
    DWORD n = fetch(buffer, size);
    if (n == 0) {
      LocalFree(buffer);
      return nullptr;
    }
    if (n < size) return buffer;
    size += 64;  // the name was cut
  }
}

#ifdef _WIN32
char* GetOwnModulePath() {
  return GetModulePathWith([](char* buffer, DWORD size) {
    return GetModuleFileNameA(nullptr, buffer, size);
  });
}
#endif
