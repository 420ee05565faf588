// Command line and own path.
//
// SplitCommandLine splits a UTF-16 command line by the stub's rules (quotes only group,
// backslashes are plain, separators are TAB, LF, CR and blank) into one LocalAlloc block:
// a null-terminated pointer table followed by the packed arguments. It returns the block
// (free with LocalFree) and the count, or null when the block cannot be allocated (count
// untouched). GetOwnModulePath returns the stub's full ANSI path in a LocalAlloc block, or
// null.
#pragma once
#include <cstdint>

#include "common/winseam.h"

WCHAR** SplitCommandLine(const WCHAR* commandLine, int32_t* count);
#ifdef _WIN32
char* GetOwnModulePath();
#endif
