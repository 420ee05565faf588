// Helpers of the extraction tests: a fresh temporary folder, whole-file reads, items.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/winseam.h"
#include "extract/item.h"

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

// A file-set item named `name` over `size` bytes at `data` (not copied), kept at a stable
// address until the test program ends.
inline const FileSetItem* NewContent(const std::string& name, const uint8_t* data, uint32_t size) {
  static std::deque<FileSetItem> store;
  store.emplace_back();
  FileSetItem* content = &store.back();
  std::snprintf(content->name, sizeof content->name, "%s", name.c_str());
  content->data = const_cast<uint8_t*>(data);
  content->size = size;
  return content;
}

// An item over `data` whose output file `path` is created and open for writing.
inline ExtractItem OpenItem(const std::string& path, std::vector<uint8_t>& data) {
  ExtractItem item = {};
  std::snprintf(item.path, sizeof item.path, "%s", path.c_str());
  item.content = NewContent(path.substr(path.find_last_of('\\') + 1), data.data(),
                            static_cast<uint32_t>(data.size()));
  item.file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  return item;
}
