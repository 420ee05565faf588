// The small Windows seam.
//
// On Windows this is <windows.h>. Natively (the host build, for unit tests, sanitizers and
// fuzzing) it declares the few Windows types and functions that the format code calls --
// local memory, the thread's last error, code page conversion, multibyte stepping and
// positioned reads of a file (ReadFile with an OVERLAPPED offset; a HANDLE is then a POSIX file
// descriptor, HostFileHandle) -- and winseam_host.cpp implements them: the "active code page"
// is UTF-8 and memory comes from malloc with optional fault injection
// (HostFailAllocationAfter).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
typedef WCHAR WCHAR16;
#define W16(s) L##s
#else
#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef char16_t WCHAR;
typedef char16_t WCHAR16;
typedef void* HLOCAL;
typedef void* HANDLE;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
#define W16(s) u##s

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define CP_ACP 0u
#define MB_ERR_INVALID_CHARS 0x08u

#define ERROR_SUCCESS 0L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NO_PROC_SLOTS 89L
#define ERROR_OPEN_FAILED 110L
#define ERROR_SEEK_ON_DEVICE 132L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_ASSOCIATION 1155L
#define ERROR_NOT_FOUND 1168L
#define ERROR_CANCELLED 1223L
#define ERROR_FILE_CORRUPT 1392L
#define ERROR_INSTALL_SERVICE_FAILURE 1601L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

HLOCAL LocalAlloc(UINT flags, size_t bytes);
HLOCAL LocalReAlloc(HLOCAL mem, size_t bytes, UINT flags);
HLOCAL LocalFree(HLOCAL mem);
DWORD GetLastError();
void SetLastError(DWORD code);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount, char* out,
                        int outSize, const char* defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int count, WCHAR* out,
                        int outCount);
char* CharNextA(const char* p);

typedef struct _OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED;
// Positioned reads only: `overlapped` must give the offset (pread); the file's own position
// is not used. A short count at the end of the file is success, as on Windows.
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped);
// The HANDLE of an open POSIX file descriptor, for ReadFile.
inline HANDLE HostFileHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

// Test hooks of the native seam.
// After `count` more successful LocalAlloc/LocalReAlloc calls, every further one fails with
// ERROR_NOT_ENOUGH_MEMORY; a negative count switches failures off.
void HostFailAllocationAfter(long count);
// Number of blocks currently allocated through LocalAlloc and not yet freed.
long HostLiveAllocations();
#endif
