// The installer's command line; on Windows also finding, running and cleaning up after it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stub/cmdline.h"
#include "stub/installer.h"
#include "stub/tests/split_args.h"

namespace {
Status Build(const char* installer, const char* msi, const WCHAR* stubLine, std::string* out) {
  Args a(stubLine);
  char line[COMMAND_LINE_SIZE];
  std::memset(line, 'x', sizeof line);
  Status s = BuildInstallerCommandLine(installer, msi, a.args, a.count, line);
  *out = std::string(line, strnlen(line, sizeof line));
  EXPECT_LT(out->size(), sizeof line) << "not terminated";
  return s;
}
}  // namespace

TEST(BuildInstallerCommandLine, Table) {
  const char* sys = "C:\\Windows\\system32\\msiexec.exe";
  struct Case {
    const char* installer;
    const char* msi;
    const WCHAR* stubLine;
    const char* want;
  } cases[] = {
      {sys, "D:\\Setup\\Pkg\\main.msi", W16("setup.exe /qn \"TARGETDIR=C:\\My Apps\""),
       "C:\\Windows\\system32\\msiexec.exe /i D:\\Setup\\Pkg\\main.msi /qn \"TARGETDIR=C:\\My Apps\""},
      {sys, "D:\\m.msi", W16("setup.exe PROP=\"a b\""),
       "C:\\Windows\\system32\\msiexec.exe /i D:\\m.msi \"PROP=a b\""},
      {sys, "C:\\My Folder\\{X}\\main.msi", W16("\"C:\\Some Where\\setup.exe\""),
       "C:\\Windows\\system32\\msiexec.exe /i \"C:\\My Folder\\{X}\\main.msi\""},
      {"C:\\Program Files\\msiexec.exe", "D:\\m.msi", W16("setup.exe"),
       "\"C:\\Program Files\\msiexec.exe\" /i D:\\m.msi"},
      // Tabs do not quote; a quote in the middle of an argument cannot occur after splitting,
      // an empty argument adds a bare blank.
      {sys, "m.msi", W16("s \"a\tb\" \"\" /L*V log.txt"),
       "C:\\Windows\\system32\\msiexec.exe /i m.msi a\tb  /L*V log.txt"},
  };
  for (const auto& c : cases) {
    std::string line;
    Status s = Build(c.installer, c.msi, c.stubLine, &line);
    EXPECT_TRUE(StatusOk(s)) << c.want;
    EXPECT_EQ(line, c.want);
  }
  // No argument block at all: installer and MSI only.
  char line[COMMAND_LINE_SIZE];
  EXPECT_TRUE(StatusOk(BuildInstallerCommandLine(sys, "m.msi", nullptr, 0, line)));
  EXPECT_STREQ(line, "C:\\Windows\\system32\\msiexec.exe /i m.msi");
}

// The whole line, terminator included, has 1,024 bytes: 1,023 characters fit, one more does
// not, and a line that does not fit is never handed out cut.
TEST(BuildInstallerCommandLine, LongLinesFailWhole) {
  const std::string head = "C:\\Windows\\system32\\msiexec.exe /i m.msi ";
  for (size_t total : {1023u, 1024u, 1500u}) {
    std::basic_string<WCHAR> stubLine = W16("s ");
    stubLine.append(total - head.size(), WCHAR('p'));
    std::string line;
    Status s = Build("C:\\Windows\\system32\\msiexec.exe", "m.msi", stubLine.c_str(), &line);
    if (total <= COMMAND_LINE_SIZE - 1) {
      EXPECT_TRUE(StatusOk(s)) << total;
      EXPECT_EQ(line.size(), total);
    } else {
      EXPECT_EQ(StatusCode(s), 206u) << total;
      EXPECT_EQ(line, "") << total;
    }
  }
  // The same for an installer path and an MSI path that alone do not fit.
  std::string line;
  std::string big(1100, 'd');
  EXPECT_EQ(StatusCode(Build(big.c_str(), "m.msi", W16("s"), &line)), 206u);
  EXPECT_EQ(line, "");
  EXPECT_EQ(StatusCode(Build("msiexec.exe", big.c_str(), W16("s"), &line)), 206u);
  EXPECT_EQ(line, "");
}

#ifndef _WIN32
TEST(BuildInstallerCommandLine, AllocationFailureFailsInsteadOfDroppingTheArgument) {
  Args a(W16("s /qn PROP=1"));
  char line[COMMAND_LINE_SIZE];
  HostFailAllocationAfter(1);  // the first argument converts, the second does not
  Status s = BuildInstallerCommandLine("msiexec.exe", "m.msi", a.args, a.count, line);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(StatusCode(s), static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_STREQ(line, "");
  EXPECT_EQ(HostLiveAllocations(), 1);  // only the argument block
}
#endif

#ifdef _WIN32
#include <cstring>

#include "extract/folder.h"
#include "extract/progress.h"

namespace {
std::string SystemFile(const char* name) {
  char dir[MAX_PATH];
  UINT n = GetSystemDirectoryA(dir, MAX_PATH);
  return std::string(dir, n) + "\\" + name;
}
std::string OwnFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  *std::strrchr(path, '\\') = '\0';
  return path;
}
}  // namespace

// Only the system directory counts: an msiexec.exe beside the program is ignored.
TEST(FindInstaller, SystemDirectoryOnly) {
  const std::string planted = OwnFolder() + "\\msiexec.exe";
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  ASSERT_TRUE(CopyFileA(self, planted.c_str(), FALSE));
  char path[INSTALLER_PATH_SIZE];
  Status s = FindInstaller(path);
  DeleteFileA(planted.c_str());
  ASSERT_TRUE(StatusOk(s));
  EXPECT_STREQ(path, SystemFile("msiexec.exe").c_str());
  EXPECT_TRUE(PathExists(path));
}

TEST(RunInstaller, ExitCodesAndStartFailures) {
  const std::string cmd = SystemFile("cmd.exe");
  struct Case {
    const char* line;
    uint32_t code;
  } cases[] = {{"cmd.exe /c exit 0", 0}, {"cmd.exe /c exit 3010", 3010}, {"cmd.exe /c exit 1602", 1602}};
  for (const auto& c : cases) {
    char line[COMMAND_LINE_SIZE];
    std::strcpy(line, c.line);
    uint32_t exitCode = 1601;
    Status s = RunInstaller(cmd.c_str(), line, SW_SHOWNORMAL, &exitCode);
    EXPECT_EQ(StatusCode(s), c.code) << c.line;
    EXPECT_EQ(exitCode, c.code) << c.line;
  }
  char line[COMMAND_LINE_SIZE] = "nothing.exe /i x.msi";
  uint32_t exitCode = 1601;
  Status s = RunInstaller("C:\\no\\such\\nothing.exe", line, SW_SHOWNORMAL, &exitCode);
  EXPECT_FALSE(StatusOk(s));
  EXPECT_NE(StatusCode(s), 1601u);
  EXPECT_EQ(exitCode, 1601u);
}

namespace {
const char* kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char* kProduct = "{5D6E1A3C-0B7E-4D0B-9E2A-7F1C3B2A9D41}";

void SetProduct(REGSAM view, const char* uninstallString) {
  std::string path = std::string(kUninstall) + "\\" + kProduct;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_WRITE | view, nullptr, &key, nullptr), ERROR_SUCCESS);
  if (uninstallString)
    RegSetValueExA(key, "UninstallString", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(uninstallString), std::strlen(uninstallString) + 1);
  RegCloseKey(key);
}
void RemoveProduct(REGSAM view) {
  std::string path = std::string(kUninstall) + "\\" + kProduct;
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
}
}  // namespace

TEST(IsProductRegistered, UninstallStringInTheRightView) {
  RemoveProduct(KEY_WOW64_64KEY);
  RemoveProduct(KEY_WOW64_32KEY);
  EXPECT_FALSE(IsProductRegistered(kProduct, 1));

  SetProduct(KEY_WOW64_64KEY, nullptr);  // key without the value
  EXPECT_FALSE(IsProductRegistered(kProduct, 1));
  SetProduct(KEY_WOW64_64KEY, "MsiExec.exe /X{5D6E1A3C-0B7E-4D0B-9E2A-7F1C3B2A9D41}");
  EXPECT_TRUE(IsProductRegistered(kProduct, 1));
  EXPECT_FALSE(IsProductRegistered(kProduct, 0));
  RemoveProduct(KEY_WOW64_64KEY);

  SetProduct(KEY_WOW64_32KEY, "MsiExec.exe /X{...}");
  EXPECT_FALSE(IsProductRegistered(kProduct, 1));
  EXPECT_TRUE(IsProductRegistered(kProduct, 0));
  RemoveProduct(KEY_WOW64_32KEY);

  // A product code too long for the key path is never looked up cut.
  EXPECT_FALSE(IsProductRegistered(std::string(300, 'x').c_str(), 1));
}

// The decision table: files are deleted only after a failed or missing installer run of a
// product that is not registered; the folder goes only when the product is not registered
// and the folder is empty. Open files are closed and data freed in every case.
TEST(CleanUpExtraction, DecisionTable) {
  struct Case {
    uint32_t exitCode;
    bool registered;
    bool filesKept;
    bool folderKept;
  } cases[] = {{0, true, true, true},
               {0, false, true, true},
               {1602, true, true, true},
               {1601, false, false, false}};
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  for (const auto& c : cases) {
    RemoveProduct(KEY_WOW64_64KEY);
    if (c.registered) SetProduct(KEY_WOW64_64KEY, "MsiExec.exe /X");
    std::string folder = std::string(temp) + kProduct;
    CreateDirectoryA(folder.c_str(), nullptr);
    auto* items = static_cast<ExtractItem*>(LocalAlloc(LPTR, 3 * sizeof(ExtractItem)));
    ASSERT_NE(items, nullptr);
    const char* names[] = {"main.msi", "data1.cab", "data2.cab"};
    for (int i = 0; i < 3; ++i) {
      std::snprintf(items[i].path, sizeof items[i].path, "%s\\%s", folder.c_str(), names[i]);
      items[i].data = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, 16));
      items[i].size = 16;
      // The last item is still open, as after a write that ended early.
      items[i].file = CreateFileA(items[i].path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(items[i].file, INVALID_HANDLE_VALUE);
      if (i < 2) {
        CloseHandle(items[i].file);
        items[i].file = nullptr;
      }
    }
    gTaskbarProgress = static_cast<TaskbarProgress*>(LocalAlloc(LPTR, sizeof(TaskbarProgress)));
    CleanUpExtraction(items, 3, c.exitCode, kProduct, folder.c_str(), 1);
    EXPECT_EQ(gTaskbarProgress, nullptr);
    for (const char* name : names) {
      std::string path = folder + "\\" + name;
      EXPECT_EQ(PathExists(path.c_str()), c.filesKept) << c.exitCode << " " << name;
      DeleteFileA(path.c_str());  // fails when the file was left open
    }
    EXPECT_EQ(PathExists(folder.c_str()), c.folderKept) << c.exitCode;
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str()) || !c.folderKept) << "a file stayed open";
    RemoveProduct(KEY_WOW64_64KEY);
  }
  // Nothing to clean: no items, no folder.
  CleanUpExtraction(nullptr, 0, 1601, kProduct, "", 1);
}
#endif
