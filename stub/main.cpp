// The stub's entry point: the bootstrap sequence.
//
// WinMain limits the DLL search to the system directory, starts the common controls and COM,
// splits the command line, opens its own file (held, shared for reading only, until the exit)
// and registers the payload sources found in it without reading it whole, loads the strings,
// hands over to the installation run, makes the final report and releases everything. It
// returns the code of the final Status as the exit code. With MSISTUB_LOG set
// (see log.h) each step appends its line to that file.
#include "common/winseam.h"

#include <commctrl.h>
#include <objbase.h>

#include <cstdio>

#include "manifest/select.h"
#include "payload/sources.h"
#include "stub/cmdline.h"
#include "stub/log.h"
#include "stub/report.h"
#include "stub/run.h"

namespace {
// The stub runs elevated, often from a downloads folder: a DLL planted beside it must never
// be loaded. Everything imported directly is a known DLL of the system; every other DLL is
// delay-loaded and so resolved only after this call. Systems without the call (Windows 7
// before KB2533623) keep their default search order.
void RestrictDllSearchToSystem() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDirectories) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Registers the payload sources of the own file `file` (held open by WinMain): those of the
// certificate extensions, else the whole file as the one container, read from the file as
// needed. `ownPath`, the file's ANSI name, is only shown in the log.
Status RegisterPayloadSources(HANDLE file, const char* ownPath, RunLog* log) {
  LARGE_INTEGER size;
  Status status = STATUS(ERROR_SUCCESS);
  if (!GetFileSizeEx(file, &size)) status = STATUS_FROM_LAST_ERROR(ERROR_SEEK_ON_DEVICE);
  const unsigned long long bytes = StatusOk(status) ? static_cast<unsigned long long>(size.QuadPart) : 0;
  if (StatusOk(status)) status = FindImageFileSources(&gSourceTable, file, bytes);
  if (StatusOk(status) && gSourceTable.sourceCount > 0 && gSourceTable.sources[0].containerData)
    RunLogLine(log, "sources", "%u container(s) in certificate extensions of %s (%llu bytes)",
               gSourceTable.sourceCount, ownPath, bytes);
  else if (StatusOk(status))
    RunLogLine(log, "sources", "the whole file %s as one container (%llu bytes)", ownPath, bytes);
  else
    RunLogLine(log, "sources", "none in %s (code %u, line %u)", ownPath, StatusCode(status),
               StatusLine(status));
  return status;
}

void LoadStubString(HINSTANCE instance, UINT id, char* buffer, int size) {
  if (LoadStringA(instance, id, buffer, size) <= 0) buffer[0] = '\0';
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  RestrictDllSearchToSystem();
  RunLog log;
  RunLogOpen(&log);
  RunLogWide(&log, "start", "msistub " MSISTUB_VERSION_TEXT ", command line: ",
             GetCommandLineW());
  InitCommonControls();
  CoInitialize(nullptr);

  gSourceTable = SourceTable{};
  // The stub is a 64-bit program: x64 packages fit; the user's language decides among them.
  const SelectionContext context = {static_cast<uint32_t>(GetUserDefaultLCID()), 1};

  Status status = STATUS(ERROR_SUCCESS);
  static RunFailure failure;
  static StubStrings strings;
  int32_t argCount = 0;
  char* ownPath = nullptr;

  WCHAR** args = SplitCommandLine(GetCommandLineW(), &argCount);
  if (!args) status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);

  WCHAR* ownFile = nullptr;
  if (StatusOk(status)) {
    ownFile = GetOwnModulePathWide();
    ownPath = GetOwnModulePath();
    if (!ownFile || !ownPath) status = STATUS(ERROR_CANT_RESOLVE_FILENAME);
  }

  // The own file is held from here to the exit, shared for reading only: the payload is read
  // from it as the run goes, and nobody may write to it meanwhile. A file that cannot be
  // opened (one locked by another program) is reported as a payload that cannot be used.
  HANDLE own = INVALID_HANDLE_VALUE;
  if (StatusOk(status)) {
    own = CreateFileW(ownFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    status = own == INVALID_HANDLE_VALUE ? STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED)
                                         : RegisterPayloadSources(own, ownPath, &log);
    LoadStubString(instance, 100, strings.installerRequired, sizeof strings.installerRequired);
    LoadStubString(instance, 101, strings.corruptedOrUnsupported,
                   sizeof strings.corruptedOrUnsupported);
    LoadStubString(instance, 102, strings.browseTitle, sizeof strings.browseTitle);
    if (!StatusOk(status)) SetRunFailure(&failure, REPORT_CORRUPTED, nullptr);
  }

  if (StatusOk(status))
    status = RunInstallation(instance, showCommand, args, argCount, &gSourceTable, &context,
                             &strings, &failure, &log);

  RunLogLine(&log, "exit", "code %u (0x%08X), line %u", StatusCode(status), StatusCode(status),
             StatusLine(status));
  ShowFinalReport(status, &failure, &strings, args, argCount, ownPath);

  FreeSources(&gSourceTable);
  if (own != INVALID_HANDLE_VALUE) CloseHandle(own);
  if (ownPath) LocalFree(ownPath);
  if (ownFile) LocalFree(ownFile);
  if (args) LocalFree(args);
  CoUninitialize();
  RunLogClose(&log);
  return static_cast<int>(StatusCode(status));
}
