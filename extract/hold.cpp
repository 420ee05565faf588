// Holding the extraction folder and its files (see hold.h).
#include "extract/hold.h"

#include <cstring>

namespace {

enum : uint32_t { COMPARE_CHUNK = 1u << 20 };

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

// True when the file behind `handle`, read from its start, holds exactly `size` bytes equal
// to `data`.
bool ContentEquals(HANDLE handle, const uint8_t* data, uint32_t size) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) return false;
  uint8_t* buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, COMPARE_CHUNK));
  if (!buffer) return false;
  bool equal = true;
  uint32_t offset = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(handle, buffer, COMPARE_CHUNK, &read, nullptr)) {
      equal = false;
      break;
    }
    if (read == 0) {
      equal = offset == size;
      break;
    }
    if (read > size - offset || std::memcmp(buffer, data + offset, read) != 0) {
      equal = false;
      break;
    }
    offset += read;
  }
  LocalFree(buffer);
  return equal;
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

Status OpenHeldFile(const char* path, const uint8_t* data, uint32_t size, HeldFile* held) {
  std::memset(held, 0, sizeof(*held));
  // Read sharing only: nobody can write, rename or delete it while it is held.
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED);
  uint64_t length = 0;
  FileIdentity identity = {};
  bool same = HandleIsPath(file, path, false, &identity, &length) && length == size &&
              ContentEquals(file, data, size);
  if (!same) {
    CloseHandle(file);
    return STATUS(ERROR_FILE_CORRUPT);
  }
  held->handle = file;
  held->identity = identity;
  return STATUS(ERROR_SUCCESS);
}

Status HoldWrittenFiles(const ExtractItem* items, int32_t itemCount, ExtractionHold* hold,
                        int32_t* failedItem) {
  *failedItem = -1;
  for (int32_t i = 0; i < itemCount && i < hold->count; ++i) {
    HeldFile* held = &hold->files[i];
    if (held->handle || !held->identity.known) continue;
    HeldFile opened;
    if (!StatusOk(OpenHeldFile(items[i].path, items[i].content->data, items[i].content->size,
                               &opened))) {
      *failedItem = i;
      // Changed behind the stub's back: another process wrote, replaced, removed or opened it
      // so that it can no longer be held. Whatever the open error, the file is no longer the
      // one this run wrote.
      return STATUS(ERROR_FILE_CORRUPT);
    }
    if (!SameIdentity(&opened.identity, &held->identity)) {
      CloseHandle(opened.handle);
      *failedItem = i;
      return STATUS(ERROR_FILE_CORRUPT);
    }
    held->handle = opened.handle;
  }
  return STATUS(ERROR_SUCCESS);
}

void ReleaseExtractionHold(ExtractionHold* hold) {
  for (int32_t i = 0; hold->files && i < hold->count; ++i) {
    if (hold->files[i].handle) CloseHandle(hold->files[i].handle);
    hold->files[i].handle = nullptr;
  }
  if (hold->folder) CloseHandle(hold->folder);
  hold->folder = nullptr;
}

bool DeleteHeldFile(const char* path, const FileIdentity* identity) {
  return DeleteIfSame(path, identity, false);
}

bool RemoveHeldFolder(const char* path, const FileIdentity* identity) {
  return DeleteIfSame(path, identity, true);
}

void FreeExtractionHold(ExtractionHold* hold) {
  ReleaseExtractionHold(hold);
  if (hold->files) LocalFree(hold->files);
  std::memset(hold, 0, sizeof(*hold));
}
