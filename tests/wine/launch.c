/* launch.exe: runs a command line under Wine, waits for it and prints its full exit code.
 *
 *   launch.exe <program> [args...]   ->  prints "exit=<code>" on stdout, exits 0
 *
 * Wine hands exit codes to Linux cut to 8 bits; this reads them with GetExitCodeProcess.
 * The child's command line is the launcher's own tail, passed on unchanged. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(void) {
  const wchar_t* line = GetCommandLineW();
  /* Skip our own program name (quoted or not) and the blanks behind it. */
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  if (!*line) {
    fprintf(stderr, "usage: launch.exe program [args...]\n");
    return 2;
  }
  size_t n = wcslen(line) + 1;
  wchar_t* copy = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, n * sizeof(wchar_t));
  if (!copy) return 3;
  memcpy(copy, line, n * sizeof(wchar_t));
  STARTUPINFOW si;
  PROCESS_INFORMATION pi;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (!CreateProcessW(NULL, copy, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    fprintf(stderr, "launch: CreateProcess failed: %lu\n", GetLastError());
    printf("exit=start-failed\n");
    return 4;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  printf("exit=%lu\n", (unsigned long)code);
  fflush(stdout);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}
