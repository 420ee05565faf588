// Status: what a step of the stub that can fail returns, a code and the line that produced it.
//
// The low 32 bits are the code (a Win32 error code, an HRESULT or the installer's exit code;
// 0 is success), the high 32 bits the place of the statement that produced it: the source
// file's id (StatusFileId, bits 48-63; 0 for a file the table does not name) and its line
// (bits 32-47). Success is decided on the code alone. STATUS(code) builds one at the current
// place; STATUS_FROM_LAST_ERROR(def) takes the code from GetLastError, or `def` when that is
// 0, and must follow the failing call directly. StatusFileName names a file id.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/winseam.h"

typedef uint64_t Status;

// The source files whose statements make Status values, by id (index; 0 names none).
inline constexpr const char* kStatusFiles[] = {
    nullptr,
    "common/errortext.cpp",  "payload/container.cpp", "payload/record.cpp",
    "payload/sources.cpp",   "payload/certsources.cpp", "manifest/entry.cpp",
    "manifest/enum.cpp",     "manifest/select.cpp",   "manifest/fileset.cpp",
    "extract/folder.cpp",    "extract/hold.cpp",      "extract/item.cpp",
    "extract/writer.cpp",    "extract/progress.cpp",  "extract/taskbar.cpp",
    "stub/main.cpp",         "stub/run.cpp",          "stub/installer.cpp",
    "stub/cmdline.cpp",      "stub/report.cpp",       "stub/log.cpp",
    "payload/inflater.cpp",
};

// True when `path` ends in "/<tail>" (or "\\<tail>") or is `tail`.
constexpr bool PathEndsWith(const char* path, const char* tail) {
  size_t p = 0, t = 0;
  while (path[p]) ++p;
  while (tail[t]) ++t;
  if (t > p) return false;
  for (size_t i = 0; i < t; ++i)
    if (path[p - t + i] != tail[i]) return false;
  return p == t || path[p - t - 1] == '/' || path[p - t - 1] == '\\';
}

constexpr uint32_t StatusFileId(const char* path) {
  for (uint32_t i = 1; i < sizeof(kStatusFiles) / sizeof(kStatusFiles[0]); ++i)
    if (PathEndsWith(path, kStatusFiles[i])) return i;
  return 0;
}

// A place: file id and line.
constexpr uint32_t StatusPlaceOf(uint32_t file, uint32_t line) { return file << 16 | (line & 0xFFFFu); }

inline Status MakeStatus(uint32_t code, uint32_t place) {
  return (static_cast<uint64_t>(place) << 32) | code;
}
inline uint32_t StatusCode(Status s) { return static_cast<uint32_t>(s); }
inline uint32_t StatusPlace(Status s) { return static_cast<uint32_t>(s >> 32); }
inline uint32_t StatusLine(Status s) { return static_cast<uint32_t>(s >> 32) & 0xFFFFu; }
inline uint32_t StatusFile(Status s) { return static_cast<uint32_t>(s >> 48); }
inline bool StatusOk(Status s) { return StatusCode(s) == 0; }
// The file of an id ("stub/run.cpp"), or null for 0 and ids the table does not have.
inline const char* StatusFileName(uint32_t file) {
  return file > 0 && file < sizeof(kStatusFiles) / sizeof(kStatusFiles[0]) ? kStatusFiles[file]
                                                                             : nullptr;
}

inline Status StatusFromLastError(uint32_t defaultCode, uint32_t place) {
  DWORD code = GetLastError();
  return MakeStatus(code != 0 ? static_cast<uint32_t>(code) : defaultCode, place);
}

#define STATUS_HERE \
  StatusPlaceOf(std::integral_constant<uint32_t, StatusFileId(__FILE__)>::value, __LINE__)
#define STATUS(code) MakeStatus(static_cast<uint32_t>(code), STATUS_HERE)
#define STATUS_FROM_LAST_ERROR(def) StatusFromLastError(static_cast<uint32_t>(def), STATUS_HERE)

// Codes the stub produces that the Windows headers of the native seam may lack.
#define STATUS_E_INVALIDARG 0x80070057u
#define STATUS_NTE_BAD_KEY 0x80090003u
