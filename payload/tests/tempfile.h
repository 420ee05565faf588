// A temporary file for the file-source tests: holds the given bytes and is open for reading
// as the HANDLE a file source reads through (ReadFile with an offset); it is gone once the
// TempFile is (natively unlinked at once, under Windows deleted on close).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/winseam.h"
#ifndef _WIN32
#include <unistd.h>
#endif

class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
#ifdef _WIN32
    char dir[MAX_PATH];
    char path[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "src", 0, path)) std::abort();
    handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) std::abort();
    DWORD written = 0;
    if (!bytes.empty() &&
        (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
         written != bytes.size()))
      std::abort();
#else
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/msistub-source-XXXXXX";
    fd_ = mkstemp(&path[0]);
    if (fd_ < 0) std::abort();
    unlink(path.c_str());
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    handle_ = HostFileHandle(fd_);
#endif
  }
  ~TempFile() {
#ifdef _WIN32
    CloseHandle(handle_);
#else
    close(fd_);
#endif
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
#ifndef _WIN32
  int fd_;
#endif
};
