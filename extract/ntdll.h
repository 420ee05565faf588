// Functions of ntdll.dll that the import libraries do not offer, found at run time.
//
// FindNtdllFunction sets `*fn` to the export `name` of the loaded ntdll.dll and is true, or
// leaves it alone and is false when there is no such export. RtlNtStatusToDosErrorFn is the
// type of RtlNtStatusToDosError, which every caller needs to report an NTSTATUS as a Win32
// error.
#pragma once
#include <cstring>

#include "common/winseam.h"

typedef ULONG(NTAPI* RtlNtStatusToDosErrorFn)(LONG);

template <typename Fn>
bool FindNtdllFunction(const char* name, Fn* fn) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  FARPROC proc = ntdll ? GetProcAddress(ntdll, name) : nullptr;
  if (!proc) return false;
  static_assert(sizeof(Fn) == sizeof proc, "function pointer sizes");
  std::memcpy(fn, &proc, sizeof(Fn));
  return true;
}
