// The installer's command line; on Windows also finding, running and cleaning up after it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stub/cmdline.h"
#include "stub/installer.h"
#include "stub/tests/split_args.h"

namespace {
typedef std::basic_string<WCHAR> Wide;

Status Build(const char* installer, const char* msi, const WCHAR* stubLine, Wide* out) {
  Args a(stubLine);
  WCHAR line[COMMAND_LINE_SIZE];
  for (WCHAR& c : line) c = W16('x');
  Status s = BuildInstallerCommandLine(installer, msi, a.args, a.count, line);
  size_t n = 0;
  while (n < COMMAND_LINE_SIZE && line[n]) ++n;
  EXPECT_LT(n, static_cast<size_t>(COMMAND_LINE_SIZE)) << "not terminated";
  *out = Wide(line, n);
  return s;
}

std::string Narrow(const Wide& w) {  // for failure messages
  std::string out;
  for (WCHAR c : w) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}
}  // namespace

TEST(BuildInstallerCommandLine, Table) {
  const char* sys = "C:\\Windows\\system32\\msiexec.exe";
  struct Case {
    const char* installer;
    const char* msi;
    const WCHAR* stubLine;
    const WCHAR* want;
  } cases[] = {
      {sys, "D:\\Setup\\Pkg\\main.msi", W16("setup.exe /qn \"TARGETDIR=C:\\My Apps\""),
       W16("C:\\Windows\\system32\\msiexec.exe /i D:\\Setup\\Pkg\\main.msi /qn \"TARGETDIR=C:\\My Apps\"")},
      {sys, "D:\\m.msi", W16("setup.exe PROP=\"a b\""),
       W16("C:\\Windows\\system32\\msiexec.exe /i D:\\m.msi \"PROP=a b\"")},
      {sys, "C:\\My Folder\\{X}\\main.msi", W16("\"C:\\Some Where\\setup.exe\""),
       W16("C:\\Windows\\system32\\msiexec.exe /i \"C:\\My Folder\\{X}\\main.msi\"")},
      {"C:\\Program Files\\msiexec.exe", "D:\\m.msi", W16("setup.exe"),
       W16("\"C:\\Program Files\\msiexec.exe\" /i D:\\m.msi")},
      // A tab, carriage return or line feed inside an argument quotes it like a blank does
      // (the installer's splitter may take any of them as a blank); a quote in the middle of
      // an argument cannot occur after splitting, an empty argument adds a bare blank.
      {sys, "m.msi", W16("s \"a\tb\" \"\" /L*V log.txt"),
       W16("C:\\Windows\\system32\\msiexec.exe /i m.msi \"a\tb\"  /L*V log.txt")},
      {sys, "m.msi", W16("s \"P=x\ry\" \"Q=x\ny\" \"R=\r\n\" S=\x0bz"),
       W16("C:\\Windows\\system32\\msiexec.exe /i m.msi \"P=x\ry\" \"Q=x\ny\" \"R=\r\n\" S=\x0bz")},
      {sys, "C:\\Tab\tFolder\\main.msi", W16("s"),
       W16("C:\\Windows\\system32\\msiexec.exe /i \"C:\\Tab\tFolder\\main.msi\"")},
      // Characters outside any ANSI code page go on unchanged; a fullwidth quotation mark
      // (U+FF02, which best-fit conversion turns into '"') stays what it is and quotes nothing,
      // and an ideographic space (U+3000) is no blank.
      {sys, "m.msi", W16("s PROP=\u65e5\u672c\u8a9e \uff02/qn\uff02 A=\u3000x"),
       W16("C:\\Windows\\system32\\msiexec.exe /i m.msi PROP=\u65e5\u672c\u8a9e \uff02/qn\uff02 A=\u3000x")},
      {sys, "m.msi", W16("s \"NAME=\u540d \u524d\""),
       W16("C:\\Windows\\system32\\msiexec.exe /i m.msi \"NAME=\u540d \u524d\"")},
  };
  for (const auto& c : cases) {
    Wide line;
    Status s = Build(c.installer, c.msi, c.stubLine, &line);
    EXPECT_TRUE(StatusOk(s)) << Narrow(c.want);
    EXPECT_TRUE(line == c.want) << Narrow(line) << "\n  want " << Narrow(c.want);
  }
  // No argument block at all: installer and MSI only.
  WCHAR line[COMMAND_LINE_SIZE];
  EXPECT_TRUE(StatusOk(BuildInstallerCommandLine(sys, "m.msi", nullptr, 0, line)));
  EXPECT_TRUE(Wide(line) == W16("C:\\Windows\\system32\\msiexec.exe /i m.msi"));
}

// The whole line, terminator included, has 1,024 characters: 1,023 fit, one more does not,
// and a line that does not fit is never handed out cut.
TEST(BuildInstallerCommandLine, LongLinesFailWhole) {
  const std::string head = "C:\\Windows\\system32\\msiexec.exe /i m.msi ";
  for (size_t total : {1023u, 1024u, 1500u}) {
    Wide stubLine = W16("s ");
    stubLine.append(total - head.size(), WCHAR(0x65e5));  // one character each, whatever its bytes
    Wide line;
    Status s = Build("C:\\Windows\\system32\\msiexec.exe", "m.msi", stubLine.c_str(), &line);
    if (total <= COMMAND_LINE_SIZE - 1) {
      EXPECT_TRUE(StatusOk(s)) << total;
      EXPECT_EQ(line.size(), total);
    } else {
      EXPECT_EQ(StatusCode(s), 206u) << total;
      EXPECT_TRUE(line.empty()) << total;
    }
  }
  // The same for an installer path and an MSI path that alone do not fit.
  Wide line;
  std::string big(1100, 'd');
  EXPECT_EQ(StatusCode(Build(big.c_str(), "m.msi", W16("s"), &line)), 206u);
  EXPECT_TRUE(line.empty());
  EXPECT_EQ(StatusCode(Build("msiexec.exe", big.c_str(), W16("s"), &line)), 206u);
  EXPECT_TRUE(line.empty());
}

// The box tells a line that is too long from a path that could not be converted.
TEST(DescribeCommandLineFailure, LengthAndConversionHaveTheirOwnSentences) {
  const struct {
    uint32_t code;
    const char* says;
  } cases[] = {
      {206, "would exceed 1023 characters. Pass fewer or shorter arguments (code 206)."},
      {1113 /* ERROR_NO_UNICODE_TRANSLATION */, "could not be converted to Unicode for its command line (code 1113)."},
      {ERROR_NOT_ENOUGH_MEMORY, "could not be converted to Unicode for its command line (code 8)."},
  };
  for (const auto& c : cases) {
    char text[512];
    DescribeCommandLineFailure(MakeStatus(c.code, 1), text, sizeof text);
    const std::string got = text;
    EXPECT_EQ(got.rfind("The installer was not started: ", 0), 0u) << got;
    EXPECT_NE(got.find(c.says), std::string::npos) << got;
    EXPECT_EQ(got.find(c.code == 206 ? "Unicode" : "exceed"), std::string::npos) << got;
  }
}

#ifndef _WIN32
TEST(BuildInstallerCommandLine, AllocationFailureFailsWholeAndLeaksNothing) {
  Args a(W16("s /qn PROP=1"));
  WCHAR line[COMMAND_LINE_SIZE];
  for (long n : {0L, 1L}) {  // the installer path, then the MSI path cannot be widened
    HostFailAllocationAfter(n);
    Status s = BuildInstallerCommandLine("msiexec.exe", "m.msi", a.args, a.count, line);
    HostFailAllocationAfter(-1);
    EXPECT_EQ(StatusCode(s), static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY)) << n;
    EXPECT_EQ(line[0], 0) << n;
    EXPECT_EQ(HostLiveAllocations(), 1) << n;  // only the argument block
  }
}
#endif

#ifdef _WIN32
#include <cstring>

#include <vector>

#include "extract/cleanup.h"
#include "extract/folder.h"
#include "extract/hold.h"
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
    const WCHAR* line;
    uint32_t code;
  } cases[] = {{L"cmd.exe /c exit 0", 0}, {L"cmd.exe /c exit 3010", 3010}, {L"cmd.exe /c exit 1602", 1602}};
  for (const auto& c : cases) {
    WCHAR line[COMMAND_LINE_SIZE];
    wcscpy(line, c.line);
    uint32_t exitCode = 1601;
    Status s = RunInstaller(cmd.c_str(), line, SW_SHOWNORMAL, &exitCode);
    EXPECT_EQ(StatusCode(s), c.code);
    EXPECT_EQ(exitCode, c.code);
  }
  WCHAR line[COMMAND_LINE_SIZE] = L"nothing.exe /i x.msi";
  uint32_t exitCode = 1601;
  Status s = RunInstaller("C:\\no\\such\\nothing.exe", line, SW_SHOWNORMAL, &exitCode);
  EXPECT_FALSE(StatusOk(s));
  EXPECT_NE(StatusCode(s), 1601u);
  EXPECT_EQ(exitCode, 1601u);
}

// The installer runs in the system directory, whatever the stub's own current directory.
TEST(RunInstaller, StartsInTheSystemDirectory) {
  const std::string cmd = SystemFile("cmd.exe");
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string out = std::string(temp) + "msistub-cwd.txt";
  DeleteFileA(out.c_str());
  ASSERT_TRUE(SetCurrentDirectoryA(temp));
  std::wstring text = L"cmd.exe /c cd > \"";
  for (char c : out) text += static_cast<wchar_t>(c);
  text += L"\"";
  WCHAR line[COMMAND_LINE_SIZE];
  wcscpy(line, text.c_str());
  uint32_t exitCode = 1601;
  EXPECT_TRUE(StatusOk(RunInstaller(cmd.c_str(), line, SW_HIDE, &exitCode)));
  char seen[MAX_PATH] = "";
  HANDLE f = CreateFileA(out.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ReadFile(f, seen, sizeof seen - 1, &n, nullptr);
  CloseHandle(f);
  DeleteFileA(out.c_str());
  std::string dir(seen, n);
  while (!dir.empty() && (dir.back() == '\r' || dir.back() == '\n')) dir.pop_back();
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(_stricmp(dir.c_str(), system), 0) << dir;
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

namespace {
// A product-code folder in the temporary folder as the extraction leaves it: the folder
// held, every file but the last renamed to its name (FILE_HELD, identity recorded, its
// handle closed), the last still under its temporary name and open for writing (as after a
// write that ended early).
struct Extracted {
  std::string folder;
  ExtractFile* files = nullptr;
  ExtractionHold hold = {};
  int count = 0;

  explicit Extracted(const std::vector<const char*>& names) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder = std::string(temp) + kProduct;
    CreateDirectoryA(folder.c_str(), nullptr);
    count = static_cast<int>(names.size());
    files = static_cast<ExtractFile*>(LocalAlloc(LPTR, count * sizeof(ExtractFile)));
    EXPECT_TRUE(StatusOk(OpenHeldFolder(folder.c_str(), &hold.folder, &hold.folderIdentity)));
    for (int i = 0; i < count; ++i) {
      ExtractFile* file = &files[i];
      std::snprintf(file->plan.name, sizeof file->plan.name, "%s", names[i]);
      std::snprintf(file->path, sizeof file->path, "%s\\%s", folder.c_str(), names[i]);
      char staging[STAGING_NAME_SIZE];
      FormatStagingName(0xabc0u + i, staging);
      std::snprintf(file->stagingPath, sizeof file->stagingPath, "%s\\%s", folder.c_str(), staging);
      const bool last = i == count - 1;
      file->staging = CreateFileA(last ? file->stagingPath : file->path, GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
      EXPECT_NE(file->staging, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(StatusOk(ReadIdentity(file->staging, &file->identity)));
      file->state = last ? FILE_STAGED : FILE_HELD;
      if (!last) {
        CloseHandle(file->staging);
        file->staging = nullptr;
        file->stagingPath[0] = '\0';
      }
    }
  }
  ~Extracted() { FreeExtractFiles(files, count); }
  std::string Path(const char* name) const { return folder + "\\" + name; }
};
}  // namespace

// The decision table: files are deleted only after a failed or missing installer run of a
// product that is not registered; the folder goes only when the product is not registered
// and the folder is empty. Temporary files go in every case; open files are closed and held
// ones released in every case.
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
  const char* names[] = {"main.msi", "data1.cab", "data2.cab"};
  for (const auto& c : cases) {
    RemoveProduct(KEY_WOW64_64KEY);
    if (c.registered) SetProduct(KEY_WOW64_64KEY, "MsiExec.exe /X");
    Extracted x({names[0], names[1], names[2]});
    const std::string staging = x.files[2].stagingPath;
    // The first file is held for reading, as while the installer runs.
    x.files[0].held = CreateFileA(x.Path(names[0]).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(x.files[0].held, INVALID_HANDLE_VALUE);
    CleanUpExtraction(x.files, 3, c.exitCode, kProduct, x.folder.c_str(), 1, &x.hold);
    EXPECT_EQ(x.hold.folder, nullptr);
    EXPECT_EQ(x.files[0].held, nullptr);
    EXPECT_EQ(x.files[2].staging, nullptr);
    EXPECT_FALSE(PathExists(staging.c_str())) << c.exitCode << ": temporary files always go";
    for (int i = 0; i < 2; ++i) {
      std::string path = x.Path(names[i]);
      EXPECT_EQ(PathExists(path.c_str()), c.filesKept) << c.exitCode << " " << names[i];
      DeleteFileA(path.c_str());  // fails when the file was left open or held
    }
    EXPECT_EQ(PathExists(x.folder.c_str()), c.folderKept) << c.exitCode;
    EXPECT_TRUE(RemoveDirectoryA(x.folder.c_str()) || !c.folderKept) << "a file stayed open";
    RemoveProduct(KEY_WOW64_64KEY);
  }
  // Nothing to clean: no files, no folder.
  ExtractionHold none = {};
  CleanUpExtraction(nullptr, 0, 1601, kProduct, "", 1, &none);
}

// The clean-up deletes by identity: a file put in the place of an extracted one after the
// hold was released, or one this run never recorded, stays, and so does the folder then.
TEST(CleanUpExtraction, DeletesOnlyWhatThisRunCreatedOrVerified) {
  RemoveProduct(KEY_WOW64_64KEY);
  Extracted x({"main.msi", "swapped.cab", "last.cab", "temp.cab"});
  std::memset(&x.files[2].identity, 0, sizeof(FileIdentity));  // not recorded
  // Another process replaces swapped.cab with a file of its own (made while the original
  // still exists: a file system may hand a deleted file's number to the next new file).
  HANDLE other = CreateFileA(x.Path("other.tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(other);
  ASSERT_TRUE(MoveFileExA(x.Path("other.tmp").c_str(), x.Path("swapped.cab").c_str(),
                          MOVEFILE_REPLACE_EXISTING));
  CleanUpExtraction(x.files, 4, 1603, kProduct, x.folder.c_str(), 1, &x.hold);
  EXPECT_FALSE(PathExists(x.Path("main.msi").c_str()));
  EXPECT_TRUE(PathExists(x.Path("swapped.cab").c_str()));
  EXPECT_TRUE(PathExists(x.Path("last.cab").c_str()));
  EXPECT_TRUE(PathExists(x.folder.c_str()));
  DeleteFileA(x.Path("swapped.cab").c_str());
  DeleteFileA(x.Path("last.cab").c_str());
  EXPECT_TRUE(RemoveDirectoryA(x.folder.c_str()));
}
#endif
