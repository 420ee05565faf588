// The extraction folder's first attempt in the Windows directory, pre-existing files, and
// the helpers PathExists, GetBrowseStartFolder and CallSHGetSpecialFolderPath.
// (The browse dialog after a failed attempt is driven by extract_browse.sh.)
#include <gtest/gtest.h>

#include "common/winseam.h"

#include <objbase.h>

#include <string>

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
  std::snprintf(items[0].name, sizeof items[0].name, "main.msi");
  std::snprintf(items[1].name, sizeof items[1].name, "data1.cab");
  char folder[FOLDER_PATH_SIZE];
  uint32_t suppress = 0;
  Status s = PrepareExtractionFolder(items, 2, kProductCode, "title", folder, &suppress);
  EXPECT_EQ(StatusCode(s), 0u);
  EXPECT_EQ(suppress, 0u);
  EXPECT_EQ(std::string(folder), product_);
  if (installerWasMissing) EXPECT_TRUE(PathExists(installer_.c_str()));
  for (auto& item : items) {
    EXPECT_EQ(std::string(item.path), product_ + "\\" + item.name);
    ASSERT_NE(item.file, nullptr);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(item.file, &size));
    EXPECT_EQ(size.QuadPart, 0);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(item.file, "abc", 3, &n, nullptr)) << "opened for writing";
  }
  CloseItems(items, 2);
}

TEST_F(PrepareFolder, LeavesExistingFilesAlone) {
  CreateDirectoryA(installer_.c_str(), nullptr);
  CreateDirectoryA(product_.c_str(), nullptr);
  WriteWholeFile(product_ + "\\main.msi", "old package");
  ExtractItem items[2] = {};
  std::snprintf(items[0].name, sizeof items[0].name, "main.msi");
  std::snprintf(items[1].name, sizeof items[1].name, "data1.cab");
  char folder[FOLDER_PATH_SIZE];
  uint32_t suppress = 0;
  EXPECT_EQ(StatusCode(PrepareExtractionFolder(items, 2, kProductCode, "t", folder, &suppress)),
            0u);
  EXPECT_EQ(items[0].file, nullptr);
  EXPECT_EQ(std::string(items[0].path), product_ + "\\main.msi");
  EXPECT_NE(items[1].file, nullptr);
  CloseItems(items, 2);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWholeFile(product_ + "\\main.msi", &got));
  EXPECT_EQ(std::string(got.begin(), got.end()), "old package");

  // All of them there already: nothing is opened.
  ExtractItem again[2] = {};
  std::snprintf(again[0].name, sizeof again[0].name, "main.msi");
  std::snprintf(again[1].name, sizeof again[1].name, "data1.cab");
  EXPECT_EQ(StatusCode(PrepareExtractionFolder(again, 2, kProductCode, "t", folder, &suppress)),
            0u);
  EXPECT_EQ(again[0].file, nullptr);
  EXPECT_EQ(again[1].file, nullptr);
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
  ASSERT_TRUE(CallSHGetSpecialFolderPath(nullptr, documents, 0x8005, TRUE));
  EXPECT_TRUE(PathExists(documents));
  char start[FOLDER_PATH_SIZE];
  GetBrowseStartFolder(start, sizeof start);
  EXPECT_STREQ(start, documents);
  EXPECT_TRUE(PathExists(start));
  EXPECT_EQ(SetErrorMode(0), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
}

}  // namespace
