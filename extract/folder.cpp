// Extraction folder: the product-code folder, the output files, the undo and the browse
// dialog (see folder.h).
#include "extract/folder.h"

#include <cstdio>
#include <cstring>

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

namespace {

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

// Undoes an attempt: the files it created are deleted through their own handles, files that
// were there before are released and stay; every item's file, written and path and every
// held identity are cleared, and the extraction folder is removed when it is empty.
void UndoAttempt(ExtractItem* items, int32_t itemCount, const char* folder, ExtractionHold* hold) {
  for (int32_t i = 0; i < itemCount; ++i) {
    ExtractItem* item = &items[i];
    if (item->file) {
      FILE_DISPOSITION_INFO disposition;
      disposition.DeleteFile = TRUE;
      SetFileInformationByHandle(item->file, FileDispositionInfo, &disposition,
                                 sizeof disposition);
      CloseHandle(item->file);
    }
    item->file = nullptr;
    item->written = 0;
    std::memset(item->path, 0, sizeof item->path);
  }
  ReleaseExtractionHold(hold);
  if (folder[0]) RemoveHeldFolder(folder, &hold->folderIdentity);
  std::memset(&hold->folderIdentity, 0, sizeof hold->folderIdentity);
  if (hold->files) std::memset(hold->files, 0, sizeof(HeldFile) * static_cast<size_t>(hold->count));
}

// Shows the browse dialog until the user picks a folder with a file-system path (true, the
// path without trailing backslashes in `folder`) or cancels (false).
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
    chosen[0] = '\0';
    BOOL havePath = SHGetPathFromIDListA(list, chosen);
    if (shellMalloc) {
      shellMalloc->Free(list);
      shellMalloc->Release();
    } else {
      CoTaskMemFree(list);
    }
    // An item without a file-system path (a virtual folder) cannot hold files: ask again.
    if (!havePath || !chosen[0]) continue;
    TrimTrailingBackslashes(chosen);
    std::snprintf(folder, FOLDER_PATH_SIZE, "%s", chosen);
    return true;
  }
}

// Sets up every item's output file in the held `folder`; false at the first one that cannot
// be (a path that does not fit its buffer counts as such). A file that is already there is
// used, and held, only when it is a plain file with exactly the item's bytes; otherwise it is
// replaced when `replaceStale` is set (the Installer folder, which only administrators can
// write to: an earlier release's file) and fails the attempt when it is not (a folder the
// user chose, where anyone may have put it). Every item is looked at before anything is
// replaced, so an attempt that fails on a later item has deleted nothing. New files are
// created, never opened through an existing name, with write and delete access and read
// sharing only.
bool CreateOutputFiles(ExtractItem* items, int32_t itemCount, const char* folder,
                       bool replaceStale, ExtractionHold* hold) {
  for (int32_t i = 0; i < itemCount; ++i) {
    ExtractItem* item = &items[i];
    item->file = nullptr;
    int n = std::snprintf(item->path, sizeof item->path, "%s\\%s", folder, item->content->name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof item->path) return false;
    bool mismatch = false;
    if (OpenHeldFile(item->path, item->content->data, item->content->size, &hold->files[i], &mismatch)) continue;
    if (mismatch ? !replaceStale : GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  for (int32_t i = 0; i < itemCount; ++i) {
    ExtractItem* item = &items[i];
    HeldFile* held = &hold->files[i];
    if (held->handle) continue;  // there already with the right bytes: not written again
    HANDLE file = CreateFileA(item->path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    // A stale file: DeleteFileA removes a link itself, never what it points to.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && replaceStale &&
        DeleteFileA(item->path))
      file = CreateFileA(item->path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    item->file = file;
    if (!ReadIdentity(file, &held->identity)) return false;
  }
  return true;
}

}  // namespace

Status PrepareExtractionFolder(ExtractItem* items, int32_t itemCount, const char* productCode,
                               const char* title, char* folder, uint32_t* suppress,
                               ExtractionHold* hold) {
  std::memset(hold, 0, sizeof(*hold));
  if (itemCount > 0) {
    hold->files = static_cast<HeldFile*>(
        LocalAlloc(LPTR, sizeof(HeldFile) * static_cast<size_t>(itemCount)));
    if (!hold->files) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    hold->count = itemCount;
  }
  // A folder made below a base the user chose gets an access list of its own; without one
  // (where the platform cannot build it) it inherits its parent's.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES protectedFolder = {sizeof protectedFolder, nullptr, FALSE};
  bool firstAttempt = true;
  for (;;) {
    bool fits = true;
    const bool inWindows = firstAttempt;
    if (firstAttempt) {
      std::memset(folder, 0, FOLDER_PATH_SIZE);
      // The system's Windows directory: on a terminal server GetWindowsDirectory may name a
      // folder of the user's own.
      UINT n = GetSystemWindowsDirectoryA(folder, FOLDER_PATH_SIZE);
      if (n == 0 || n >= FOLDER_PATH_SIZE) {
        folder[0] = '\0';
      } else {
        fits = AppendComponent(folder, FOLDER_PATH_SIZE, "Installer");
        if (fits && !PathExists(folder)) CreateDirectoryA(folder, nullptr);
      }
      firstAttempt = false;
    } else if (!BrowseForBaseFolder(title, folder)) {
      if (suppress) *suppress = 1;
      if (descriptor) LocalFree(descriptor);
      return STATUS(ERROR_CANCELLED);
    }
    if (fits) fits = AppendComponent(folder, FOLDER_PATH_SIZE, productCode);
    if (!fits) {
      // Nothing was created for this base folder; keep no half-built path for clean-up.
      folder[0] = '\0';
      UndoAttempt(items, itemCount, folder, hold);
      continue;
    }
    if (!PathExists(folder)) {
      if (!inWindows && !descriptor && MakeProtectedFolderDescriptor(&descriptor))
        protectedFolder.lpSecurityDescriptor = descriptor;
      CreateDirectoryA(folder, inWindows ? nullptr : &protectedFolder);
    }
    // A folder that is a junction, a symbolic link or a mount point is never used.
    if (OpenHeldFolder(folder, &hold->folder, &hold->folderIdentity) &&
        CreateOutputFiles(items, itemCount, folder, inWindows, hold)) {
      if (descriptor) LocalFree(descriptor);
      return STATUS(ERROR_SUCCESS);
    }
    UndoAttempt(items, itemCount, folder, hold);
  }
}

bool MakeProtectedFolderDescriptor(PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  LPSTR sid = nullptr;
  bool made = false;
  if (GetTokenInformation(token, TokenUser, &info, sizeof info, &length) &&
      ConvertSidToStringSidA(info.user.User.Sid, &sid)) {
    // Protected (nothing inherited): full control for SYSTEM, the Administrators and the
    // user running the setup, passed on to everything created inside.
    char sddl[256];
    int n = std::snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)",
                          sid);
    made = n > 0 && static_cast<size_t>(n) < sizeof sddl &&
           ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                descriptor, nullptr);
    LocalFree(sid);
  }
  CloseHandle(token);
  if (!made) *descriptor = nullptr;
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
