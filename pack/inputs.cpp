// Checks of inputs and outputs before any work (see inputs.h).
#include "pack/inputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "pack/fileio.h"

namespace fs = std::filesystem;

namespace {
// The path made absolute and normal, without resolving links (those are caught by inode).
std::string Normal(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::u8path(path), ec);
  return (ec ? fs::u8path(path) : absolute).lexically_normal().u8string();
}

bool Writable(const std::string& folder) {
#ifdef _WIN32
  return _access(folder.c_str(), 2) == 0;
#else
  return access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

bool SameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
  std::error_code ec;
  return fs::equivalent(fs::u8path(a), fs::u8path(b), ec);
#else
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
#endif
}
}  // namespace

bool CheckOutputFile(const std::string& output, const std::string& role,
                     const std::vector<NamedInput>& inputs, std::string* error) {
  std::string folder = DirName(output);
  if (folder.empty()) folder = ".";
  std::error_code ec;
  const fs::file_status folderStatus = fs::status(fs::u8path(folder), ec);
  if (!fs::exists(folderStatus)) {
    *error = output + ": the folder " + folder + " does not exist; create it first (" + role +
             " is written there)";
    return false;
  }
  if (!fs::is_directory(folderStatus)) {
    *error = output + ": " + folder + " is not a folder";
    return false;
  }
  if (!Writable(folder)) {
    *error = output + ": the folder " + folder + " is not writable; choose another output";
    return false;
  }
  if (fs::is_directory(fs::u8path(output), ec)) {
    *error = output + ": is a folder; name the file to write (" + role + ")";
    return false;
  }
  const std::string normal = Normal(output);
  for (const NamedInput& input : inputs) {
    if (input.path.empty()) continue;
    if (Normal(input.path) == normal || SameFile(output, input.path)) {
      *error = output + ": is " + input.role + " (" + input.path + "); writing " + role +
               " there would destroy it. Choose another output file";
      return false;
    }
  }
  return true;
}

bool CheckInputFile(const std::string& path, uint64_t limit, const char* magic, size_t magicSize,
                    const std::string& what, std::string* error) {
  std::error_code ec;
  const fs::path p = fs::u8path(path);
  const fs::file_status status = fs::status(p, ec);
  if (!fs::exists(status)) {
    *error = path + ": No such file (check the path)";
    return false;
  }
  if (!fs::is_regular_file(status)) {
    *error = path + ": not a regular file";
    return false;
  }
  const uint64_t size = fs::file_size(p, ec);
  if (ec) {
    *error = path + ": " + ec.message();
    return false;
  }
  if (size > limit) {
    *error = path + ": " + std::to_string(size) + " bytes, more than the " +
             std::to_string(limit) + " bytes a payload can hold (sizes are 32-bit)";
    return false;
  }
  if (!magic) return true;
  char head[16] = {};
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const size_t got = std::fread(head, 1, magicSize, f);
  std::fclose(f);
  if (got != magicSize || std::memcmp(head, magic, magicSize) != 0) {
    *error = path + ": not " + what + " (it does not begin with the header such a file has)";
    return false;
  }
  return true;
}
