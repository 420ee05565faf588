// Test helper: exits 0 when GetOwnModulePath returns exactly the path given as argument 1,
// 1 when it returns another path, 2 when it returns none, 3 without an argument.
#include <cstring>

#include "stub/cmdline.h"

int main() {
  int32_t count = 0;
  WCHAR** args = SplitCommandLine(GetCommandLineW(), &count);
  if (!args || count < 2) return 3;
  char expected[2048];
  if (!WideCharToMultiByte(CP_ACP, 0, args[1], -1, expected, sizeof expected, nullptr, nullptr))
    return 3;
  char* path = GetOwnModulePath();
  int result = !path ? 2 : std::strcmp(path, expected) == 0 ? 0 : 1;
  if (path) LocalFree(path);
  LocalFree(args);
  return result;
}
