// Helpers of the extraction tests: a fresh temporary folder, whole-file reads, plans and
// staged files.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/winseam.h"
#include "extract/hold.h"
#include "extract/item.h"
#include "payload/record.h"

// A new empty folder below the temporary folder, removed with its files on destruction.
class TempFolder {
 public:
  TempFolder() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%smsistub-extract-%lu-%lu", base, GetCurrentProcessId(),
                  static_cast<unsigned long>(counter_++));
    path_ = name;
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() { RemoveTree(path_); }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

  static void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        std::string full = path + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(full);
        else
          DeleteFileA(full.c_str());
      } while (FindNextFileA(find, &data));
      FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
  }

 private:
  static inline unsigned long counter_ = 0;
  std::string path_;
};

inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  out->clear();
  uint8_t buffer[65536];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
    out->insert(out->end(), buffer, buffer + n);
  CloseHandle(file);
  return true;
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(file);
}

// Deterministic, position-dependent content, so that a misplaced chunk shows.
inline std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

// The plan of a file named `name` whose content is `content` (digest and size set; no
// record behind it).
inline FileSetItem PlanOf(const std::string& name, const std::string& content) {
  FileSetItem plan = {};
  std::snprintf(plan.name, sizeof plan.name, "%s", name.c_str());
  plan.flags = FILE_HAS_DIGEST | FILE_HAS_SIZE;
  plan.size = static_cast<uint32_t>(content.size());
  DigestRecordBytes(reinterpret_cast<const uint8_t*>(content.data()), plan.size, plan.digest);
  return plan;
}

// Files over `plans` (moved in), as NewExtractFiles makes them; FreeExtractFiles frees them.
inline ExtractFile* FilesOf(std::vector<FileSetItem> plans) {
  ExtractFile* files = nullptr;
  if (!StatusOk(NewExtractFiles(plans.data(), static_cast<int32_t>(plans.size()), &files)))
    return nullptr;
  return files;
}

// Stages `file` in `folder` as the folder's preparation does: a new temporary file open for
// writing and deleting with read sharing only.
inline bool StageIn(ExtractFile* file, const std::string& folder, int n) {
  std::snprintf(file->path, sizeof file->path, "%s\\%s", folder.c_str(), file->plan.name);
  char name[STAGING_NAME_SIZE];
  FormatStagingName(0x1000u + static_cast<uint64_t>(n), name);
  std::snprintf(file->stagingPath, sizeof file->stagingPath, "%s\\%s", folder.c_str(), name);
  file->staging = CreateFileA(file->stagingPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file->staging == INVALID_HANDLE_VALUE) {
    file->staging = nullptr;
    return false;
  }
  file->state = FILE_STAGED;
  return StatusOk(ReadIdentity(file->staging, &file->identity));
}

// The names in `folder` (files and folders, "." and ".." left out).
inline std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

// Files stored as plain records (flags 0: a record's stored bytes are its content, nothing
// signed) in a container of their own, with plans of their sizes: a job over them only copies
// and hashes, for the writer's and the dialog's own costs.
struct PlainPayload {
  std::vector<uint8_t> container;
  PayloadSource source = {};
  SourceTable table = {};
  std::vector<FileSetItem> plans;

  void Add(const std::string& name, const uint8_t* data, uint32_t size) {
    FileSetItem plan = {};
    std::snprintf(plan.name, sizeof plan.name, "%s", name.c_str());
    plan.recordId = static_cast<uint32_t>(plans.size()) + 1;
    plan.flags = FILE_HAS_SIZE;
    plan.size = size;
    plan.place.dataOffset = static_cast<uint32_t>(container.size());
    plan.place.dataSize = size;
    plan.place.signatureOffset = plan.place.dataOffset + size;
    container.insert(container.end(), data, data + size);
    uint8_t trailer[RECORD_TRAILER_SIZE];
    WriteRecordTrailer(trailer, RECORD_TYPE_FILE, plan.recordId, 0, size);
    container.insert(container.end(), trailer, trailer + sizeof trailer);
    plans.push_back(plan);
  }
  void Seal() {
    source.containerData = container.data();
    source.containerSize = static_cast<uint32_t>(container.size());
    source.flags = 0;
    table.sources = &source;
    table.sourceCount = 1;
  }
};
