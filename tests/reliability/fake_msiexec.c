/* A stand-in for msiexec.exe in the reliability tests' Wine prefix (loaded only with the
 * override msiexec.exe=n). It appends a line to the log named by RELIABILITY_FAKE_LOG: its
 * process id, whether the package after "/i" exists, and the size of that package. Then it
 * does what RELIABILITY_FAKE_ACTION says:
 *   exit:<code>  ends with that exit code
 *   crash        writes through a null pointer (unhandled access violation)
 *   wait         sleeps until it is killed from outside
 * Started as "fake_msiexec.exe --kill PID CODE" it is the outside: it ends process PID with
 * TerminateProcess and exit code CODE, as the task manager or taskkill /f do on Windows. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void Log(const char* text) {
  char path[MAX_PATH];
  if (!GetEnvironmentVariableA("RELIABILITY_FAKE_LOG", path, sizeof path)) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fputs(text, f);
  fclose(f);
}

static int Kill(const char* pid, const char* code) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, strtoul(pid, NULL, 10));
  if (!process) return 1;
  BOOL ok = TerminateProcess(process, strtoul(code, NULL, 10));
  CloseHandle(process);
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--kill") == 0) return Kill(argv[2], argv[3]);
  char action[64] = "exit:0", line[2048];
  GetEnvironmentVariableA("RELIABILITY_FAKE_ACTION", action, sizeof action);

  /* The package: the argument after " /i ", quoted or not. */
  char package[MAX_PATH] = "";
  const char* cmd = GetCommandLineA();
  const char* at = strstr(cmd, " /i ");
  if (at) {
    at += 4;
    char end = ' ';
    if (*at == '"') { ++at; end = '"'; }
    size_t n = 0;
    while (at[n] && at[n] != end && n + 1 < sizeof package) ++n;
    memcpy(package, at, n);
    package[n] = 0;
  }
  WIN32_FILE_ATTRIBUTE_DATA info;
  int present = package[0] && GetFileAttributesExA(package, GetFileExInfoStandard, &info);
  snprintf(line, sizeof line, "pid=%lu action=%s package=%s size=%lu\n", GetCurrentProcessId(),
           action, present ? "present" : "missing", present ? info.nFileSizeLow : 0ul);
  Log(line);

  if (strncmp(action, "exit:", 5) == 0) return (int)strtoul(action + 5, NULL, 10);
  if (strcmp(action, "crash") == 0) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    *(volatile int*)0 = 1;
  }
  if (strcmp(action, "wait") == 0) Sleep(INFINITE);
  return 3;
}
