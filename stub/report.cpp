// The final report (see report.h).
#include "stub/report.h"

#include <cstdio>

#include "common/chars.h"
#include "common/errortext.h"
#include "stub/installer.h"

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

void SetRunFailure(RunFailure* failure, uint32_t report, const char* detail) {
  failure->report = report;
  std::snprintf(failure->detail, sizeof failure->detail, "%s", detail ? detail : "");
}

bool BuildFinalReport(Status status, const RunFailure* failure, const StubStrings* strings,
                      WCHAR** args, int32_t argCount, char* text) {
  text[0] = '\0';
  if (StatusOk(status) || IsQuietCommandLine(args, argCount)) return false;
  uint32_t report = failure ? failure->report : REPORT_CONTEXT;
  // A string the resources lack leaves the system text with the context.
  if ((report == REPORT_CORRUPTED && !strings->corruptedOrUnsupported[0]) ||
      (report == REPORT_INSTALLER_REQUIRED && !strings->installerRequired[0]))
    report = REPORT_CONTEXT;
  const char* detail = failure && failure->detail[0] ? failure->detail : nullptr;
  switch (report) {
    case REPORT_NO_BOX:
      return false;
    case REPORT_CORRUPTED:
      std::snprintf(text, MESSAGE_TEXT_SIZE, "%s", strings->corruptedOrUnsupported);
      return true;
    case REPORT_INSTALLER_REQUIRED:
      std::snprintf(text, MESSAGE_TEXT_SIZE, "%s", strings->installerRequired);
      return true;
    case REPORT_COMMAND_LINE:
      DescribeCommandLineFailure(status, text, MESSAGE_TEXT_SIZE);
      return true;
    case REPORT_SYSTEM_TEXT:
      SystemErrorText(StatusCode(status), text, MESSAGE_TEXT_SIZE, detail);
      return true;
    default: {
      char context[REPORT_CONTEXT_SIZE];
      const char* file = StatusFileName(StatusFile(status));
      if (file)
        std::snprintf(context, sizeof context, "%u, %u, %s:%u", 1u, StatusCode(status), file,
                      StatusLine(status));
      else
        std::snprintf(context, sizeof context, "%u, %u, %u", 1u, StatusCode(status),
                      StatusPlace(status));
      SystemErrorText(StatusCode(status), text, MESSAGE_TEXT_SIZE, context);
      return true;
    }
  }
}

#ifdef _WIN32
void ShowFinalReport(Status status, const RunFailure* failure, const StubStrings* strings,
                     WCHAR** args, int32_t argCount, const char* ownPath) {
  static char text[MESSAGE_TEXT_SIZE];
  if (BuildFinalReport(status, failure, strings, args, argCount, text))
    MessageBoxA(nullptr, text, ReportCaption(ownPath), MB_ICONERROR);
}
#endif
