// The final report.
//
// IsQuietCommandLine is true when an argument after the program is "/q", "/qn" or
// "/quiet" in any letter case. ReportCaption gives the box's caption: the own path's part
// after its last backslash (multibyte-aware), or "Loader" without a path.
// ShowFinalReport shows at most one MB_ICONERROR box for a failed Status: the filled
// message text, or the system text for the code with the context "1, code, line".
#pragma once
#include <cstdint>

#include "common/status.h"

enum : uint32_t { MESSAGE_TEXT_SIZE = 2048 };

bool IsQuietCommandLine(WCHAR** args, int32_t argCount);
void ReportCaption(const char* ownPath, char* caption, uint32_t size);
// Fills `text` as the final box would show it (empty when no box is due). Returns true when a
// box is due.
bool BuildFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                      int32_t argCount);
#ifdef _WIN32
void ShowFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                     int32_t argCount, const char* ownPath);
#endif
