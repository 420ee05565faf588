// The final report.
//
// IsQuietCommandLine is true when an argument after the program (index 1 on) is "/q", "/qn"
// or "/quiet", comparing wide characters with only A-Z folded onto a-z. ReportCaption gives
// the box's caption: the own path's part after its last backslash (found character by
// character with CharNextA, so a trail byte is never taken for one), the whole path without
// a backslash, or "Loader" without a path; the result points into `ownPath` or a literal.
// The one place that decides what a failure shows. A failing step records in a RunFailure
// how it is to be reported (REPORT_*) and, where the message names one, a detail (a path);
// it never writes message texts. BuildFinalReport decides whether a box is due: not for code
// 0, a quiet switch on the command line, or a failure the user has already seen or chose
// (REPORT_NO_BOX). When one is due it writes the text into `text` (MESSAGE_TEXT_SIZE bytes):
// string 101 or 100, the command line's own message, the system text for the code naming
// the detail, or (REPORT_CONTEXT, where no step said more) the system text with the context
// "1, <code>, <place>", the place being "<file>:<line>" for a file of Status's table and
// the raw place number otherwise. ShowFinalReport shows the box, if due, with
// MessageBoxA(NULL, text, caption, MB_ICONERROR).
#pragma once
#include <cstdint>

#include "common/status.h"

enum : uint32_t {
  MESSAGE_TEXT_SIZE = 2048,
  REPORT_CONTEXT_SIZE = 96,
  REPORT_DETAIL_SIZE = 1024,
  STRING_INSTALLER_REQUIRED_SIZE = 512,
  STRING_SIZE = 256,
};

// The stub's string resources 100 to 102; a string that did not load is empty. (String 103
// stays in the table; no step shows it.)
struct StubStrings {
  char installerRequired[STRING_INSTALLER_REQUIRED_SIZE];  // 100
  char corruptedOrUnsupported[STRING_SIZE];                // 101
  char browseTitle[STRING_SIZE];                           // 102
};

enum : uint32_t {
  REPORT_CONTEXT = 0,         // the system text for the code with the context
  REPORT_SYSTEM_TEXT,         // the system text for the code, naming the detail if any
  REPORT_CORRUPTED,           // string 101
  REPORT_INSTALLER_REQUIRED,  // string 100
  REPORT_COMMAND_LINE,        // why the installer's command line could not be built
  REPORT_NO_BOX,              // seen already (the installer's or a retry box) or chosen
};

struct RunFailure {
  uint32_t report;                 // REPORT_*
  char detail[REPORT_DETAIL_SIZE];  // what the message names, or empty
};

// Records how a failure is reported; `detail` may be null.
void SetRunFailure(RunFailure* failure, uint32_t report, const char* detail);

bool IsQuietCommandLine(WCHAR** args, int32_t argCount);
const char* ReportCaption(const char* ownPath);
bool BuildFinalReport(Status status, const RunFailure* failure, const StubStrings* strings,
                      WCHAR** args, int32_t argCount, char* text);
#ifdef _WIN32
void ShowFinalReport(Status status, const RunFailure* failure, const StubStrings* strings,
                     WCHAR** args, int32_t argCount, const char* ownPath);
#endif
