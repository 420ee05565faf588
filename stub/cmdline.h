// Command line and own path.
//
// SplitCommandLine splits a UTF-16 command line by the stub's rules (quotes only group,
// backslashes are plain, separators are TAB, LF, CR and blank) into one LocalAlloc block:
// a null-terminated pointer table followed by the packed arguments. It returns the block
// (free with LocalFree) and the count, or null when the block cannot be allocated (count
// untouched). GetOwnModulePath returns the stub's full ANSI path in a LocalAlloc block, or
// null: GetModulePathWith with GetModuleFileNameA of the own module. GetModulePathWith asks
// `fetch` (GetModuleFileNameA's contract: the characters written, `size` when the name was
// cut, 0 on failure) with 260 characters of room, growing the block by 64 until the name
// fits; it returns null, with nothing left allocated, when a call or a growth fails.
#pragma once
#include <cstdint>

#include "common/winseam.h"

WCHAR** SplitCommandLine(const WCHAR* commandLine, int32_t* count);
typedef DWORD (*ModuleFileNameFetch)(char* buffer, DWORD size);
char* GetModulePathWith(ModuleFileNameFetch fetch);
#ifdef _WIN32
char* GetOwnModulePath();
#endif
