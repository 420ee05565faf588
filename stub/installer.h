// Installer launch and clean-up.
//
// FindInstaller finds msiexec.exe in the system directory (1155 when it is missing).
// BuildInstallerCommandLine writes "<installer> /i <msi> <args 1..n-1>" into 1024 bytes,
// quoting any piece that holds a space; it fails (ERROR_INSUFFICIENT_BUFFER... see .cpp)
// rather than launch a line that does not fit. RunInstaller starts it and waits: a non-zero
// exit code becomes the Status. IsProductRegistered looks for a non-empty UninstallString
// under HKLM\...\Uninstall\<productCode>. CleanUpExtraction frees the items and removes the
// extracted files and folder as the run's outcome decides.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"

enum : uint32_t { INSTALLER_PATH_SIZE = 1024, COMMAND_LINE_SIZE = 1024 };

Status BuildInstallerCommandLine(const char* installerPath, const char* msiPath, WCHAR** args,
                                 int32_t argCount, char* commandLine);
#ifdef _WIN32
Status FindInstaller(char* installerPath);
Status RunInstaller(const char* installerPath, char* commandLine, int showCommand,
                    uint32_t* exitCode);
bool IsProductRegistered(const char* productCode, uint32_t is64Bit);
void CleanUpExtraction(ExtractItem* items, int32_t itemCount, uint32_t installerExitCode,
                       const char* productCode, const char* folder, uint32_t is64Bit);
#endif
