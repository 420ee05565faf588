// The final report (see report.h).
#include "stub/report.h"

#include <cstdio>

#include "common/chars.h"
#include "common/errortext.h"

namespace {
bool EqualsSwitch(const WCHAR* arg, const char* name) {
  for (;; ++arg, ++name) {
    const WCHAR c = AsciiLower(*arg);
    if (c != static_cast<WCHAR>(*name)) return false;
    if (!c) return true;
  }
}

void SystemErrorText(uint32_t code, char* buffer, uint32_t size, const char* detail) {
#ifdef _WIN32
  FormatErrorText(code, buffer, size, detail);
#else
  // The native build has no system message table: every code takes the "Error <code>" form.
  buffer[0] = '\0';
  ShapeErrorText(code, buffer, size, 0, detail);
#endif
}
}  // namespace

bool IsQuietCommandLine(WCHAR** args, int32_t argCount) {
  if (!args) return false;
  for (int32_t i = 1; i < argCount; ++i) {
    const WCHAR* arg = args[i];
    if (EqualsSwitch(arg, "/q") || EqualsSwitch(arg, "/qn") || EqualsSwitch(arg, "/quiet"))
      return true;
  }
  return false;
}

const char* ReportCaption(const char* ownPath) {
  if (!ownPath) return "Loader";
  const char* name = ownPath;
  for (const char* p = ownPath; *p; p = CharNextA(p))
    if (*p == '\\') name = p + 1;
  return name;
}

bool BuildFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                      int32_t argCount) {
  if (IsQuietCommandLine(args, argCount)) *suppress = 1;
  if (StatusOk(status) || *suppress) return false;
  if (!messageText[0]) {
    char context[REPORT_CONTEXT_SIZE];
    std::snprintf(context, sizeof context, "%u, %u, %u", 1u, StatusCode(status),
                  StatusLine(status));
    SystemErrorText(StatusCode(status), messageText, MESSAGE_TEXT_SIZE, context);
  }
  return true;
}

#ifdef _WIN32
void ShowFinalReport(Status status, char* messageText, uint32_t* suppress, WCHAR** args,
                     int32_t argCount, const char* ownPath) {
  if (BuildFinalReport(status, messageText, suppress, args, argCount))
    MessageBoxA(nullptr, messageText, ReportCaption(ownPath), MB_ICONERROR);
}
#endif
