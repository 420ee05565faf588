// Extraction folder: the product-code folder, the output files, the undo and the browse
// dialog (see folder.h).
#include "extract/folder.h"

#include <cstdio>
#include <cstring>

#include <objbase.h>
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

// Closes and deletes the files this attempt created, clears every item's file, written and
// path, and removes the extraction folder when it is empty.
void UndoAttempt(ExtractItem* items, int32_t itemCount, const char* folder) {
  for (int32_t i = 0; i < itemCount; ++i) {
    ExtractItem* item = &items[i];
    if (item->file) {
      CloseHandle(item->file);
      if (PathExists(item->path)) DeleteFileA(item->path);
    }
    item->file = nullptr;
    item->written = 0;
    std::memset(item->path, 0, sizeof item->path);
  }
  if (PathExists(folder)) RemoveDirectoryA(folder);
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

// Creates every item's output file in `folder`; false at the first one that cannot be
// created (a path that does not fit its buffer counts as such).
bool CreateOutputFiles(ExtractItem* items, int32_t itemCount, const char* folder) {
  for (int32_t i = 0; i < itemCount; ++i) {
    ExtractItem* item = &items[i];
    int n = std::snprintf(item->path, sizeof item->path, "%s\\%s", folder, item->name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof item->path) {
      item->file = nullptr;
      return false;
    }
    if (PathExists(item->path)) continue;  // left alone, file stays null
    HANDLE file = CreateFileA(item->path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      item->file = nullptr;
      return false;
    }
    item->file = file;
  }
  return true;
}

}  // namespace

Status PrepareExtractionFolder(ExtractItem* items, int32_t itemCount, const char* productCode,
                               const char* title, char* folder, uint32_t* suppress) {
  bool firstAttempt = true;
  for (;;) {
    bool fits = true;
    if (firstAttempt) {
      std::memset(folder, 0, FOLDER_PATH_SIZE);
      UINT n = GetWindowsDirectoryA(folder, FOLDER_PATH_SIZE);
      if (n == 0 || n >= FOLDER_PATH_SIZE) {
        folder[0] = '\0';
      } else {
        fits = AppendComponent(folder, FOLDER_PATH_SIZE, "Installer");
        if (fits && !PathExists(folder)) CreateDirectoryA(folder, nullptr);
      }
      firstAttempt = false;
    } else if (!BrowseForBaseFolder(title, folder)) {
      if (suppress) *suppress = 1;
      return STATUS(ERROR_CANCELLED);
    }
    if (fits) fits = AppendComponent(folder, FOLDER_PATH_SIZE, productCode);
    if (!fits) {
      // Nothing was created for this base folder; keep no half-built path for clean-up.
      folder[0] = '\0';
      UndoAttempt(items, itemCount, folder);
      continue;
    }
    if (!PathExists(folder)) CreateDirectoryA(folder, nullptr);
    if (CreateOutputFiles(items, itemCount, folder)) return STATUS(ERROR_SUCCESS);
    UndoAttempt(items, itemCount, folder);
  }
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
  if (!CallSHGetSpecialFolderPath(nullptr, local, 0x8005, TRUE)) {
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
