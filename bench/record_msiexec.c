/* A recording stand-in for msiexec.exe (benchmarks only): appends "<unix time> <command line>"
   to the file named by MSISTUB_BENCH_RECORD, waits MSISTUB_BENCH_HOLD_MS milliseconds (so the
   caller's peak memory can be read while it waits), and exits 0. The time is the wall clock
   (GetSystemTimePreciseAsFileTime), which Wine takes from the host's, so the harness can
   compare it with its own. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  ULONGLONG ticks = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
  double unixSeconds = (double)(ticks - 116444736000000000ULL) / 1e7;
  const char* record = getenv("MSISTUB_BENCH_RECORD");
  if (record) {
    FILE* f = fopen(record, "ab");
    if (f) {
      fprintf(f, "%.6f %ls\n", unixSeconds, GetCommandLineW());
      fclose(f);
    }
  }
  const char* hold = getenv("MSISTUB_BENCH_HOLD_MS");
  if (hold) Sleep((DWORD)atoi(hold));
  return 0;
}
