// Extraction folder: the product-code folder, the output files, the undo and the browse
// dialog (see folder.h).
#include "extract/folder.h"

#include <cstdio>
#include <cstring>

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <winternl.h>
#include <ntsecapi.h>

#include "extract/cleanup.h"
#include "extract/ntdll.h"
#include "manifest/staging.h"

namespace {

enum : uint32_t { STAGING_ATTEMPTS = 16 };

const char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Appends "\<name>" to the path in `buffer`. A result that does not fit leaves the buffer as
// it was and returns false.
bool AppendComponent(char* buffer, uint32_t size, const char* name) {
  size_t len = std::strlen(buffer);
  if (len >= size) return false;
  int n = std::snprintf(buffer + len, size - len, "\\%s", name);
  if (n < 0 || static_cast<size_t>(n) >= size - len) {
    buffer[len] = '\0';
    return false;
  }
  return true;
}

// Removes every trailing backslash, stepping by characters so that a trail byte of a
// double-byte character is never taken for one.
void TrimTrailingBackslashes(char* path) {
  char* keep = path;
  for (char* p = path; *p;) {
    char* next = CharNextA(p);
    if (next == p) break;
    if (!(next - p == 1 && *p == '\\')) keep = next;
    p = next;
  }
  *keep = '\0';
}

// Undoes an attempt: the temporary files it created are deleted through their own handles,
// files that were there before are released and stay; every file's state, paths and
// identity are cleared, and the extraction folder is removed when it is empty.
void UndoAttempt(ExtractFile* files, int32_t fileCount, const char* folder, ExtractionHold* hold) {
  DiscardStagedFiles(files, fileCount);
  for (int32_t i = 0; i < fileCount; ++i) {
    ExtractFile* file = &files[i];
    if (file->held) CloseHandle(file->held);
    file->held = nullptr;
    file->state = FILE_PLANNED;
    file->replaces = 0;
    file->writtenBytes = 0;
    file->identity = FileIdentity{};
    std::memset(file->path, 0, sizeof file->path);
    std::memset(file->stagingPath, 0, sizeof file->stagingPath);
  }
  ReleaseExtractionHold(hold);
  if (folder[0]) RemoveHeldFolder(folder, &hold->folderIdentity);
  std::memset(&hold->folderIdentity, 0, sizeof hold->folderIdentity);
}

// 64 random bits for a temporary name; a weak source only makes a clash (CREATE_NEW fails,
// another name is tried) likelier, never a file shared.
uint64_t StagingRandom(uint32_t attempt) {
  uint64_t value = 0;
  if (!RtlGenRandom(&value, sizeof value)) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    value = static_cast<uint64_t>(now.QuadPart) ^
            (static_cast<uint64_t>(GetCurrentProcessId()) << 40);
  }
  return value + attempt;
}

// Creates `file`'s temporary file in `folder`, new, with write and delete access and read
// sharing only, and records its path and identity.
Status CreateStagingFile(ExtractFile* file, const char* folder) {
  Status created = STATUS(ERROR_FILE_EXISTS);
  for (uint32_t attempt = 0; attempt < STAGING_ATTEMPTS; ++attempt) {
    char name[STAGING_NAME_SIZE];
    FormatStagingName(StagingRandom(attempt), name);
    const int n =
        std::snprintf(file->stagingPath, sizeof file->stagingPath, "%s\\%s", folder, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file->stagingPath) {
      file->stagingPath[0] = '\0';
      return STATUS(ERROR_FILENAME_EXCED_RANGE);
    }
    HANDLE handle = CreateFileA(file->stagingPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      created = STATUS_FROM_LAST_ERROR(ERROR_OPEN_FAILED);
      if (StatusCode(created) == ERROR_FILE_EXISTS || StatusCode(created) == ERROR_ALREADY_EXISTS)
        continue;
      break;
    }
    file->staging = handle;
    file->state = FILE_STAGED;
    return ReadIdentity(handle, &file->identity);
  }
  file->stagingPath[0] = '\0';
  return created;
}

// Shows a warning about a chosen folder (`format` names it with one %s, or not at all); the
// browse dialog comes back after it.
void WarnAboutChoice(const char* format, const char* path) {
  char text[FOLDER_PATH_SIZE + 512];
  std::snprintf(text, sizeof text, format, path ? path : "");
  MessageBoxA(nullptr, text, "Extraction folder", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

// Shows the browse dialog until the user picks a folder with a file-system path that the
// active code page can name exactly (true, the path without trailing backslashes in `folder`)
// or cancels (false).
bool BrowseForBaseFolder(const char* title, char* folder) {
  char start[FOLDER_PATH_SIZE];
  char titleCopy[FOLDER_PATH_SIZE];
  char chosen[FOLDER_PATH_SIZE];
  for (;;) {
    GetBrowseStartFolder(start, sizeof start);
    std::snprintf(titleCopy, sizeof titleCopy, "%s", title ? title : "");
    BROWSEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.hwndOwner = nullptr;
    info.lpszTitle = titleCopy;
    info.ulFlags = 0;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(start);
    IMalloc* shellMalloc = nullptr;
    if (FAILED(SHGetMalloc(&shellMalloc))) shellMalloc = nullptr;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderA(&info);
    if (!list) {
      if (shellMalloc) shellMalloc->Release();
      return false;
    }
    WCHAR wide[MAX_PATH + 1] = {};
    BOOL havePath = SHGetPathFromIDListW(list, wide);
    if (shellMalloc) {
      shellMalloc->Free(list);
      shellMalloc->Release();
    } else {
      CoTaskMemFree(list);
    }
    // An item without a file-system path (a virtual folder) cannot hold files: ask again.
    if (!havePath || !wide[0]) continue;
    // Every later call names the folder in the active code page: a path it cannot hold
    // exactly would name another folder.
    BOOL defaulted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, chosen,
                                      sizeof chosen, nullptr, &defaulted);
    if (n <= 0 || defaulted) {
      WarnAboutChoice("The folder you chose has a name that this setup cannot use in the "
                      "system's language for programs that do not use Unicode. Choose "
                      "another folder.", nullptr);
      continue;
    }
    TrimTrailingBackslashes(chosen);
    std::snprintf(folder, FOLDER_PATH_SIZE, "%s", chosen);
    return true;
  }
}

// True when the volume of `path` is a local fixed drive whose file system keeps access lists:
// only there does the protected folder's access list protect the install source.
bool VolumeKeepsAccessLists(const char* path) {
  char root[FOLDER_PATH_SIZE];
  if (!GetVolumePathNameA(path, root, sizeof root)) return false;
  if (GetDriveTypeA(root) != DRIVE_FIXED) return false;
  DWORD flags = 0;
  if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return false;
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// True when the held folder's final path (every junction, link and mount point on the way
// resolved) is `path` itself, letters of any case: nothing on the way leads elsewhere.
bool HeldFolderIsPath(HANDLE folder, const char* path) {
  WCHAR expected[FOLDER_PATH_SIZE];
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, expected, FOLDER_PATH_SIZE) <= 0)
    return false;
  WCHAR final[FOLDER_PATH_SIZE + 8];
  const DWORD n = GetFinalPathNameByHandleW(folder, final, FOLDER_PATH_SIZE + 8,
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= FOLDER_PATH_SIZE + 8) return false;
  // "\\?\C:\..." for a drive path; "\\?\UNC\..." (a network path) never matches.
  const WCHAR* at = final;
  if (n >= 6 && final[0] == L'\\' && final[1] == L'\\' && final[2] == L'?' && final[3] == L'\\' &&
      final[5] == L':')
    at = final + 4;
  return CompareStringOrdinal(at, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

typedef LONG(NTAPI* NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                     PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// Creates the folder `path` with `descriptor` and opens it in the same step, without delete
// sharing, as the held folder: what is held is the folder this call made, never one that
// was there or was put there between a create and an open. Fails with the Win32 error (183
// when the name is taken).
Status CreateHeldFolder(const char* path, PSECURITY_DESCRIPTOR descriptor, HANDLE* handle,
                        FileIdentity* identity) {
  *handle = nullptr;
  std::memset(identity, 0, sizeof(*identity));
  NtCreateFileFn create;
  RtlNtStatusToDosErrorFn toDosError;
  if (!FindNtdllFunction("NtCreateFile", &create) ||
      !FindNtdllFunction("RtlNtStatusToDosError", &toDosError))
    return STATUS(ERROR_INVALID_FUNCTION);

  // The NT name of a drive path: "\\??\" and the path.
  WCHAR name[FOLDER_PATH_SIZE + 8] = L"\\??\\";
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, name + 4,
                                        FOLDER_PATH_SIZE);
  if (units <= 1) return STATUS(ERROR_NO_UNICODE_TRANSLATION);
  UNICODE_STRING objectName;
  objectName.Buffer = name;
  objectName.Length = static_cast<USHORT>((units - 1 + 4) * sizeof(WCHAR));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
  IO_STATUS_BLOCK io = {};
  HANDLE folder = nullptr;
  const ULONG kCreate = 0x00000002;             // FILE_CREATE: fails when the name exists
  const ULONG kDirectory = 0x00000001;          // FILE_DIRECTORY_FILE
  const ULONG kSynchronous = 0x00000020;        // FILE_SYNCHRONOUS_IO_NONALERT
  const ULONG kOpenReparsePoint = 0x00200000;   // FILE_OPEN_REPARSE_POINT
  const LONG status = create(&folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, kCreate,
                             kDirectory | kSynchronous | kOpenReparsePoint, nullptr, 0);
  if (status < 0) return STATUS(toDosError(status));
  const Status identified = ReadIdentity(folder, identity);
  if (!StatusOk(identified)) {
    CloseHandle(folder);
    RemoveDirectoryA(path);
    return identified;
  }
  *handle = folder;
  return STATUS(ERROR_SUCCESS);
}

// Makes the product-code folder below a chosen base: "<base>\\<code>", or when that name is
// taken "<base>\\<code>-2" and so on up to -99, each created new with `descriptor` and held.
// `folder` receives the path made (empty when none was). Fails with the error of the last try.
Status MakeFreshProductFolder(const char* base, const char* productCode,
                              PSECURITY_DESCRIPTOR descriptor, char* folder, ExtractionHold* hold) {
  Status made = STATUS(ERROR_ALREADY_EXISTS);
  for (int n = 1; n <= 99; ++n) {
    char name[FOLDER_PATH_SIZE];
    if (n == 1)
      std::snprintf(name, sizeof name, "%s", productCode);
    else
      std::snprintf(name, sizeof name, "%s-%d", productCode, n);
    std::snprintf(folder, FOLDER_PATH_SIZE, "%s", base);
    if (!AppendComponent(folder, FOLDER_PATH_SIZE, name)) {
      folder[0] = '\0';
      return STATUS(ERROR_FILENAME_EXCED_RANGE);
    }
    made = CreateHeldFolder(folder, descriptor, &hold->folder, &hold->folderIdentity);
    if (StatusOk(made)) return made;
    if (StatusCode(made) != ERROR_ALREADY_EXISTS && StatusCode(made) != ERROR_FILE_EXISTS) break;
  }
  folder[0] = '\0';
  return made;
}

// Sets up every file in the held `folder`; the first one that cannot be ends it with the
// cause (206 for a path that does not fit its buffer). With `reuse` (the Installer folder,
// which only administrators can write to) temporary files left by a run that did not finish
// are deleted first, and a file that is already there is used, and held, only when it is a
// plain file with exactly the planned digest and size; any other file under the name is an
// earlier release's, replaced only once the new one is verified. Every other file gets a
// temporary file, created new (see CreateStagingFile); nothing is written under a final name.
Status StageFiles(ExtractFile* files, int32_t fileCount, const char* folder, bool reuse) {
  if (reuse) ClearLeftoverStagingFiles(folder);
  for (int32_t i = 0; i < fileCount; ++i) {
    ExtractFile* file = &files[i];
    int n = std::snprintf(file->path, sizeof file->path, "%s\\%s", folder, file->plan.name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file->path)
      return STATUS(ERROR_FILENAME_EXCED_RANGE);
    // A folder this run has just made holds nothing to reuse.
    if (!reuse) continue;
    // Without a digest and a size in the manifest nothing on disk can be recognised:
    // replaced.
    if ((file->plan.flags & (FILE_HAS_DIGEST | FILE_HAS_SIZE)) != (FILE_HAS_DIGEST | FILE_HAS_SIZE)) {
      file->replaces = PathExists(file->path) ? 1 : 0;
      continue;
    }
    const Status held = OpenVerifiedFile(file->path, file->plan.digest,
                                         PlannedBytes(&file->plan), &file->held, &file->identity);
    if (StatusOk(held)) {
      file->state = FILE_REUSED;
      file->writtenBytes = PlannedBytes(&file->plan);
      std::memcpy(file->written, file->plan.digest, RECORD_DIGEST_SIZE);
      continue;
    }
    // Missing, or another file, replaced only once the new one is verified.
    if (StatusCode(held) == ERROR_FILE_CORRUPT)
      file->replaces = 1;
    else if (StatusCode(held) != ERROR_FILE_NOT_FOUND)
      return held;
  }
  for (int32_t i = 0; i < fileCount; ++i) {
    if (files[i].state == FILE_REUSED) continue;
    const Status staged = CreateStagingFile(&files[i], folder);
    if (!StatusOk(staged)) return staged;
  }
  return STATUS(ERROR_SUCCESS);
}

}  // namespace

Status PrepareExtractionFolder(ExtractFile* files, int32_t fileCount, const char* productCode,
                               const char* title, bool mayBrowse, char* folder,
                               ExtractionHold* hold) {
  std::memset(hold, 0, sizeof(*hold));

  // 1. The Installer folder of the system's Windows directory (on a terminal server
  // GetWindowsDirectory may name a folder of the user's own), which only administrators can
  // change: an existing product-code folder and identical files there are used.
  std::memset(folder, 0, FOLDER_PATH_SIZE);
  bool fits = true;
  UINT n = GetSystemWindowsDirectoryA(folder, FOLDER_PATH_SIZE);
  if (n == 0 || n >= FOLDER_PATH_SIZE) {
    folder[0] = '\0';
  } else {
    fits = AppendComponent(folder, FOLDER_PATH_SIZE, "Installer");
    // Made when missing (a fresh system may lack it); a run that fails removes it again
    // when it is empty.
    if (fits && !PathExists(folder) && CreateDirectoryA(folder, nullptr))
      std::snprintf(hold->createdInstallerFolder, sizeof hold->createdInstallerFolder, "%s",
                    folder);
  }
  if (fits) fits = AppendComponent(folder, FOLDER_PATH_SIZE, productCode);
  Status firstFailure = STATUS(ERROR_FILENAME_EXCED_RANGE);
  if (fits) {
    if (!PathExists(folder)) CreateDirectoryA(folder, nullptr);
    // A product-code folder that is a junction, a symbolic link or a mount point is never
    // used. Above it only administrators can change the path (some move the Installer folder
    // to another drive with a junction).
    firstFailure = OpenHeldFolder(folder, &hold->folder, &hold->folderIdentity);
    if (StatusOk(firstFailure))
      firstFailure = StageFiles(files, fileCount, folder, true);
    if (StatusOk(firstFailure)) return firstFailure;
  } else {
    folder[0] = '\0';
  }
  UndoAttempt(files, fileCount, folder, hold);
  // Nobody may be there to answer a dialog (a silent run from a deployment tool): the run
  // ends with the first attempt's cause.
  if (!mayBrowse) return firstFailure;

  // 2. Below a folder the user picks: only a product-code folder this run has just made,
  // with an access list of its own, on a local drive that keeps access lists.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  for (;;) {
    char base[FOLDER_PATH_SIZE];
    if (!BrowseForBaseFolder(title, base)) {
      if (descriptor) LocalFree(descriptor);
      return STATUS(ERROR_CANCELLED);
    }
    if (!VolumeKeepsAccessLists(base)) {
      WarnAboutChoice("The folder %s is not on a local NTFS drive. The installation files "
                      "are kept there for repairs and must be protected from changes. Choose a "
                      "folder on a local NTFS drive.", base);
      continue;
    }
    // Without the access list the folder would take its parent's, which the user can change.
    if (!descriptor && !StatusOk(MakeProtectedFolderDescriptor(&descriptor))) {
      descriptor = nullptr;
      WarnAboutChoice("The access rights for a folder below %s could not be set up. Choose "
                      "another folder.", base);
      continue;
    }
    if (!StatusOk(MakeFreshProductFolder(base, productCode, descriptor, folder, hold))) {
      WarnAboutChoice("No folder could be created in %s. Choose another folder.", base);
      UndoAttempt(files, fileCount, folder, hold);
      continue;
    }
    if (!HeldFolderIsPath(hold->folder, folder)) {
      WarnAboutChoice("The folder %s is reached through a junction, a symbolic link or a "
                      "mount point. Choose a folder on its own path.", base);
      UndoAttempt(files, fileCount, folder, hold);
      continue;
    }
    if (StatusOk(StageFiles(files, fileCount, folder, false))) {
      LocalFree(descriptor);
      return STATUS(ERROR_SUCCESS);
    }
    UndoAttempt(files, fileCount, folder, hold);
  }
}

Status MakeProtectedFolderDescriptor(PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return STATUS_FROM_LAST_ERROR(ERROR_ACCESS_DENIED);
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  LPSTR sid = nullptr;
  Status made = STATUS(ERROR_SUCCESS);
  if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &length) ||
      !ConvertSidToStringSidA(info.user.User.Sid, &sid)) {
    made = STATUS_FROM_LAST_ERROR(ERROR_INVALID_SID);
  } else {
    // Protected (nothing inherited): full control for SYSTEM and the Administrators, read and
    // execute for the user running the setup, passed on to everything created inside. The
    // user's own unelevated programs cannot change what Windows Installer keeps as the
    // product's source.
    char sddl[256];
    int n = std::snprintf(sddl, sizeof sddl,
                          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;%s)", sid);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof sddl)
      made = STATUS(ERROR_INVALID_SID);
    else if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                   descriptor, nullptr))
      made = STATUS_FROM_LAST_ERROR(ERROR_INVALID_SECURITY_DESCR);
    LocalFree(sid);
  }
  CloseHandle(token);
  if (!StatusOk(made)) *descriptor = nullptr;
  return made;
}

bool PathExists(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

void GetBrowseStartFolder(char* buffer, uint32_t size) {
  if (!buffer || size == 0) return;
  char local[FOLDER_PATH_SIZE];
  std::memset(local, 0, sizeof local);
  if (!CallSHGetSpecialFolderPath(nullptr, local, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, TRUE)) {
    local[0] = '\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kUserShellFolders, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD type = 0;
      DWORD bytes = sizeof local - 1;
      LONG rc = RegQueryValueExA(key, "Personal", nullptr, &type, reinterpret_cast<BYTE*>(local),
                                 &bytes);
      // Registry strings need not be terminated; anything but a read string leaves it empty.
      if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        local[0] = '\0';
      else
        local[bytes < sizeof local ? bytes : sizeof local - 1] = '\0';
      RegCloseKey(key);
    }
  }
  local[sizeof local - 1] = '\0';
  if (!local[0]) {
    DWORD n = GetCurrentDirectoryA(sizeof local, local);
    if (n == 0 || n >= sizeof local) local[0] = '\0';
  }
  std::memset(buffer, 0, size);
  DWORD n = ExpandEnvironmentStringsA(local, buffer, size);
  if (n == 0 || n > size) std::memset(buffer, 0, size);
  buffer[size - 1] = '\0';
  if (PathExists(buffer)) return;
  // Create every component, C:, C:\A, C:\A\B ..., stepping by characters.
  char prefix[FOLDER_PATH_SIZE];
  const char* p = buffer;
  for (;;) {
    if (*p == '\0' || *p == '\\') {
      size_t len = static_cast<size_t>(p - buffer);
      if (len > 0 && len < sizeof prefix) {
        std::memcpy(prefix, buffer, len);
        prefix[len] = '\0';
        CreateDirectoryA(prefix, nullptr);
      }
      if (*p == '\0') break;
    }
    const char* next = CharNextA(p);
    if (next == p) break;
    p = next;
  }
}

BOOL CallSHGetSpecialFolderPath(HWND owner, LPSTR path, int folderId, BOOL create) {
  HMODULE shell = GetModuleHandleA("Shell32.dll");
  // Loaded only from the system folder, never from the application's or current folder.
  if (!shell) shell = LoadLibraryExA("Shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!shell) return FALSE;
  SetErrorMode(SEM_NOOPENFILEERRORBOX);
  typedef BOOL(WINAPI * GetPathFn)(HWND, LPSTR, int, BOOL);
  FARPROC proc = GetProcAddress(shell, "SHGetSpecialFolderPathA");
  if (!proc) return FALSE;
  GetPathFn fn;
  static_assert(sizeof fn == sizeof proc, "function pointer sizes");
  std::memcpy(&fn, &proc, sizeof fn);
  return fn(owner, path, folderId, create);
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM param, LPARAM data) {
  (void)param;
  if (message == BFFM_INITIALIZED) SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
  return 0;
}
