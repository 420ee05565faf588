// The extraction folder's first attempt in the Windows directory, pre-existing files, and
// the helpers PathExists, GetBrowseStartFolder and CallSHGetSpecialFolderPath.
// (The browse dialog after a failed attempt is driven by extract_browse.sh.)
#include <gtest/gtest.h>

#include "common/winseam.h"

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "extract/folder.h"
#include "extract/tests/testfiles.h"

namespace {

const char kProductCode[] = "{6F1D2C3B-0000-4A5B-8C7D-0123456789AB}";

std::string InstallerFolder() {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof windows);
  return std::string(windows) + "\\Installer";
}

void CloseItems(ExtractItem* items, int count) {
  for (int i = 0; i < count; ++i)
    if (items[i].file) CloseHandle(items[i].file), items[i].file = nullptr;
}

class PrepareFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    installer_ = InstallerFolder();
    product_ = installer_ + "\\" + kProductCode;
    TempFolder::RemoveTree(product_);
    RemoveDirectoryA(installer_.c_str());  // only when empty: then it is made again
  }
  void TearDown() override {
    TempFolder::RemoveTree(product_);
    RemoveDirectoryA(installer_.c_str());
    CoUninitialize();
  }
  std::string installer_, product_;
};

TEST_F(PrepareFolder, CreatesTheProductFolderAndEmptyOpenFiles) {
  bool installerWasMissing = !PathExists(installer_.c_str());
  ExtractItem items[2] = {};
  items[0].content = NewContent("main.msi", nullptr, 0);
  items[1].content = NewContent("data1.cab", nullptr, 0);
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  Status s = PrepareExtractionFolder(items, 2, kProductCode, "title", true, folder, &hold);
  EXPECT_EQ(StatusCode(s), 0u);
  EXPECT_EQ(std::string(folder), product_);
  if (installerWasMissing) EXPECT_TRUE(PathExists(installer_.c_str()));
  for (auto& item : items) {
    EXPECT_EQ(std::string(item.path), product_ + "\\" + item.content->name);
    ASSERT_NE(item.file, nullptr);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(item.file, &size));
    EXPECT_EQ(size.QuadPart, 0);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(item.file, "abc", 3, &n, nullptr)) << "opened for writing";
  }
  // The folder is held: it cannot be renamed while the files are being set up and installed.
  EXPECT_FALSE(MoveFileA(product_.c_str(), (product_ + ".moved").c_str()));
  CloseItems(items, 2);
  FreeExtractionHold(&hold);
  EXPECT_TRUE(MoveFileA(product_.c_str(), (product_ + ".moved").c_str()));
  MoveFileA((product_ + ".moved").c_str(), product_.c_str());
}

// Files already in the Installer folder: one with exactly the item's bytes is used as it is
// (not opened for writing, not written again) and held, so nobody can change it; one with
// other bytes (an earlier release's) is replaced by a new, empty file for the writer.
TEST_F(PrepareFolder, KeepsIdenticalFilesHeldAndReplacesStaleOnes) {
  CreateDirectoryA(installer_.c_str(), nullptr);
  CreateDirectoryA(product_.c_str(), nullptr);
  struct Case {
    const char* name;
    const char* onDisk;  // null: not there
    const char* content;
    bool kept;
  } cases[] = {{"main.msi", "release 1", "release 2", false},
               {"same.cab", "cabinet bytes", "cabinet bytes", true},
               {"longer.cab", "cabinet bytes", "cabinet bytes and more", false},
               {"shorter.cab", "cabinet bytes", "cabinet", false},
               {"new.cab", nullptr, "new", false}};
  const int count = sizeof cases / sizeof cases[0];
  ExtractItem items[count] = {};
  for (int i = 0; i < count; ++i) {
    items[i].content = NewContent(cases[i].name, reinterpret_cast<const uint8_t*>(cases[i].content),
                                  static_cast<uint32_t>(std::strlen(cases[i].content)));
    if (cases[i].onDisk) WriteWholeFile(product_ + "\\" + cases[i].name, cases[i].onDisk);
  }
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  ASSERT_EQ(StatusCode(PrepareExtractionFolder(items, count, kProductCode, "t", true, folder,
                                               &hold)),
            0u);
  for (int i = 0; i < count; ++i) {
    const Case& c = cases[i];
    const std::string path = product_ + "\\" + c.name;
    EXPECT_EQ(std::string(items[i].path), path);
    EXPECT_TRUE(hold.files[i].identity.known) << c.name;
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadWholeFile(path, &got)) << c.name << ": held files stay readable";
    if (c.kept) {
      EXPECT_EQ(items[i].file, nullptr) << c.name;
      EXPECT_NE(hold.files[i].handle, nullptr) << c.name;
      EXPECT_EQ(std::string(got.begin(), got.end()), c.onDisk) << c.name;
      HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_EQ(other, INVALID_HANDLE_VALUE) << c.name << ": another process can write it";
      EXPECT_FALSE(DeleteFileA(path.c_str())) << c.name << ": another process can delete it";
    } else {
      EXPECT_NE(items[i].file, nullptr) << c.name;
      EXPECT_TRUE(got.empty()) << c.name << ": not a new, empty file";
    }
  }
  CloseItems(items, count);
  FreeExtractionHold(&hold);
}

// After the writer: each written file is held and must still hold the item's bytes; one that
// was changed between the writing and the hold, or can no longer be opened, fails with 1392
// and names the item.
TEST_F(PrepareFolder, WrittenFilesAreHeldOnlyWithTheVerifiedBytes) {
  char content[] = "verified bytes";
  ExtractItem items[2] = {};
  for (int i = 0; i < 2; ++i) {
    items[i].content = NewContent(i ? "data1.cab" : "main.msi",
                                  reinterpret_cast<const uint8_t*>(content), sizeof content - 1);
  }
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  ASSERT_EQ(StatusCode(PrepareExtractionFolder(items, 2, kProductCode, "t", true, folder,
                                               &hold)),
            0u);
  for (auto& item : items) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(item.file, item.content->data, item.content->size, &n, nullptr));
    CloseHandle(item.file);
    item.file = nullptr;
  }
  WriteWholeFile(items[1].path, "tampered bytes");  // same length, other bytes
  int32_t failed = -1;
  Status s = HoldWrittenFiles(items, 2, &hold, &failed);
  EXPECT_EQ(StatusCode(s), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  EXPECT_EQ(failed, 1);
  EXPECT_NE(hold.files[0].handle, nullptr);
  // A file that can no longer be opened (here: another process holds it without sharing)
  // is reported as changed too, not with its open error (32).
  HANDLE locker = CreateFileA(items[1].path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  failed = -1;
  EXPECT_EQ(StatusCode(HoldWrittenFiles(items, 2, &hold, &failed)),
            static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  EXPECT_EQ(failed, 1);
  CloseHandle(locker);
  WriteWholeFile(items[1].path, "verified bytes");
  EXPECT_TRUE(StatusOk(HoldWrittenFiles(items, 2, &hold, &failed)));
  EXPECT_NE(hold.files[1].handle, nullptr);
  FreeExtractionHold(&hold);
}

// The access list a product-code folder below a chosen folder gets: protected (nothing
// inherited), full control for SYSTEM and the Administrators, read and execute for the user,
// passed on to the files inside. (Wine accepts it at creation but does not store it, so the
// descriptor itself is what can be checked here: its text form and each entry's rights.)
TEST(ProtectedFolder, SystemAndAdministratorsFullTheUserReadAndExecute) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(StatusOk(MakeProtectedFolderDescriptor(&descriptor)));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, &info, sizeof info, &length));
  CloseHandle(token);
  LPSTR sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidA(info.user.User.Sid, &sid));

  // The text form: the user's rights are generic read and execute, in either order.
  LPSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::string prefix = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;";
  const std::string user = ";;;" + std::string(sid) + ")";
  const std::string got(text);
  EXPECT_TRUE(got == prefix + "GRGX" + user || got == prefix + "GXGR" + user) << got;

  // Each entry: inherited by folders and files, with exactly these rights.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
  ASSERT_TRUE(present && acl);
  ASSERT_EQ(acl->AceCount, 3);
  const DWORD rights[] = {FILE_ALL_ACCESS, FILE_ALL_ACCESS, GENERIC_READ | GENERIC_EXECUTE};
  for (DWORD i = 0; i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
    EXPECT_EQ(ace->Mask, rights[i]) << i;
  }
  ACCESS_ALLOWED_ACE* last = nullptr;
  ASSERT_TRUE(GetAce(acl, 2, reinterpret_cast<void**>(&last)));
  EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&last->SidStart), info.user.User.Sid));
  LocalFree(sid);
  LocalFree(text);
  LocalFree(descriptor);
}

TEST(PathExists, FilesFoldersAndMissingPaths) {
  TempFolder dir;
  WriteWholeFile(dir.File("f.txt"), "x");
  CreateDirectoryA(dir.File("sub").c_str(), nullptr);
  EXPECT_TRUE(PathExists(dir.File("f.txt").c_str()));
  EXPECT_TRUE(PathExists(dir.File("sub").c_str()));
  EXPECT_TRUE(PathExists(dir.path().c_str()));
  EXPECT_FALSE(PathExists(dir.File("missing").c_str()));
  EXPECT_FALSE(PathExists(dir.File("missing\\deeper").c_str()));
  EXPECT_FALSE(PathExists(""));
}

TEST(BrowseStartFolder, IsTheDocumentsFolderAndExists) {
  char documents[MAX_PATH] = {};
  ASSERT_TRUE(CallSHGetSpecialFolderPath(nullptr, documents, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, TRUE));
  EXPECT_TRUE(PathExists(documents));
  char start[FOLDER_PATH_SIZE];
  GetBrowseStartFolder(start, sizeof start);
  EXPECT_STREQ(start, documents);
  EXPECT_TRUE(PathExists(start));
  EXPECT_EQ(SetErrorMode(0), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
}

}  // namespace
