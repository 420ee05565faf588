// Installer launch and clean-up: finding msiexec.exe, its command line, running it and
// waiting, the registry check, and tidying up after it.
#pragma once
#include <cstdint>

#include "common/status.h"
#ifdef _WIN32
#include "extract/hold.h"
#include "extract/item.h"
#endif

enum : uint32_t { INSTALLER_PATH_SIZE = 1024, COMMAND_LINE_SIZE = 1024 };

// An ANSI text in UTF-16, widened as the system widens ANSI paths (LocalFree it), or null.
WCHAR* WidenAnsi(const char* text);

// Writes "<installer> /i <msi> <args 1..n-1>" in UTF-16 into `commandLine`
// (COMMAND_LINE_SIZE characters with the terminator), putting any piece that holds a blank,
// tab, carriage return or line feed in quotation marks; the arguments are taken as they are, with no code page conversion. A line
// that does not fit fails with 206 (ERROR_FILENAME_EXCED_RANGE), a path that cannot be
// widened with the conversion error; the buffer then holds the empty string, so no cut line
// is ever launched.
Status BuildInstallerCommandLine(const char* installerPath, const char* msiPath, WCHAR** args,
                                 int32_t argCount, WCHAR* commandLine);
// The user's sentence for a failed BuildInstallerCommandLine, in `text` (`size` bytes, always
// terminated): for 206 that the line would exceed COMMAND_LINE_SIZE - 1 characters, for any
// other code that a path could not be converted to UTF-16. Both say that nothing was started.
void DescribeCommandLineFailure(Status status, char* text, uint32_t size);
#ifdef _WIN32
// msiexec.exe of the system directory only (never beside the stub or on the search path),
// its full path in `installerPath` (INSTALLER_PATH_SIZE bytes); 1155 when it is missing.
Status FindInstaller(char* installerPath);

// Starts the line with CreateProcessW in the system directory and waits for it: *exitCode
// receives the installer's exit code (left alone when it cannot be read) and a non-zero one
// becomes the Status; a failed start is StatusFromLastError with default 89. `started`
// (optional) tells a failed start from an installer that ran and failed.
Status RunInstaller(const char* installerPath, WCHAR* commandLine, int showCommand,
                    uint32_t* exitCode, bool* started = nullptr);

// True when HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<productCode> opens in
// the 64-bit (is64Bit) or 32-bit registry view and its "UninstallString" has a size above 0.
bool IsProductRegistered(const char* productCode, uint32_t is64Bit);

// The clean-up's policy: the files this run wrote or verified stay when the installer ended
// with 0 or the product is registered, the folder stays when the product is registered;
// everything else, and every temporary file, goes (see extract/cleanup.h for how). It
// returns what it decided.
struct CleanUpDecision {
  bool registered;  // the product is registered: folder and files stay
  bool keepFiles;   // the files stay (registered, or the installer ended with 0)
};
CleanUpDecision CleanUpExtraction(ExtractFile* files, int32_t fileCount,
                                  uint32_t installerExitCode, const char* productCode,
                                  const char* folder, uint32_t is64Bit, ExtractionHold* hold);
#endif
