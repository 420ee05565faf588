// Command line splitting by the stub's rules, the argument block's bounds, and (on Windows)
// the own module path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stub/cmdline.h"

namespace {
typedef std::basic_string<WCHAR> WString;

std::vector<WString> Split(const WCHAR* line) {
  int32_t count = -7;
  WCHAR** args = SplitCommandLine(line, &count);
  EXPECT_NE(args, nullptr);
  std::vector<WString> out;
  if (!args) return out;
  for (int32_t i = 0; i < count; ++i) {
    EXPECT_NE(args[i], nullptr);
    if (args[i]) out.push_back(args[i]);
  }
  EXPECT_EQ(args[count], nullptr) << "pointer table not null-terminated";
  LocalFree(args);
  return out;
}
}  // namespace

TEST(SplitCommandLine, Table) {
  struct Case {
    const WCHAR* line;
    std::vector<WString> want;
  } cases[] = {
      {W16(""), {}},
      {W16(" \t\r\n  "), {}},
      {W16("setup.exe"), {W16("setup.exe")}},
      {W16("\"C:\\Program Files\\Setup\\setup.exe\" /qn"),
       {W16("C:\\Program Files\\Setup\\setup.exe"), W16("/qn")}},
      {W16("s \"\" b"), {W16("s"), W16(""), W16("b")}},
      {W16("ab\"c d\"e"), {W16("abc de")}},
      {W16("s PROP=\"C:\\Program Files\\X\""), {W16("s"), W16("PROP=C:\\Program Files\\X")}},
      {W16("\"a\\\" b\""), {W16("a\\"), W16("b")}},
      {W16("s \"a\"\"b\""), {W16("s"), W16("ab")}},
      {W16("s \"a b\tc"), {W16("s"), W16("a b\tc")}},
      {W16("s a "), {W16("s"), W16("a")}},
      {W16("a\vb\fc d"), {W16("a\vb\fc"), W16("d")}},
      {W16("a\tb\nc\rd  e"), {W16("a"), W16("b"), W16("c"), W16("d"), W16("e")}},
      {W16("\\\\server\\share\\x.exe a\\\\\"b"), {W16("\\\\server\\share\\x.exe"), W16("a\\\\b")}},
      {W16("\""), {W16("")}},
      {W16("\"\"\"\""), {W16("")}},
      {W16("a b c d e"), {W16("a"), W16("b"), W16("c"), W16("d"), W16("e")}},
      {W16("\" \" \" \""), {W16(" "), W16(" ")}},
  };
  for (const auto& c : cases) {
    WString line(c.line);
    EXPECT_EQ(Split(c.line), c.want) << "line length " << line.size();
  }
}

// The block is sized from the line length alone; lines that use the most pointer slots or
// the most characters must stay inside it (the native build checks with AddressSanitizer).
TEST(SplitCommandLine, WorstCaseLinesStayInsideTheBlock) {
  for (size_t n = 1; n < 40; ++n) {
    WString manyArgs, allQuotes, oneArg;
    for (size_t i = 0; i < n; ++i) {
      manyArgs += (i % 2 == 0) ? WCHAR('x') : WCHAR(' ');
      allQuotes += WCHAR('"');
      oneArg += WCHAR('y');
    }
    EXPECT_EQ(Split(manyArgs.c_str()).size(), (n + 1) / 2);
    EXPECT_EQ(Split(allQuotes.c_str()).size(), 1u);
    EXPECT_EQ(Split(oneArg.c_str()), std::vector<WString>{oneArg});
  }
}

#ifndef _WIN32
TEST(SplitCommandLine, AllocationFailureLeavesCountAlone) {
  int32_t count = 42;
  HostFailAllocationAfter(0);
  WCHAR** args = SplitCommandLine(W16("a b"), &count);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(args, nullptr);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(HostLiveAllocations(), 0);
}
#endif

// A module name of a given length, handed out as GetModuleFileNameA does: cut to the room
// given (terminated only when it fits) and the count written, `size` when cut.
namespace {
size_t gNameLength = 0;
int gFetchCalls = 0;
DWORD FetchName(char* buffer, DWORD size) {
  ++gFetchCalls;
  if (gNameLength == 0) return 0;
  size_t n = gNameLength < size ? gNameLength : size;
  for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>('a' + i % 26);
  if (n < size) buffer[n] = '\0';
  return static_cast<DWORD>(n);
}
}  // namespace

TEST(GetModulePathWith, GrowsUntilTheNameFits) {
  struct Case {
    size_t length;
    int calls;
  } cases[] = {{1, 1}, {259, 1}, {260, 2}, {300, 2}, {323, 2}, {324, 3}, {1000, 13}};
  for (const auto& c : cases) {
    gNameLength = c.length;
    gFetchCalls = 0;
    char* path = GetModulePathWith(FetchName);
    ASSERT_NE(path, nullptr) << c.length;
    EXPECT_EQ(std::string(path).size(), c.length);
    EXPECT_EQ(gFetchCalls, c.calls) << c.length;
    LocalFree(path);
  }
  gNameLength = 0;
  EXPECT_EQ(GetModulePathWith(FetchName), nullptr);
}

#ifndef _WIN32
TEST(GetModulePathWith, FailedGrowthFreesEverything) {
  gNameLength = 400;
  for (long allowed = 0; allowed < 3; ++allowed) {
    HostFailAllocationAfter(allowed);
    char* path = GetModulePathWith(FetchName);
    HostFailAllocationAfter(-1);
    EXPECT_EQ(path, nullptr) << allowed;
    EXPECT_EQ(HostLiveAllocations(), 0) << allowed;
  }
}
#endif

#ifdef _WIN32
#include <cstring>

TEST(GetOwnModulePath, MatchesTheModuleFileName) {
  char* path = GetOwnModulePath();
  ASSERT_NE(path, nullptr);
  char expected[4096];
  DWORD n = GetModuleFileNameA(nullptr, expected, sizeof expected);
  ASSERT_GT(n, 0u);
  EXPECT_STREQ(path, expected);
  LocalFree(path);
}

// A copy of a probe program at a path of 259 characters, the longest that fits the first
// buffer (Wine starts no program at a longer path).
TEST(GetOwnModulePath, LongestPathThatFitsTheFirstBuffer) {
  char probe[MAX_PATH];
  GetModuleFileNameA(nullptr, probe, MAX_PATH);
  char* slash = std::strrchr(probe, '\\');
  ASSERT_NE(slash, nullptr);
  std::strcpy(slash + 1, "ownpath_probe.exe");
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  std::string base = std::string(temp) + "ownpath";
  CreateDirectoryA(base.c_str(), nullptr);
  {
    const size_t length = 259;
    // base\dddd...\p.exe with the directory name padding the path to `length` characters.
    std::string dir = base + "\\" + std::string(length - base.size() - 7, 'd');
    std::string target = dir + "\\p.exe";
    ASSERT_EQ(target.size(), length);
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(probe, target.c_str(), FALSE)) << GetLastError();
    std::string line = "\"" + target + "\" \"" + target + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(target.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi))
        << "error " << GetLastError() << " at length " << length;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(code, 0u) << "path length " << length << " (1: wrong path, 2: none)";
    DeleteFileA(target.c_str());
    RemoveDirectoryA(dir.c_str());
  }
  RemoveDirectoryA(base.c_str());
}
#endif
