// The final report.
//
// IsQuietCommandLine is true when an argument after the program (index 1 on) is "/q", "/qn"
// or "/quiet", comparing wide characters with only A-Z folded onto a-z. ReportCaption gives
// the box's caption: the own path's part after its last backslash (found character by
// character with CharNextA, so a trail byte is never taken for one), the whole path without
// a backslash, or "Loader" without a path; the result points into `ownPath` or a literal.
// BuildFinalReport runs the quiet scan (setting *suppress) and decides whether a box is due:
// not for code 0 or a set suppress flag. When one is due and `messageText` (MESSAGE_TEXT_SIZE
// bytes) is empty, it is filled with the system text for the code and the context
// "1, <code>, <line>"; a filled text stays as it is. ShowFinalReport shows the box, if due,
// with MessageBoxA(NULL, text, caption, MB_ICONERROR).
#pragma once
#include <cstdint>

#include "common/status.h"

enum : uint32_t { MESSAGE_TEXT_SIZE = 2048, REPORT_CONTEXT_SIZE = 64 };

bool IsQuietCommandLine(WCHAR** args, int32_t argCount);
const char* ReportCaption(const char* ownPath);
bool BuildFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                      int32_t argCount);
#ifdef _WIN32
void ShowFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                     int32_t argCount, const char* ownPath);
#endif
