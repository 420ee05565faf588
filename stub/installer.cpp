// Installer launch and clean-up (see installer.h).
#include "stub/installer.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "extract/cleanup.h"
#include "extract/folder.h"
#include "extract/hold.h"
#include "extract/progress.h"
#endif

namespace {
enum : uint32_t { UNINSTALL_KEY_SIZE = 256, ERROR_LINE_TOO_LONG = 206 };

uint32_t WideLength(const WCHAR* text) {
  uint32_t n = 0;
  while (text[n]) ++n;
  return n;
}

// True for the characters that end an argument outside quotation marks: the separators the
// stub's own SplitCommandLine splits on (blank, tab, carriage return, line feed), which a
// receiving splitter may take as blanks too.
bool SplitsArgument(WCHAR c) {
  return c == W16(' ') || c == W16('\t') || c == W16('\r') || c == W16('\n');
}

// Appends `prefix` and `piece` (in quotation marks when it holds a blank, tab, carriage
// return or line feed) at *length; false when it does not fit the line with its terminator.
bool AppendPiece(WCHAR* line, uint32_t* length, const WCHAR* prefix, const WCHAR* piece) {
  const uint32_t prefixUnits = WideLength(prefix);
  const uint32_t pieceUnits = WideLength(piece);
  bool quoted = false;
  for (uint32_t i = 0; i < pieceUnits; ++i) quoted = quoted || SplitsArgument(piece[i]);
  const uint64_t need = static_cast<uint64_t>(prefixUnits) + pieceUnits + (quoted ? 2 : 0);
  if (*length + need >= COMMAND_LINE_SIZE) return false;
  WCHAR* out = line + *length;
  for (uint32_t i = 0; i < prefixUnits; ++i) *out++ = prefix[i];
  if (quoted) *out++ = W16('"');
  for (uint32_t i = 0; i < pieceUnits; ++i) *out++ = piece[i];
  if (quoted) *out++ = W16('"');
  *out = 0;
  *length += static_cast<uint32_t>(need);
  return true;
}
}  // namespace

WCHAR* WidenAnsi(const char* text) {
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  WCHAR* wide = static_cast<WCHAR*>(LocalAlloc(LPTR, static_cast<size_t>(units) * sizeof(WCHAR)));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, units) != units) {
    LocalFree(wide);
    return nullptr;
  }
  return wide;
}

Status BuildInstallerCommandLine(const char* installerPath, const char* msiPath, WCHAR** args,
                                 int32_t argCount, WCHAR* commandLine) {
  std::memset(commandLine, 0, COMMAND_LINE_SIZE * sizeof(WCHAR));
  uint32_t length = 0;
  Status status = STATUS(ERROR_SUCCESS);
  // The two paths are ANSI text the system produced or accepted; widened the way the system
  // widens them, they name the same files.
  WCHAR* installer = WidenAnsi(installerPath);
  if (!installer) status = STATUS_FROM_LAST_ERROR(ERROR_INVALID_DATA);
  WCHAR* msi = StatusOk(status) ? WidenAnsi(msiPath) : nullptr;
  if (StatusOk(status) && !msi) status = STATUS_FROM_LAST_ERROR(ERROR_INVALID_DATA);
  if (StatusOk(status) && (!AppendPiece(commandLine, &length, W16(""), installer) ||
                           !AppendPiece(commandLine, &length, W16(" /i "), msi)))
    status = STATUS(ERROR_LINE_TOO_LONG);
  // The arguments go on as the stub received them, in UTF-16: no code page can turn a
  // character into a quotation mark or a blank on the way.
  for (int32_t i = 1; StatusOk(status) && args && i < argCount; ++i)
    if (!AppendPiece(commandLine, &length, W16(" "), args[i])) status = STATUS(ERROR_LINE_TOO_LONG);
  if (installer) LocalFree(installer);
  if (msi) LocalFree(msi);
  if (!StatusOk(status)) std::memset(commandLine, 0, COMMAND_LINE_SIZE * sizeof(WCHAR));
  return status;
}

void DescribeCommandLineFailure(Status status, char* text, uint32_t size) {
  const unsigned code = StatusCode(status);
  if (code == ERROR_LINE_TOO_LONG)
    std::snprintf(text, size,
                  "The installer was not started: its command line (the installer, the "
                  "package and this program's arguments) would exceed %u characters. Pass "
                  "fewer or shorter arguments (code %u).",
                  static_cast<unsigned>(COMMAND_LINE_SIZE - 1), code);
  else
    std::snprintf(text, size,
                  "The installer was not started: the path of the installer or of the "
                  "extracted package could not be converted to Unicode for its command line "
                  "(code %u). Run the setup again and choose a folder whose name has only "
                  "characters of the system's code page.",
                  code);
}

#ifdef _WIN32
Status FindInstaller(char* installerPath) {
  installerPath[0] = '\0';
  // Only the system's own copy: the default search order would look beside the stub first.
  UINT n = GetSystemDirectoryA(installerPath, INSTALLER_PATH_SIZE);
  if (n == 0 || n >= INSTALLER_PATH_SIZE) {
    installerPath[0] = '\0';
    return STATUS(ERROR_NO_ASSOCIATION);
  }
  const char* sep = installerPath[n - 1] == '\\' ? "" : "\\";
  int m = std::snprintf(installerPath + n, INSTALLER_PATH_SIZE - n, "%smsiexec.exe", sep);
  if (m < 0 || static_cast<uint32_t>(m) >= INSTALLER_PATH_SIZE - n || !PathExists(installerPath)) {
    installerPath[0] = '\0';
    return STATUS(ERROR_NO_ASSOCIATION);
  }
  return STATUS(ERROR_SUCCESS);
}

Status RunInstaller(const char* installerPath, WCHAR* commandLine, int showCommand,
                    uint32_t* exitCode, bool* started) {
  if (started) *started = false;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(showCommand);
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  // The installer starts in the system directory, not in the folder the setup was started
  // from (often a downloads folder).
  WCHAR systemDirectory[MAX_PATH];
  UINT n = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  WCHAR* application = WidenAnsi(installerPath);
  if (!application || n == 0 || n >= MAX_PATH) {
    Status status = STATUS_FROM_LAST_ERROR(ERROR_NO_PROC_SLOTS);
    if (application) LocalFree(application);
    return status;
  }
  BOOL created = CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                                systemDirectory, &startup, &process);
  Status failed = created ? STATUS(ERROR_SUCCESS) : STATUS_FROM_LAST_ERROR(ERROR_NO_PROC_SLOTS);
  LocalFree(application);
  if (!created) return failed;
  if (started) *started = true;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) *exitCode = code;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return STATUS(*exitCode);
}

bool IsProductRegistered(const char* productCode, uint32_t is64Bit) {
  char keyPath[UNINSTALL_KEY_SIZE];
  int n = std::snprintf(keyPath, sizeof keyPath, "%s\\%s",
                        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", productCode);
  // A cut path would name another key.
  if (n < 0 || static_cast<uint32_t>(n) >= sizeof keyPath) return false;
  HKEY key;
  REGSAM access = KEY_READ | (is64Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, access, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  LONG result = RegQueryValueExA(key, "UninstallString", nullptr, nullptr, nullptr, &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && size > 0;
}

CleanUpDecision CleanUpExtraction(ExtractFile* files, int32_t fileCount,
                                  uint32_t installerExitCode, const char* productCode,
                                  const char* folder, uint32_t is64Bit, ExtractionHold* hold) {
  const bool registered = IsProductRegistered(productCode, is64Bit);
  const CleanUpDecision decision = {registered, installerExitCode == 0 || registered};
  CleanUpExtractedFiles(files, fileCount, folder, hold, decision.keepFiles, registered);
  return decision;
}
#endif
