// The stub's entry point: the bootstrap sequence.
//
// WinMain limits the DLL search to the system directory, starts the common controls and COM,
// splits the command line, opens its own file (held until the end) and registers the payload
// sources without reading the file whole, loads the strings, hands over to the installation
// run, makes the final report and releases everything. It returns the code of the final Status as the exit code. With MSISTUB_LOG set
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

// Opens the own file and registers its payload sources without reading it whole: those of
// the certificate extensions (only the signature's PKCS#7 element is read), else the whole
// file as the one container (its trailers, manifest and record index are read; records are
// read by position as they are written out). The file stays open in `*held`, with read
// sharing only, until the process ends: nobody can change it meanwhile (Windows refuses
// writes to a running image in any case, and the manifest's digests catch any change).
// `ownPath`, the file's ANSI form, is only shown in the log.
Status RegisterPayloadSources(const WCHAR* ownFile, const char* ownPath, HANDLE* held,
                              RunLog* log) {
  *held = nullptr;
  HANDLE file = CreateFileW(ownFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED);
  *held = file;

  Status status = STATUS(ERROR_SUCCESS);
  SetLastError(0);  // a stale code must not turn a real size of 0xFFFFFFFF into a failure
  DWORD high = 0;
  const DWORD size = GetFileSize(file, &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != 0) status = STATUS(ERROR_SEEK_ON_DEVICE);
  // A container counts its offsets in 32 bits: a larger file cannot be one.
  if (StatusOk(status) && high != 0) status = STATUS(ERROR_NOT_FOUND);
  if (StatusOk(status)) {
    const PayloadSource image = FileImage(file, size);
    status = FindCertificateSources(&image);
  }
  if (StatusOk(status) && gSourceTable.sourceCount > 0)
    RunLogLine(log, "sources", "%u container(s) in certificate extensions of %s (%lu bytes)",
               gSourceTable.sourceCount, ownPath, static_cast<unsigned long>(size));
  if (StatusOk(status) && gSourceTable.sourceCount == 0) {
    status = AddFileContainerSource(file, 0, size);
    if (StatusOk(status))
      RunLogLine(log, "sources", "the whole file %s as one container (%lu bytes)", ownPath,
                 static_cast<unsigned long>(size));
  }
  if (!StatusOk(status))
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
  HANDLE ownImage = nullptr;
  if (StatusOk(status)) {
    ownFile = GetOwnModulePathWide();
    ownPath = GetOwnModulePath();
    if (!ownFile || !ownPath) status = STATUS(ERROR_CANT_RESOLVE_FILENAME);
  }

  if (StatusOk(status)) {
    status = RegisterPayloadSources(ownFile, ownPath, &ownImage, &log);
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

  FreeSources();
  if (ownImage) CloseHandle(ownImage);
  if (ownPath) LocalFree(ownPath);
  if (ownFile) LocalFree(ownFile);
  if (args) LocalFree(args);
  CoUninitialize();
  RunLogClose(&log);
  return static_cast<int>(StatusCode(status));
}
