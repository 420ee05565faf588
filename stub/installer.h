// Installer launch and clean-up.
//
// FindInstaller finds msiexec.exe in the system directory only (never beside the stub or on
// the search path) and writes its full path into `installerPath` (INSTALLER_PATH_SIZE bytes);
// code 1155 when it is missing. BuildInstallerCommandLine writes "<installer> /i <msi>
// <args 1..n-1>" into `commandLine` (COMMAND_LINE_SIZE bytes), putting any piece that holds a
// space in quotation marks; a line that does not fit fails with code 206
// (ERROR_FILENAME_EXCED_RANGE) and an argument that cannot be converted with the allocation
// or conversion error, the buffer then holding the empty string, so no cut line is ever
// launched. RunInstaller starts the line and waits: *exitCode receives the installer's exit
// code (left alone when it cannot be read) and a non-zero one becomes the Status; a failed
// start is StatusFromLastError with default 89. IsProductRegistered is true when
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<productCode> opens in the 64-bit
// (is64Bit) or 32-bit registry view and its "UninstallString" has a size above 0.
// CleanUpExtraction frees the items' data and the array, closes open files, deletes the
// extracted files unless the installer ended with 0 or the product is registered, removes the
// folder when empty unless the product is registered, and releases gTaskbarProgress.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"

enum : uint32_t { INSTALLER_PATH_SIZE = 1024, COMMAND_LINE_SIZE = 1024 };

Status BuildInstallerCommandLine(const char* installerPath, const char* msiPath, WCHAR** args,
                                 int32_t argCount, char* commandLine);
#ifdef _WIN32
Status FindInstaller(char* installerPath);
// `started` (optional) tells a failed start from an installer that ran and failed.
Status RunInstaller(const char* installerPath, char* commandLine, int showCommand,
                    uint32_t* exitCode, bool* started = nullptr);
bool IsProductRegistered(const char* productCode, uint32_t is64Bit);
void CleanUpExtraction(ExtractItem* items, int32_t itemCount, uint32_t installerExitCode,
                       const char* productCode, const char* folder, uint32_t is64Bit);
#endif
