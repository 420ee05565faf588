/* A stand-in for msiexec.exe in the reliability tests' Wine prefix (loaded only with the
 * override msiexec.exe=n). It appends to the log named by RELIABILITY_FAKE_LOG: its process
 * id, whether the package after "/i" exists, and the size of that package; then its whole
 * command line as UTF-8 ("cmdline=..."). With RELIABILITY_FAKE_COPY set to a folder it copies
 * every file of the package's folder there first, as the installer would read them. With
 * RELIABILITY_FAKE_PROBE set it tries, for every file of the package's folder, what another
 * process might: open it for writing, open it for deletion, rename it, read it whole; and it
 * tries to rename the folder. Each file gives a line "probe NAME write=... delete=...
 * rename=... read=..." and the folder "probe-folder rename=...", each result "denied",
 * "allowed" (put back at once) or, for reading, "ok"/"failed". Then it does what
 * RELIABILITY_FAKE_ACTION says, after registering the product (an Uninstall key named after
 * the package's folder, with an UninstallString) when RELIABILITY_FAKE_REGISTER is set:
 *   exit:<code>  ends with that exit code
 *   crash        writes through a null pointer (unhandled access violation)
 *   wait         sleeps until it is killed from outside
 * Started as "fake_msiexec.exe --kill PID CODE" it is the outside: it ends process PID with
 * TerminateProcess and exit code CODE, as the task manager or taskkill /f do on Windows.
 * Started as "fake_msiexec.exe --lock FILE" it holds FILE open for deletion with read and
 * write sharing only, as a program about to move or delete it would: a program can still
 * start from FILE, but nothing can open it without delete sharing. It says "locked" and
 * waits until it is killed. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static void Log(const char* text) {
  char path[MAX_PATH];
  if (!GetEnvironmentVariableA("RELIABILITY_FAKE_LOG", path, sizeof path)) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fputs(text, f);
  fclose(f);
}

static void LogWide(const char* prefix, const wchar_t* text) {
  static char utf8[8192];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
  if (n <= 0) strcpy(utf8, "<unconvertible>");
  Log(prefix);
  Log(utf8);
  Log("\n");
}

static int Kill(const char* pid, const char* code) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, strtoul(pid, NULL, 10));
  if (!process) return 1;
  BOOL ok = TerminateProcess(process, strtoul(code, NULL, 10));
  CloseHandle(process);
  return ok ? 0 : 1;
}

static const char* Tried(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return "denied";
  CloseHandle(h);
  return "allowed";
}

static const char* TryRename(const wchar_t* path) {
  wchar_t moved[MAX_PATH];
  _snwprintf(moved, MAX_PATH, L"%ls.moved", path);
  moved[MAX_PATH - 1] = 0;
  if (!MoveFileW(path, moved)) return "denied";
  MoveFileW(moved, path);
  return "allowed";
}

static const char* TryRead(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return "failed";
  static char buffer[1 << 16];
  DWORD n = 0;
  BOOL ok;
  while ((ok = ReadFile(h, buffer, sizeof buffer, &n, NULL)) && n > 0) {
  }
  CloseHandle(h);
  return ok ? "ok" : "failed";
}

/* Calls `each` for every file of `folder` (names without the folder). */
static void ForEachFile(const wchar_t* folder, void (*each)(const wchar_t*, const wchar_t*)) {
  wchar_t pattern[MAX_PATH];
  _snwprintf(pattern, MAX_PATH, L"%ls\\*", folder);
  pattern[MAX_PATH - 1] = 0;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) each(folder, found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

static void CopyOne(const wchar_t* folder, const wchar_t* name) {
  wchar_t to[MAX_PATH], from[MAX_PATH], target[MAX_PATH];
  if (!GetEnvironmentVariableW(L"RELIABILITY_FAKE_COPY", to, MAX_PATH)) return;
  _snwprintf(from, MAX_PATH, L"%ls\\%ls", folder, name);
  _snwprintf(target, MAX_PATH, L"%ls\\%ls", to, name);
  from[MAX_PATH - 1] = target[MAX_PATH - 1] = 0;
  if (!CopyFileW(from, target, FALSE)) LogWide("copy failed: ", from);
}

static void ProbeOne(const wchar_t* folder, const wchar_t* name) {
  wchar_t path[MAX_PATH];
  char line[1024];
  _snwprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
  path[MAX_PATH - 1] = 0;
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const char* write = Tried(CreateFileW(path, GENERIC_WRITE, all, NULL, OPEN_EXISTING, 0, NULL));
  const char* del = Tried(CreateFileW(path, DELETE, all, NULL, OPEN_EXISTING, 0, NULL));
  const char* rename = TryRename(path);
  const char* read = TryRead(path);
  char utf8[MAX_PATH * 3];
  WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, NULL, NULL);
  snprintf(line, sizeof line, "probe %s write=%s delete=%s rename=%s read=%s\n", utf8, write, del,
           rename, read);
  Log(line);
}

static int Lock(const char* path) {
  HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    printf("lock failed: %lu\n", GetLastError());
    return 1;
  }
  printf("locked\n");
  fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

static void Register(const wchar_t* folder) {
  const wchar_t* code = wcsrchr(folder, L'\\');
  if (!code) return;
  wchar_t key[512];
  _snwprintf(key, 512, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%ls", code + 1);
  key[511] = 0;
  HKEY handle;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_WRITE | KEY_WOW64_64KEY, NULL,
                      &handle, NULL) != ERROR_SUCCESS) {
    Log("register failed\n");
    return;
  }
  const wchar_t value[] = L"MsiExec.exe /X";
  RegSetValueExW(handle, L"UninstallString", 0, REG_SZ, (const BYTE*)value, sizeof value);
  RegCloseKey(handle);
  Log("registered\n");
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--kill") == 0) return Kill(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "--lock") == 0) return Lock(argv[2]);
  char action[64] = "exit:0", line[2048];
  GetEnvironmentVariableA("RELIABILITY_FAKE_ACTION", action, sizeof action);

  /* The package: the argument after " /i ", quoted or not. */
  wchar_t package[MAX_PATH] = L"";
  const wchar_t* cmd = GetCommandLineW();
  const wchar_t* at = wcsstr(cmd, L" /i ");
  if (at) {
    at += 4;
    wchar_t end = L' ';
    if (*at == L'"') { ++at; end = L'"'; }
    size_t n = 0;
    while (at[n] && at[n] != end && n + 1 < MAX_PATH) ++n;
    memcpy(package, at, n * sizeof(wchar_t));
    package[n] = 0;
  }
  WIN32_FILE_ATTRIBUTE_DATA info;
  int present = package[0] && GetFileAttributesExW(package, GetFileExInfoStandard, &info);
  snprintf(line, sizeof line, "pid=%lu action=%s package=%s size=%lu\n", GetCurrentProcessId(),
           action, present ? "present" : "missing", present ? info.nFileSizeLow : 0ul);
  Log(line);
  LogWide("cmdline=", cmd);

  wchar_t folder[MAX_PATH];
  wcscpy(folder, package);
  wchar_t* slash = wcsrchr(folder, L'\\');
  if (present && slash) {
    *slash = 0;
    ForEachFile(folder, CopyOne);
    if (GetEnvironmentVariableA("RELIABILITY_FAKE_PROBE", NULL, 0)) {
      ForEachFile(folder, ProbeOne);
      snprintf(line, sizeof line, "probe-folder rename=%s\n", TryRename(folder));
      Log(line);
    }
    if (GetEnvironmentVariableA("RELIABILITY_FAKE_REGISTER", NULL, 0)) Register(folder);
  }

  if (strncmp(action, "exit:", 5) == 0) return (int)strtoul(action + 5, NULL, 10);
  if (strcmp(action, "crash") == 0) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    *(volatile int*)0 = 1;
  }
  if (strcmp(action, "wait") == 0) Sleep(INFINITE);
  return 3;
}
