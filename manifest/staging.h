// Temporary names of files being written.
//
// Every file of a run is written under a temporary name in the extraction folder and gets its
// final name only once its record is verified. A temporary name is "~msistub-", 16 hex digits
// and ".tmp" ("~msistub-3f09a1c2d4e5b687.tmp"): no manifest file name can be one (the packaging
// tool and the stub refuse nothing for it, but the stub never trusts a file of that pattern:
// one found in a folder it uses was left by a run that did not finish and is deleted).
// FormatStagingName writes the name for `random`; IsStagingName is true for exactly that
// pattern (letters of any case, as the file system compares names).
#pragma once
#include <cstdint>

enum : uint32_t { STAGING_NAME_SIZE = 30 };  // "~msistub-" + 16 + ".tmp" + NUL

void FormatStagingName(uint64_t random, char out[STAGING_NAME_SIZE]);
bool IsStagingName(const char* name);
