// Test helper: shows the final report for a Status given on its command line.
//
//   report_probe.exe <code> <line> path|nopath [more arguments...]
//
// "path" captions the box with the probe's own file name, "nopath" runs without an own path.
// The arguments take part in the quiet scan. Exits with the code.
#include <cstdlib>

#include "stub/cmdline.h"
#include "stub/report.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int32_t count = 0;
  WCHAR** args = SplitCommandLine(GetCommandLineW(), &count);
  if (!args || count < 4) return 2;
  uint32_t code = static_cast<uint32_t>(wcstoul(args[1], nullptr, 0));
  uint32_t line = static_cast<uint32_t>(wcstoul(args[2], nullptr, 0));
  char* ownPath = wcscmp(args[3], L"path") == 0 ? GetOwnModulePath() : nullptr;
  ShowFinalReport(MakeStatus(code, line), nullptr, nullptr, args, count, ownPath);
  if (ownPath) LocalFree(ownPath);
  LocalFree(args);
  return static_cast<int>(code);
}
