// The run log: what the stub did, for support, when the user asks for it.
//
// RunLogOpen reads the environment variable MSISTUB_LOG; when it names a file, that file is
// opened for appending only (created when missing; shared for reading, writing and deleting,
// so several runs may append at once and the open log blocks no one) and must be a disk file
// other than the stub's own executable: a console, pipe or device is closed again, since a
// write there could block the run, and so is the setup itself, whose payload lines appended
// to it would destroy. The path is used for nothing else. Without the
// variable, or when the file cannot be opened, the log is closed and every call is a no-op.
// RunLogLine appends one line: "<local time> [<process id>] <step>: <printf text>" with CRLF,
// in UTF-8 (the text is formatted in the ANSI code page and converted), in one write, cut to
// RUN_LOG_LINE_SIZE bytes. RunLogWide appends "<step>: <prefix><UTF-16 text>" the same way.
// None of them reports a failure or changes the thread's last-error code: logging never
// changes what the run does. RunLogClose closes the file (the log is closed afterwards).
#pragma once
#include <cstdint>

#include "common/winseam.h"

enum : uint32_t { RUN_LOG_LINE_SIZE = 4096, RUN_LOG_PATH_SIZE = 1024 };

struct RunLog {
  HANDLE file;  // null: closed, nothing is written
};

void RunLogOpen(RunLog* log);
bool RunLogEnabled(const RunLog* log);
void RunLogLine(RunLog* log, const char* step, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void RunLogWide(RunLog* log, const char* step, const char* prefix, const WCHAR* text);
void RunLogClose(RunLog* log);
