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

#include "extract/cleanup.h"
#include "extract/folder.h"
#include "extract/tests/testfiles.h"

namespace {

const char kProductCode[] = "{6F1D2C3B-0000-4A5B-8C7D-0123456789AB}";

std::string InstallerFolder() {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof windows);
  return std::string(windows) + "\\Installer";
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

TEST_F(PrepareFolder, CreatesTheProductFolderAndEmptyTemporaryFiles) {
  bool installerWasMissing = !PathExists(installer_.c_str());
  ExtractFile* files = FilesOf({PlanOf("main.msi", "m"), PlanOf("data1.cab", "d")});
  ASSERT_NE(files, nullptr);
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  Status s = PrepareExtractionFolder(files, 2, kProductCode, "title", true, folder, &hold);
  EXPECT_EQ(StatusCode(s), 0u);
  EXPECT_EQ(std::string(folder), product_);
  if (installerWasMissing) EXPECT_TRUE(PathExists(installer_.c_str()));
  for (int i = 0; i < 2; ++i) {
    ExtractFile& file = files[i];
    EXPECT_EQ(std::string(file.path), product_ + "\\" + file.plan.name);
    EXPECT_FALSE(PathExists(file.path)) << "nothing under a final name before it is verified";
    EXPECT_EQ(file.state, static_cast<uint32_t>(FILE_STAGED));
    const std::string staging = file.stagingPath;
    ASSERT_EQ(staging.rfind(product_ + "\\", 0), 0u) << staging;
    EXPECT_TRUE(IsStagingName(staging.c_str() + product_.size() + 1)) << staging;
    ASSERT_NE(file.staging, nullptr);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(file.staging, &size));
    EXPECT_EQ(size.QuadPart, 0);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(file.staging, "abc", 3, &n, nullptr)) << "opened for writing";
    HANDLE other = CreateFileA(file.stagingPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "another process can write it";
  }
  EXPECT_NE(std::string(files[0].stagingPath), files[1].stagingPath);
  // The folder is held: it cannot be renamed while the files are being set up and installed.
  EXPECT_FALSE(MoveFileA(product_.c_str(), (product_ + ".moved").c_str()));
  CleanUpExtractedFiles(files, 2, folder, &hold, true, true);
  EXPECT_TRUE(Listing(product_).empty()) << "temporary files go whatever is kept";
  EXPECT_TRUE(MoveFileA(product_.c_str(), (product_ + ".moved").c_str()));
  MoveFileA((product_ + ".moved").c_str(), product_.c_str());
  FreeExtractFiles(files, 2);
}

// Files already in the Installer folder: one with exactly the planned digest and size is
// used as it is (not written again) and held, so nobody can change it; one with other bytes
// (an earlier release's) stays as it is until its successor is verified and renamed over it.
// Temporary files a run that did not finish left there are deleted; nothing else is.
TEST_F(PrepareFolder, KeepsIdenticalFilesHeldReplacesStaleOnesOnlyOnceVerified) {
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
  std::vector<FileSetItem> plans;
  for (const Case& c : cases) {
    plans.push_back(PlanOf(c.name, c.content));
    if (c.onDisk) WriteWholeFile(product_ + "\\" + c.name, c.onDisk);
  }
  const std::string leftover = product_ + "\\~msistub-00000000deadbeef.tmp";
  const std::string notOurs = product_ + "\\~msistub-notours.tmp";
  const std::string folderLike = product_ + "\\~msistub-00000000feedface.tmp";
  WriteWholeFile(leftover, "killed run");
  WriteWholeFile(notOurs, "somebody's");
  CreateDirectoryA(folderLike.c_str(), nullptr);
  ExtractFile* files = FilesOf(plans);
  ASSERT_NE(files, nullptr);
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  ASSERT_EQ(StatusCode(PrepareExtractionFolder(files, count, kProductCode, "t", true, folder,
                                               &hold)),
            0u);
  EXPECT_FALSE(PathExists(leftover.c_str()));
  EXPECT_TRUE(PathExists(notOurs.c_str()));
  EXPECT_TRUE(PathExists(folderLike.c_str()));
  for (int i = 0; i < count; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string path = product_ + "\\" + c.name;
    EXPECT_EQ(std::string(files[i].path), path);
    EXPECT_TRUE(files[i].identity.known);
    std::vector<uint8_t> got;
    if (c.onDisk) {
      ASSERT_TRUE(ReadWholeFile(path, &got)) << "held files stay readable";
      EXPECT_EQ(std::string(got.begin(), got.end()), c.onDisk) << "untouched until verified";
    }
    if (c.kept) {
      EXPECT_EQ(files[i].state, static_cast<uint32_t>(FILE_REUSED));
      EXPECT_NE(files[i].held, nullptr);
      HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "another process can write it";
      EXPECT_FALSE(DeleteFileA(path.c_str())) << "another process can delete it";
    } else {
      EXPECT_EQ(files[i].state, static_cast<uint32_t>(FILE_STAGED));
      EXPECT_EQ(files[i].replaces, c.onDisk ? 1u : 0u);
    }
  }
  // Written and verified: each renamed over its predecessor, the kept one untouched.
  for (int i = 0; i < count; ++i) {
    if (files[i].state != FILE_STAGED) continue;
    DWORD n = 0;
    const DWORD size = static_cast<DWORD>(std::strlen(cases[i].content));
    ASSERT_TRUE(WriteFile(files[i].staging, cases[i].content, size, &n, nullptr));
    files[i].writtenBytes = size;
    std::memcpy(files[i].written, files[i].plan.digest, RECORD_DIGEST_SIZE);
    files[i].state = FILE_VERIFIED;
  }
  int32_t failed = -2;
  ASSERT_TRUE(StatusOk(PublishVerifiedFiles(files, count, &failed)));
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadWholeFile(files[i].path, &got)) << cases[i].name;
    EXPECT_EQ(std::string(got.begin(), got.end()), cases[i].content) << cases[i].name;
  }
  CleanUpExtractedFiles(files, count, folder, &hold, false, false);
  FreeExtractFiles(files, count);
}

// Publishing: a file whose bytes on disk are not those it was written with (here: written
// with other bytes than its record's digest says it had) is renamed but not held: 1392,
// naming it; the files before it are held. The clean-up deletes what this run made.
TEST_F(PrepareFolder, PublishedFilesAreHeldOnlyWithTheVerifiedBytes) {
  ExtractFile* files = FilesOf({PlanOf("main.msi", "verified bytes"), PlanOf("data1.cab", "verified bytes")});
  ASSERT_NE(files, nullptr);
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  ASSERT_EQ(StatusCode(PrepareExtractionFolder(files, 2, kProductCode, "t", true, folder, &hold)), 0u);
  const char* written[] = {"verified bytes", "tampered bytes"};
  for (int i = 0; i < 2; ++i) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(files[i].staging, written[i], 14, &n, nullptr));
    files[i].writtenBytes = 14;
    std::memcpy(files[i].written, files[i].plan.digest, RECORD_DIGEST_SIZE);
    files[i].state = FILE_VERIFIED;
  }
  int32_t failed = -1;
  EXPECT_EQ(StatusCode(PublishVerifiedFiles(files, 2, &failed)),
            static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  EXPECT_EQ(failed, 1);
  EXPECT_NE(files[0].held, nullptr);
  EXPECT_EQ(files[1].held, nullptr);
  CleanUpExtractedFiles(files, 2, folder, &hold, false, false);
  EXPECT_FALSE(PathExists(product_.c_str())) << "the run's files and its folder are gone";
  FreeExtractFiles(files, 2);
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
