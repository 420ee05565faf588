// Installer launch and clean-up (see installer.h).
#include "stub/installer.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "extract/folder.h"
#include "extract/progress.h"
#endif

namespace {
enum : uint32_t { UNINSTALL_KEY_SIZE = 256, ERROR_LINE_TOO_LONG = 206 };

// True when `text` holds a space, stepping by characters of the active code page.
bool HasSpace(const char* text) {
  for (const char* p = text; *p; p = CharNextA(p))
    if (*p == ' ') return true;
  return false;
}

// Appends `prefix` and `piece` (in quotation marks when it holds a space) at *length; false
// when it does not fit the line.
bool AppendPiece(char* line, uint32_t* length, const char* prefix, const char* piece) {
  const uint32_t room = COMMAND_LINE_SIZE - *length;
  const char* format = HasSpace(piece) ? "%s\"%s\"" : "%s%s";
  int n = std::snprintf(line + *length, room, format, prefix, piece);
  if (n < 0 || static_cast<uint32_t>(n) >= room) return false;
  *length += static_cast<uint32_t>(n);
  return true;
}
}  // namespace

Status BuildInstallerCommandLine(const char* installerPath, const char* msiPath, WCHAR** args,
                                 int32_t argCount, char* commandLine) {
  std::memset(commandLine, 0, COMMAND_LINE_SIZE);
  uint32_t length = 0;
  Status status = STATUS(ERROR_SUCCESS);
  if (!AppendPiece(commandLine, &length, "", installerPath) ||
      !AppendPiece(commandLine, &length, " /i ", msiPath))
    status = STATUS(ERROR_LINE_TOO_LONG);

  for (int32_t i = 1; StatusOk(status) && args && i < argCount; ++i) {
    int units = 0;
    while (args[i][units]) ++units;
    int bytes = units ? WideCharToMultiByte(CP_ACP, 0, args[i], units, nullptr, 0, nullptr, nullptr)
                      : 0;
    if (units && bytes <= 0) {
      status = STATUS_FROM_LAST_ERROR(ERROR_INVALID_DATA);
      break;
    }
    char* arg = static_cast<char*>(LocalAlloc(LPTR, static_cast<size_t>(bytes) + 1));
    if (!arg) {
      // Leaving the argument out would run the installer with other switches than asked.
      status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
      break;
    }
    if (units && WideCharToMultiByte(CP_ACP, 0, args[i], units, arg, bytes, nullptr, nullptr) !=
                     bytes)
      status = STATUS_FROM_LAST_ERROR(ERROR_INVALID_DATA);
    else if (!AppendPiece(commandLine, &length, " ", arg))
      status = STATUS(ERROR_LINE_TOO_LONG);
    LocalFree(arg);
  }
  if (!StatusOk(status)) std::memset(commandLine, 0, COMMAND_LINE_SIZE);
  return status;
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

Status RunInstaller(const char* installerPath, char* commandLine, int showCommand,
                    uint32_t* exitCode, bool* started) {
  if (started) *started = false;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(showCommand);
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  if (!CreateProcessA(installerPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return STATUS_FROM_LAST_ERROR(ERROR_NO_PROC_SLOTS);
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

void CleanUpExtraction(ExtractItem* items, int32_t itemCount, uint32_t installerExitCode,
                       const char* productCode, const char* folder, uint32_t is64Bit) {
  const bool registered = IsProductRegistered(productCode, is64Bit);
  if (items) {
    for (int32_t i = 0; i < itemCount; ++i) {
      ExtractItem* item = &items[i];
      if (item->data) {
        LocalFree(item->data);
        item->data = nullptr;
      }
      if (item->file && item->file != INVALID_HANDLE_VALUE) {
        CloseHandle(item->file);
        item->file = nullptr;
      }
      if (installerExitCode != 0 && !registered && item->path[0] && PathExists(item->path))
        DeleteFileA(item->path);
    }
    LocalFree(items);
  }
  if (!registered && folder[0] && PathExists(folder)) RemoveDirectoryA(folder);
  TaskbarProgressRelease(gTaskbarProgress);
  gTaskbarProgress = nullptr;
}
#endif
