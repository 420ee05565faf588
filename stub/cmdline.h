// Command line and own path.
//
// SplitCommandLine splits a UTF-16 command line by the stub's rules (quotes only group,
// backslashes are plain, separators are TAB, LF, CR and blank) into one LocalAlloc block:
// a null-terminated pointer table followed by the packed arguments. It returns the block
// (free with LocalFree) and the count, or null when the block cannot be allocated (count
// untouched). GetOwnModulePathWide returns the stub's full path in a LocalAlloc block, or
// null: GetModulePathWith with GetModuleFileNameW of the own module; the stub opens its own
// file by it, so a path outside the code page works too. GetOwnModulePath returns the same
// path converted to the active code page, for showing only (characters the code page lacks
// come out as near as it allows). GetModulePathWith asks `fetch` (GetModuleFileName's
// contract: the characters written, `size` when the name was cut, 0 on failure) with 260
// characters of room, growing the block by 64 until the name fits; it returns null, with
// nothing left allocated, when a call or a growth fails.
#pragma once
#include <cstdint>

#include "common/winseam.h"

WCHAR** SplitCommandLine(const WCHAR* commandLine, int32_t* count);
template <typename Unit>
Unit* GetModulePathWith(DWORD (*fetch)(Unit* buffer, DWORD size)) {
  DWORD size = 260;
  Unit* buffer = nullptr;
  for (;;) {
    const size_t bytes = (static_cast<size_t>(size) + 1) * sizeof(Unit);
    Unit* grown = static_cast<Unit*>(buffer ? LocalReAlloc(buffer, bytes, LMEM_MOVEABLE)
                                            : LocalAlloc(LMEM_FIXED, bytes));
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
WCHAR* GetOwnModulePathWide();
char* GetOwnModulePath();
#endif
