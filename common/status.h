// Status: what a step of the stub that can fail returns, a code and the line that produced it.
//
// The low 32 bits are the code (a Win32 error code, an HRESULT or the installer's exit code;
// 0 is success), the high 32 bits the source line of the statement that produced it. Success
// is decided on the code alone. STATUS(code) builds one at the current line;
// STATUS_FROM_LAST_ERROR(def) takes the code from GetLastError, or `def` when that is 0, and
// must follow the failing call directly.
#pragma once
#include <cstdint>

#include "common/winseam.h"

typedef uint64_t Status;

inline Status MakeStatus(uint32_t code, uint32_t line) {
  return (static_cast<uint64_t>(line) << 32) | code;
}
inline uint32_t StatusCode(Status s) { return static_cast<uint32_t>(s); }
inline uint32_t StatusLine(Status s) { return static_cast<uint32_t>(s >> 32); }
inline bool StatusOk(Status s) { return StatusCode(s) == 0; }

inline Status StatusFromLastError(uint32_t defaultCode, uint32_t line) {
  DWORD code = GetLastError();
  return MakeStatus(code != 0 ? static_cast<uint32_t>(code) : defaultCode, line);
}

#define STATUS(code) MakeStatus(static_cast<uint32_t>(code), __LINE__)
#define STATUS_FROM_LAST_ERROR(def) StatusFromLastError(static_cast<uint32_t>(def), __LINE__)

// Codes the stub produces that the Windows headers of the native seam may lack.
#define STATUS_E_INVALIDARG 0x80070057u
#define STATUS_NTE_BAD_KEY 0x80090003u
