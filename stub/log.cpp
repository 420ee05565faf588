// The run log (see log.h).
#include "stub/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
const WCHAR kVariable[] = L"MSISTUB_LOG";

// "<time> [<pid>] <step>: " into `line`; its length.
int LinePrefix(char* line, int size, const char* step) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  int n = std::snprintf(line, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] %s: ", now.wYear,
                        now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                        now.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()),
                        step);
  return n < 0 ? 0 : (n > size - 3 ? size - 3 : n);  // room for CRLF and a NUL stays
}

// Appends `text` (UTF-16, `length` units) as UTF-8 behind line[used..], keeping room for
// CRLF, with control characters (U+0000-U+001F, U+007F) written as \xNN: a name or an
// argument cannot start a line of its own. Stops at the first character that does not fit.
// The new length.
int AppendText(char* line, int used, int size, const WCHAR* text, int length) {
  for (int i = 0; i < length; ++i) {
    const int room = size - used - 2;
    const WCHAR c = text[i];
    if (c < 0x20 || c == 0x7F) {
      if (room <= 4) break;
      std::snprintf(line + used, 5, "\\x%02X", static_cast<unsigned>(c));
      used += 4;
      continue;
    }
    // A surrogate pair converts as one character.
    const int units = (c >= 0xD800 && c < 0xDC00 && i + 1 < length) ? 2 : 1;
    const int n = room > 0 ? WideCharToMultiByte(CP_UTF8, 0, text + i, units, line + used, room,
                                                 nullptr, nullptr)
                           : 0;
    if (n <= 0) break;
    used += n;
    i += units - 1;
  }
  return used;
}

// True when `file` is the stub's own executable (same volume and file index): appending to
// it would damage the setup's payload.
bool IsOwnExecutable(HANDLE file) {
  WCHAR own[RUN_LOG_PATH_SIZE];
  const DWORD n = GetModuleFileNameW(nullptr, own, RUN_LOG_PATH_SIZE);
  if (n == 0 || n >= RUN_LOG_PATH_SIZE) return true;  // cannot tell: no log
  HANDLE self = CreateFileW(own, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (self == INVALID_HANDLE_VALUE) return true;
  BY_HANDLE_FILE_INFORMATION a, b;
  const bool same = !GetFileInformationByHandle(file, &a) ||
                    !GetFileInformationByHandle(self, &b) ||
                    (a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                     a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow);
  CloseHandle(self);
  return same;
}

void WriteLine(RunLog* log, char* line, int used) {
  line[used++] = '\r';
  line[used++] = '\n';
  DWORD written = 0;
  WriteFile(log->file, line, static_cast<DWORD>(used), &written, nullptr);
}
}  // namespace

void RunLogOpen(RunLog* log) {
  log->file = nullptr;
  const DWORD lastError = GetLastError();
  WCHAR path[RUN_LOG_PATH_SIZE];
  DWORD n = GetEnvironmentVariableW(kVariable, path, RUN_LOG_PATH_SIZE);
  if (n > 0 && n < RUN_LOG_PATH_SIZE) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file, and
    // nothing already in it can be overwritten. Full sharing: the open log stops no one.
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      if (GetFileType(file) == FILE_TYPE_DISK && !IsOwnExecutable(file))
        log->file = file;
      else
        CloseHandle(file);
    }
  }
  SetLastError(lastError);
}

bool RunLogEnabled(const RunLog* log) { return log && log->file; }

void RunLogLine(RunLog* log, const char* step, const char* format, ...) {
  if (!RunLogEnabled(log)) return;
  const DWORD lastError = GetLastError();
  char ansi[RUN_LOG_LINE_SIZE];
  WCHAR wide[RUN_LOG_LINE_SIZE];
  char line[RUN_LOG_LINE_SIZE];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(ansi, sizeof ansi, format, args);
  va_end(args);
  if (n >= 0) {
    // Paths and names are in the ANSI code page; the log is UTF-8 throughout.
    int w = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, RUN_LOG_LINE_SIZE);
    int used = LinePrefix(line, sizeof line, step);
    used = AppendText(line, used, sizeof line, wide, w > 0 ? w - 1 : 0);
    WriteLine(log, line, used);
  }
  SetLastError(lastError);
}

void RunLogWide(RunLog* log, const char* step, const char* prefix, const WCHAR* text) {
  if (!RunLogEnabled(log)) return;
  const DWORD lastError = GetLastError();
  char line[RUN_LOG_LINE_SIZE];
  int used = LinePrefix(line, sizeof line, step);
  const int room = static_cast<int>(sizeof line) - used - 2;
  const int p = std::snprintf(line + used, room, "%s", prefix);
  if (p > 0) used += p < room ? p : room - 1;
  used = AppendText(line, used, sizeof line, text, text ? lstrlenW(text) : 0);
  WriteLine(log, line, used);
  SetLastError(lastError);
}

void RunLogClose(RunLog* log) {
  if (log->file) CloseHandle(log->file);
  log->file = nullptr;
}
