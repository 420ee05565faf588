// Holding the extraction folder and its files (see hold.h).
#include "extract/hold.h"

#include <winternl.h>

#include <cstdio>
#include <cstring>

#include "extract/ntdll.h"
#include "payload/record.h"

namespace {

// Read-back in 64 KiB pieces into a buffer on the stack: memory the thread has already
// touched, where a buffer from the heap is faulted in page by page for every file (and twice
// under Wine, whose read checks each page of the buffer before it reads). Under Wine a file
// reads about as fast in 64 KiB pieces as in 4 MiB ones; hashing is the cost.
enum : uint32_t { READ_CHUNK = 64u << 10, RENAME_NAME_UNITS = 1100 };

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool SameIdentity(const FileIdentity* a, const FileIdentity* b) {
  return a->known && b->known && a->volume == b->volume && a->indexHigh == b->indexHigh &&
         a->indexLow == b->indexLow;
}

// Attributes and identity of an open handle; false when they cannot be read.
bool ReadInformation(HANDLE handle, DWORD* attributes, uint64_t* size, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  *attributes = info.dwFileAttributes;
  if (size) *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity->known = 1;
  identity->volume = info.dwVolumeSerialNumber;
  identity->indexHigh = info.nFileIndexHigh;
  identity->indexLow = info.nFileIndexLow;
  return true;
}

// True when `path` names a folder (or a file) that is no reparse point, as the path itself
// shows it. A handle opened without following a link shows that too; this also holds where a
// handle follows links whatever it is asked (Wine).
bool PathIsPlain(const char* path, bool folder) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

// True when the object of `handle` is a folder (or a plain file), no reparse point, and
// still the one that `path` leads to.
bool HandleIsPath(HANDLE handle, const char* path, bool folder, FileIdentity* identity,
                  uint64_t* size) {
  DWORD attributes = 0;
  if (!ReadInformation(handle, &attributes, size, identity) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder || !PathIsPlain(path, folder))
    return false;
  HANDLE again = CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (again == INVALID_HANDLE_VALUE) return false;
  FileIdentity seen = {};
  DWORD seenAttributes = 0;
  const bool same = ReadInformation(again, &seenAttributes, nullptr, &seen) &&
                    SameIdentity(&seen, identity);
  CloseHandle(again);
  return same;
}

// True when the file behind `handle`, read from its start, has SHA-256 `digest`.
bool DigestEquals(HANDLE handle, const uint8_t digest[RECORD_DIGEST_SIZE]) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) return false;
  uint8_t buffer[READ_CHUNK];
  RecordHash hash;
  BeginRecordHash(&hash);
  bool read = true;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle, buffer, READ_CHUNK, &n, nullptr)) {
      read = false;
      break;
    }
    if (n == 0) break;
    UpdateRecordHash(&hash, buffer, n);
  }
  uint8_t seen[RECORD_DIGEST_SIZE];
  FinishRecordHash(&hash, seen);
  return read && std::memcmp(seen, digest, RECORD_DIGEST_SIZE) == 0;
}

typedef LONG(NTAPI* NtSetInformationFileFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
enum : ULONG { FILE_RENAME_INFORMATION_CLASS = 10 };

// Renames the file of `handle` (opened with delete access) to the full path `target`.
Status RenameByHandle(HANDLE handle, const char* target, bool replace) {
  NtSetInformationFileFn setInformation;
  RtlNtStatusToDosErrorFn toDosError;
  if (!FindNtdllFunction("NtSetInformationFile", &setInformation) ||
      !FindNtdllFunction("RtlNtStatusToDosError", &toDosError))
    return STATUS(ERROR_INVALID_FUNCTION);
  // FILE_RENAME_INFORMATION: ReplaceIfExists, RootDirectory, FileNameLength, FileName; the
  // name is the NT form of the full path, "\??\" and the path.
  struct {
    FILE_RENAME_INFO info;
    WCHAR room[RENAME_NAME_UNITS];
  } rename;
  std::memset(&rename, 0, sizeof rename);
  static const WCHAR kPrefix[] = L"\\??\\";
  std::memcpy(rename.info.FileName, kPrefix, 4 * sizeof(WCHAR));
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, target, -1,
                                        rename.info.FileName + 4, RENAME_NAME_UNITS - 8);
  if (units <= 1) return STATUS(ERROR_NO_UNICODE_TRANSLATION);
  rename.info.ReplaceIfExists = replace ? TRUE : FALSE;
  rename.info.RootDirectory = nullptr;
  rename.info.FileNameLength = static_cast<DWORD>((units - 1 + 4) * sizeof(WCHAR));
  IO_STATUS_BLOCK io = {};
  const LONG status = setInformation(handle, &io, &rename, sizeof rename,
                                     FILE_RENAME_INFORMATION_CLASS);
  if (status < 0) return STATUS(toDosError(status));
  return STATUS(ERROR_SUCCESS);
}

// Opens `path` itself (a link is not followed) for deletion, and deletes it when it is still
// the object of `identity`. A folder that is not empty stays.
bool DeleteIfSame(const char* path, const FileIdentity* identity, bool folder) {
  if (!path || !path[0] || !identity->known) return false;
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  HANDLE handle = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileIdentity found = {};
  bool deleted = false;
  if (HandleIsPath(handle, path, folder, &found, nullptr) && SameIdentity(&found, identity)) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    deleted = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                         sizeof disposition) != 0;
  }
  CloseHandle(handle);
  return deleted;
}

}  // namespace

Status ReadIdentity(HANDLE handle, FileIdentity* identity) {
  DWORD attributes = 0;
  std::memset(identity, 0, sizeof(*identity));
  if (ReadInformation(handle, &attributes, nullptr, identity)) return STATUS(ERROR_SUCCESS);
  const Status failed = STATUS_FROM_LAST_ERROR(ERROR_INVALID_FUNCTION);
  std::memset(identity, 0, sizeof(*identity));
  return failed;
}

Status OpenHeldFolder(const char* path, HANDLE* handle, FileIdentity* identity) {
  *handle = nullptr;
  std::memset(identity, 0, sizeof(*identity));
  // No delete sharing: while this handle is open the folder cannot be renamed or removed.
  HANDLE folder = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED);
  if (!HandleIsPath(folder, path, true, identity, nullptr)) {
    CloseHandle(folder);
    std::memset(identity, 0, sizeof(*identity));
    return STATUS(ERROR_DIRECTORY);
  }
  *handle = folder;
  return STATUS(ERROR_SUCCESS);
}

Status OpenVerifiedFile(const char* path, const uint8_t digest[RECORD_DIGEST_SIZE],
                        uint64_t size, HANDLE* handle, FileIdentity* identity) {
  *handle = nullptr;
  std::memset(identity, 0, sizeof(*identity));
  // Read sharing only: nobody can write, rename or delete it while it is held.
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED);
  uint64_t length = 0;
  FileIdentity seen = {};
  const bool same = HandleIsPath(file, path, false, &seen, &length) && length == size &&
                    DigestEquals(file, digest);
  if (!same) {
    CloseHandle(file);
    return STATUS(ERROR_FILE_CORRUPT);
  }
  *handle = file;
  *identity = seen;
  return STATUS(ERROR_SUCCESS);
}

Status PublishVerifiedFiles(ExtractFile* files, int32_t fileCount, int32_t* failedFile) {
  *failedFile = -1;
  for (int32_t i = 0; i < fileCount; ++i) {
    ExtractFile* file = &files[i];
    if (file->state != FILE_VERIFIED) continue;
    *failedFile = i;
    const Status renamed = RenameByHandle(file->staging, file->path, file->replaces != 0);
    if (!StatusOk(renamed)) return renamed;
    // Under its final name now: nothing of it is temporary any more, and the clean-up
    // deletes it by identity whatever follows.
    CloseHandle(file->staging);
    file->staging = nullptr;
    file->state = FILE_HELD;
    HANDLE held = nullptr;
    FileIdentity seen = {};
    // Changed behind the stub's back: another process wrote, replaced, removed or opened it
    // so that it can no longer be held. Whatever the open error, the file is no longer the
    // one this run wrote.
    if (!StatusOk(OpenVerifiedFile(file->path, file->written, file->writtenBytes, &held, &seen)))
      return STATUS(ERROR_FILE_CORRUPT);
    if (!SameIdentity(&seen, &file->identity)) {
      CloseHandle(held);
      return STATUS(ERROR_FILE_CORRUPT);
    }
    file->held = held;
  }
  *failedFile = -1;
  return STATUS(ERROR_SUCCESS);
}

void ClearLeftoverStagingFiles(const char* folder) {
  char pattern[MAX_PATH * 4];
  int n = std::snprintf(pattern, sizeof pattern, "%s\\~msistub-*.tmp", folder);
  if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!IsStagingName(found.cFileName)) continue;
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    char path[MAX_PATH * 4];
    n = std::snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue;
    HANDLE file = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    FileIdentity identity = {};
    if (HandleIsPath(file, path, false, &identity, nullptr)) {
      FILE_DISPOSITION_INFO disposition;
      disposition.DeleteFile = TRUE;
      SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(file);
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

void ReleaseExtractionHold(ExtractionHold* hold) {
  if (hold->folder) CloseHandle(hold->folder);
  hold->folder = nullptr;
}

bool DeleteHeldFile(const char* path, const FileIdentity* identity) {
  return DeleteIfSame(path, identity, false);
}

bool RemoveHeldFolder(const char* path, const FileIdentity* identity) {
  return DeleteIfSame(path, identity, true);
}
