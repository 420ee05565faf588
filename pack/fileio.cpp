// File access of the packaging tool (see fileio.h).
#include "pack/fileio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#include <sddl.h>
#else
#include <unistd.h>
#endif

namespace {
std::string Describe(int err) { return std::strerror(err); }

#ifdef _WIN32
typedef struct _stati64 StatBuf;
int StatPath(const std::string& path, StatBuf* st) { return _stati64(path.c_str(), st); }
#else
typedef struct stat StatBuf;
int StatPath(const std::string& path, StatBuf* st) { return stat(path.c_str(), st); }
#endif

#ifdef _WIN32
// A new file that only its creator can open: created with a protected access list (nothing
// inherited from the folder) that allows the user running the tool full access, and nobody
// else anything. The list moves with the file when it is renamed into place.
int OpenNewPrivate(const std::string& path) {
  std::string text, why;
  if (!OwnerOnlyDescriptorText(&text, &why)) {
    errno = EACCES;
    return -1;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    errno = EACCES;
    return -1;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD created = GetLastError();
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) {
    errno = created == ERROR_FILE_EXISTS || created == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd;
}
#endif

int OpenNew(const std::string& path, bool privateFile) {
#ifdef _WIN32
  if (privateFile) return OpenNewPrivate(path);
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFile ? 0600 : 0644);
#endif
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size) {
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
#ifdef _WIN32
    const int n = _write(fd, data, chunk);
#else
    const ssize_t n = write(fd, data, chunk);
#endif
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int CloseFile(int fd) {
#ifdef _WIN32
  return _close(fd);
#else
  return close(fd);
#endif
}

bool SyncFile(int fd) {
#ifdef _WIN32
  return _commit(fd) == 0;
#else
  return fsync(fd) == 0;
#endif
}

bool RenameOver(const std::string& from, const std::string& to, bool exclusive) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), exclusive ? 0 : MOVEFILE_REPLACE_EXISTING) != 0;
#else
  if (exclusive) {
    // link() fails when the target exists, so a key that appeared meanwhile is not replaced.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
  }
  return rename(from.c_str(), to.c_str()) == 0;
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
  return static_cast<unsigned long>(_getpid());
#else
  return static_cast<unsigned long>(getpid());
#endif
}
}  // namespace

#ifdef _WIN32
bool OwnerOnlyDescriptorText(std::string* text, std::string* error) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    *error = "cannot read the user's identity (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  char* sid = nullptr;
  const bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
                  ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
  const DWORD failure = GetLastError();
  CloseHandle(token);
  if (!ok) {
    *error = "cannot read the user's identity (error " + std::to_string(failure) + ")";
    return false;
  }
  // P: protected, nothing inherited; one entry: full access (FA) for the user.
  *text = std::string("D:P(A;;FA;;;") + sid + ")";
  LocalFree(sid);
  return true;
}
#endif

bool FileExists(const std::string& path) {
  StatBuf st;
  return StatPath(path, &st) == 0;
}

std::string BaseName(const std::string& path) {
  const size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string DirName(const std::string& path) {
  const size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

bool InputFileSize(const std::string& path, uint64_t limit, uint64_t* size, std::string* error) {
  StatBuf st;
  if (StatPath(path, &st) != 0) {
    *error = path + ": " + Describe(errno) + " (check the path)";
    return false;
  }
  if ((st.st_mode & S_IFMT) != S_IFREG) {
    *error = path + ": not a regular file";
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  if (*size > limit) {
    *error = path + ": " + std::to_string(*size) + " bytes, more than the " +
             std::to_string(limit) + " bytes a payload can hold (sizes are 32-bit)";
    return false;
  }
  return true;
}

bool OpenInputFile(const std::string& path, uint64_t limit, InputFile* file, std::string* error) {
  file->path = path;
  if (!InputFileSize(path, limit, &file->size, error)) return false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = path + ": " + Describe(errno);
    return false;
  }
  file->handle = f;
  return true;
}

bool ReadInput(InputFile* file, uint8_t* out, size_t size, std::string* error) {
  FILE* f = static_cast<FILE*>(file->handle);
  if (size == 0 || std::fread(out, 1, size, f) == size) return true;
  *error = file->path + (std::ferror(f) ? ": reading failed: " + Describe(errno)
                                        : std::string(": the file changed size while it was read"));
  return false;
}

bool FinishInput(InputFile* file, std::string* error) {
  if (std::fgetc(static_cast<FILE*>(file->handle)) == EOF) return true;
  *error = file->path + ": the file changed size while it was read";
  return false;
}

void CloseInputFile(InputFile* file) {
  if (file->handle) std::fclose(static_cast<FILE*>(file->handle));
  file->handle = nullptr;
}

bool OpenScratchFile(const std::string& nearPath, ScratchFile* file, std::string* error) {
  file->size = 0;
  file->fd = -1;
  std::string base = nearPath;
  if (base.empty()) {
#ifdef _WIN32
    char folder[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof folder, folder);
    base = std::string(n && n < sizeof folder ? folder : ".\\") + "msistub-pack";
#else
    const char* folder = std::getenv("TMPDIR");
    base = std::string(folder && *folder ? folder : "/tmp") + "/msistub-pack";
#endif
  }
  std::string path;
  for (unsigned attempt = 0; attempt < 100 && file->fd < 0; ++attempt) {
    path = base + ".records-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt);
#ifdef _WIN32
    file->fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                     _S_IREAD | _S_IWRITE);
#else
    file->fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
    if (file->fd < 0 && errno != EEXIST) break;
  }
  if (file->fd < 0) {
    *error = path + ": cannot create a temporary file for the compressed records: " + Describe(errno);
    return false;
  }
#ifndef _WIN32
  unlink(path.c_str());  // nameless from now on: nothing of it outlives the process
#endif
  return true;
}

bool AppendScratch(ScratchFile* file, const uint8_t* data, size_t size, std::string* error) {
#ifdef _WIN32
  const bool ok = _lseeki64(file->fd, 0, SEEK_END) >= 0 && WriteAll(file->fd, data, size);
#else
  const bool ok = WriteAll(file->fd, data, size);
#endif
  if (!ok) {
    *error = "writing the compressed records to a temporary file failed: " + Describe(errno);
    return false;
  }
  file->size += size;
  return true;
}

bool ReadScratch(const ScratchFile& file, uint64_t offset, uint8_t* out, size_t size,
                 std::string* error) {
  bool ok = offset + size <= file.size;
  while (ok && size) {
#ifdef _WIN32
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int n = _lseeki64(file.fd, static_cast<__int64>(offset), SEEK_SET) >= 0
                      ? _read(file.fd, out, chunk) : -1;
#else
    const ssize_t n = pread(file.fd, out, size, static_cast<off_t>(offset));
#endif
    ok = n > 0;
    if (ok) out += n, size -= static_cast<size_t>(n), offset += static_cast<uint64_t>(n);
  }
  if (!ok) *error = "reading the compressed records back from their temporary file failed";
  return ok;
}

void CloseScratchFile(ScratchFile* file) {
  if (file->fd >= 0) CloseFile(file->fd);
  file->fd = -1;
  file->size = 0;
}

bool ReadWholeFile(const std::string& path, uint64_t limit, Bytes* out, std::string* error) {
  uint64_t size = 0;
  if (!InputFileSize(path, limit, &size, error)) return false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = path + ": " + Describe(errno);
    return false;
  }
  out->assign(static_cast<size_t>(size), 0);
  const size_t got = size ? std::fread(out->data(), 1, out->size(), f) : 0;
  const bool more = std::fgetc(f) != EOF;
  std::fclose(f);
  if (got != out->size() || more) {
    *error = path + ": the file changed size while it was read";
    return false;
  }
  return true;
}

bool BeginOutputFile(const std::string& path, bool exclusive, bool privateFile, OutputFile* file,
                     std::string* error) {
  if (exclusive && FileExists(path)) {
    *error = path + ": already exists; not replaced (remove it first or choose another name)";
    return false;
  }
  file->path = path;
  file->exclusive = exclusive;
  file->fd = -1;
  for (unsigned attempt = 0; attempt < 100 && file->fd < 0; ++attempt) {
    file->temp = path + ".tmp-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt);
    file->fd = OpenNew(file->temp, privateFile);
    if (file->fd < 0 && errno != EEXIST) break;
  }
  if (file->fd < 0) {
    *error = path + ": cannot create a temporary file next to it: " + Describe(errno);
    return false;
  }
  return true;
}

bool WriteOutput(OutputFile* file, const uint8_t* data, size_t size, std::string* error) {
  if (WriteAll(file->fd, data, size)) return true;
  *error = file->path + ": writing failed: " + Describe(errno);
  return false;
}

bool WriteOutputAt(OutputFile* file, uint64_t offset, const uint8_t* data, size_t size,
                   std::string* error) {
#ifdef _WIN32
  const bool ok = _lseeki64(file->fd, static_cast<__int64>(offset), SEEK_SET) >= 0 &&
                  WriteAll(file->fd, data, size) && _lseeki64(file->fd, 0, SEEK_END) >= 0;
#else
  bool ok = true;
  while (ok && size) {
    const ssize_t n = pwrite(file->fd, data, size, static_cast<off_t>(offset));
    ok = n > 0;
    if (ok) data += n, size -= static_cast<size_t>(n), offset += static_cast<uint64_t>(n);
  }
#endif
  if (ok) return true;
  *error = file->path + ": writing failed: " + Describe(errno);
  return false;
}

void AbandonOutputFile(OutputFile* file) {
  if (file->fd >= 0) CloseFile(file->fd);
  if (!file->temp.empty()) std::remove(file->temp.c_str());
  file->fd = -1;
  file->temp.clear();
}

bool CommitOutputFile(OutputFile* file, std::string* error) {
  const bool synced = SyncFile(file->fd);
  const int syncErrno = errno;
  const bool closed = CloseFile(file->fd) == 0;
  file->fd = -1;
  if (!synced || !closed) {
    *error = file->path + ": writing failed: " + Describe(synced ? errno : syncErrno);
    AbandonOutputFile(file);
    return false;
  }
  if (!RenameOver(file->temp, file->path, file->exclusive)) {
    *error = file->path + ": cannot put the new file in place: " + Describe(errno);
    AbandonOutputFile(file);
    return false;
  }
  file->temp.clear();
  return true;
}

bool WriteFileReplacing(const std::string& path, const uint8_t* data, size_t size, bool exclusive,
                        bool privateFile, std::string* error) {
  OutputFile file;
  if (!BeginOutputFile(path, exclusive, privateFile, &file, error)) return false;
  if (!WriteOutput(&file, data, size, error)) {
    AbandonOutputFile(&file);
    return false;
  }
  return CommitOutputFile(&file, error);
}
