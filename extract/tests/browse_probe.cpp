// Runs PrepareExtractionFolder in a situation where the Windows directory's Installer folder
// cannot take the files, so the browse dialog opens; extract_browse.sh answers the dialog
// with xdotool. Prints one line per check ("ok: ..." or "FAIL: ...") and exits with 0 when
// every check holds.
//   extract_browse_probe choose   first attempt blocked (a file named like the product-code
//                                 folder); the user accepts the preselected start folder
//   extract_browse_probe cancel   every attempt fails (an output path too long for its
//                                 buffer); the user accepts once, then cancels
#include <objbase.h>

#include <cstdio>
#include <string>

#include "extract/cleanup.h"
#include "extract/folder.h"
#include "extract/tests/testfiles.h"

namespace {

const char kProductCode[] = "{0B5E6A1C-2D3F-4E5A-9B8C-7D6E5F4A3B2C}";
int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string Read(const std::string& path) {
  std::vector<uint8_t> data;
  if (!ReadWholeFile(path, &data)) return "<missing>";
  return std::string(data.begin(), data.end());
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  CoInitialize(nullptr);
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof windows);
  std::string installer = std::string(windows) + "\\Installer";
  std::string blocked = installer + "\\" + kProductCode;
  char start[FOLDER_PATH_SIZE];
  GetBrowseStartFolder(start, sizeof start);
  std::string chosen = std::string(start) + "\\" + kProductCode;
  TempFolder::RemoveTree(chosen);
  DeleteFileA(blocked.c_str());
  TempFolder::RemoveTree(blocked);
  CreateDirectoryA(installer.c_str(), nullptr);

  std::vector<FileSetItem> plans;
  if (mode == "choose") {
    WriteWholeFile(blocked, "not a folder");
    plans = {PlanOf("main.msi", ""), PlanOf("data1.cab", "")};
  } else if (mode == "cancel") {
    CreateDirectoryA(blocked.c_str(), nullptr);
    WriteWholeFile(blocked + "\\keep.cab", "kept");
    plans = {PlanOf("keep.cab", "kept"), PlanOf("main.msi", ""),
             PlanOf(std::string(200, 'n') + ".cab", "")};
  } else {
    std::fprintf(stderr, "usage: extract_browse_probe choose|cancel\n");
    return 2;
  }
  char folder[FOLDER_PATH_SIZE];
  ExtractionHold hold;
  const int count = static_cast<int>(plans.size());
  ExtractFile* items = FilesOf(plans);
  if (!items) return 2;
  Status s = PrepareExtractionFolder(items, count, kProductCode,
                                     "Select a folder where you want to extract the installation files:",
                                     true, folder, &hold);
  std::printf("code=%u folder=%s\n", StatusCode(s), folder);
  if (mode == "choose") {
    Check(StatusCode(s) == 0, "all files created");
    Check(folder == chosen, "folder is the product code below the chosen start folder");
    for (int i = 0; i < count; ++i) {
      Check(items[i].staging != nullptr, std::string("staged: ") + items[i].plan.name);
      Check(std::string(items[i].path) == chosen + "\\" + items[i].plan.name,
            std::string("path: ") + items[i].path);
      Check(PathExists(items[i].stagingPath), std::string("exists: ") + items[i].stagingPath);
    }
    Check(Read(blocked) == "not a folder", "the blocking file is untouched");
  } else {
    Check(StatusCode(s) == ERROR_CANCELLED, "cancelled");
    for (int i = 0; i < count; ++i) {
      Check(items[i].staging == nullptr && items[i].held == nullptr && items[i].path[0] == 0 &&
                items[i].state == FILE_PLANNED,
            std::string("file cleared: ") + items[i].plan.name);
    }
    Check(Read(blocked + "\\keep.cab") == "kept", "pre-existing file kept");
    Check(Listing(blocked) == std::vector<std::string>{"keep.cab"},
          "temporary files removed (first attempt)");
    Check(!PathExists(chosen.c_str()), "chosen folder's product-code folder removed");
  }
  CleanUpExtractedFiles(items, count, folder, &hold, true, true);
  FreeExtractFiles(items, count);
  TempFolder::RemoveTree(chosen);
  DeleteFileA(blocked.c_str());
  TempFolder::RemoveTree(blocked);
  RemoveDirectoryA(installer.c_str());
  CoUninitialize();
  return failures == 0 ? 0 : 1;
}
