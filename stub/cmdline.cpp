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

#ifdef _WIN32
WCHAR* GetOwnModulePathWide() {
  return GetModulePathWith<WCHAR>([](WCHAR* buffer, DWORD size) {
    return GetModuleFileNameW(nullptr, buffer, size);
  });
}

char* GetOwnModulePath() {
  WCHAR* wide = GetOwnModulePathWide();
  if (!wide) return nullptr;
  // For showing only: characters the code page lacks come out as near as it allows.
  char* path = nullptr;
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size > 0) path = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, static_cast<size_t>(size)));
  if (path && WideCharToMultiByte(CP_ACP, 0, wide, -1, path, size, nullptr, nullptr) != size) {
    LocalFree(path);
    path = nullptr;
  }
  LocalFree(wide);
  return path;
}
#endif
