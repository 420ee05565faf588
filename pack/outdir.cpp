// The folder extract writes into (see outdir.h).
#include "pack/outdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include "pack/fileio.h"
#else
#include <dirent.h>
#include <unistd.h>
#endif

#ifndef _WIN32
namespace {
std::string Reason() { return std::strerror(errno); }
}  // namespace

OutputFolder::~OutputFolder() {
  if (fd >= 0) close(fd);
}

bool OpenOutputFolder(const std::string& path, OutputFolder* folder, std::string* error) {
  folder->path = path;
  const bool created = mkdir(path.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) {
    *error = path + ": cannot create the folder (" + Reason() +
             (errno == ENOENT ? "; its parent folder must exist" : "") + ")";
    return false;
  }
  folder->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder->fd < 0) {
    *error = path + (errno == ELOOP || errno == ENOTDIR
                         ? ": exists and is not a folder (or is a link); extract into a new or empty folder"
                         : ": cannot open the folder (" + Reason() + ")");
    return false;
  }
  // A folder just made gets the same checks: between mkdir and open, anyone who can write the
  // parent could have renamed it away and put a folder of their own under its name.
  struct stat st;
  if (fstat(folder->fd, &st) != 0) {
    *error = path + ": " + Reason();
    return false;
  }
  if (st.st_uid != geteuid()) {
    *error = path + ": the folder belongs to another user, who could put links into it while "
             "files are written; extract into a new folder or one of your own";
    return false;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *error = path + ": the folder is writable by others, who could put links into it while files "
             "are written; run chmod go-w on it or extract into a new folder";
    return false;
  }
  const int listing = dup(folder->fd);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!dir) {
    if (listing >= 0) close(listing);
    *error = path + ": cannot list the folder (" + Reason() + ")";
    return false;
  }
  bool empty = true;
  for (struct dirent* e; empty && (e = readdir(dir)) != nullptr;)
    empty = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
  closedir(dir);
  if (!empty) {
    *error = path + ": exists and is not an empty folder; extract into a new or empty folder";
    return false;
  }
  return true;
}

bool MakeSubfolder(const OutputFolder& parent, const std::string& name, OutputFolder* folder,
                   std::string* error) {
  folder->path = parent.path + "/" + name;
  if (mkdirat(parent.fd, name.c_str(), 0700) != 0) {
    *error = folder->path + ": cannot create the folder (" +
             (errno == EEXIST ? std::string("it exists already") : Reason()) + ")";
    return false;
  }
  folder->fd = openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder->fd < 0) {
    *error = folder->path + ": cannot open the folder just created (" + Reason() + ")";
    return false;
  }
  return true;
}

bool WriteNewFile(const OutputFolder& folder, const std::string& name, const uint8_t* data,
                  size_t size, std::string* error) {
  const std::string path = folder.path + "/" + name;
  const int fd = openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0644);
  if (fd < 0) {
    *error = path + ": cannot create the file (" +
             (errno == EEXIST ? std::string("it exists already") : Reason()) + ")";
    return false;
  }
  bool ok = true;
  while (ok && size) {
    const ssize_t n = write(fd, data, size > (1u << 30) ? (1u << 30) : size);
    ok = n > 0;
    if (ok) data += n, size -= static_cast<size_t>(n);
  }
  const int writeErrno = errno;
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    errno = writeErrno;
    *error = path + ": writing failed (" + Reason() + ")";
    unlinkat(folder.fd, name.c_str(), 0);
    return false;
  }
  return true;
}
#else
namespace fs = std::filesystem;

OutputFolder::~OutputFolder() {}

bool OpenOutputFolder(const std::string& path, OutputFolder* folder, std::string* error) {
  folder->path = path;
  std::error_code ec;
  const fs::path root = fs::u8path(path);
  const fs::file_status status = fs::symlink_status(root, ec);
  if (fs::exists(status) && (fs::is_symlink(status) || !fs::is_directory(status) ||
                             !fs::is_empty(root, ec))) {
    *error = path + ": exists and is not an empty folder; extract into a new or empty folder";
    return false;
  }
  if (!fs::exists(status) && !fs::create_directory(root, ec)) {
    *error = path + ": cannot create the folder (" + ec.message() + ")";
    return false;
  }
  return true;
}

bool MakeSubfolder(const OutputFolder& parent, const std::string& name, OutputFolder* folder,
                   std::string* error) {
  folder->path = parent.path + "/" + name;
  std::error_code ec;
  if (!fs::create_directory(fs::u8path(folder->path), ec)) {
    *error = folder->path + ": cannot create the folder (" +
             (ec ? ec.message() : std::string("it exists already")) + ")";
    return false;
  }
  return true;
}

bool WriteNewFile(const OutputFolder& folder, const std::string& name, const uint8_t* data,
                  size_t size, std::string* error) {
  return WriteFileReplacing(folder.path + "/" + name, data, size, true, false, error);
}
#endif
