// The final report's decisions and texts: the quiet scan, the caption, when a box is due and
// what it says; on Windows also the system's own texts through FormatErrorText.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/errortext.h"
#include "stub/cmdline.h"
#include "stub/installer.h"
#include "stub/report.h"
#include "stub/tests/split_args.h"

TEST(IsQuietCommandLine, Table) {
  struct Case {
    const WCHAR* line;
    bool quiet;
  } cases[] = {
      {W16("setup.exe /L*V log.txt /QN"), true},
      {W16("setup.exe /q"), true},
      {W16("setup.exe /Quiet PROP=1"), true},
      {W16("setup.exe A=1 /qN B=2"), true},
      {W16("setup.exe \"/quiet\""), true},
      {W16("setup.exe /qb"), false},
      {W16("setup.exe -q"), false},
      {W16("setup.exe /q-"), false},
      {W16("setup.exe /quie"), false},
      {W16("setup.exe /quiets"), false},
      {W16("setup.exe q"), false},
      {W16("setup.exe"), false},
      {W16(""), false},
      // The program itself is never scanned.
      {W16("/q"), false},
      // Only A-Z fold: U+0130 (capital I with dot) and the Kelvin sign U+212A are not letters
      // of the switches.
      {W16("setup.exe /QU\u0130ET"), false},
      {W16("setup.exe /\u212An"), false},
  };
  for (const auto& c : cases) {
    Args a(c.line);
    ASSERT_NE(a.args, nullptr);
    EXPECT_EQ(IsQuietCommandLine(a.args, a.count), c.quiet)
        << std::basic_string<WCHAR>(c.line).size();
  }
  EXPECT_FALSE(IsQuietCommandLine(nullptr, 0));
}

TEST(ReportCaption, Table) {
  EXPECT_STREQ(ReportCaption("C:\\Setup\\Product Setup.exe"), "Product Setup.exe");
  EXPECT_STREQ(ReportCaption("setup.exe"), "setup.exe");
  EXPECT_STREQ(ReportCaption("C:\\dir\\"), "");
  EXPECT_STREQ(ReportCaption("\\\\srv\\share\\a\\b.exe"), "b.exe");
  EXPECT_STREQ(ReportCaption(nullptr), "Loader");
}

#ifdef _WIN32
// In code page 932 the second byte of a double-byte character may be 0x5C, the backslash's
// byte: the character U+8868 is 0x95 0x5C. The caption keeps it whole.
TEST(ReportCaption, DoubleByteTrailIsNoBackslash) {
  // The run registered for code page 932 says so, and must not pass by skipping.
  const char* expected = std::getenv("MSISTUB_EXPECT_ACP");
  if (expected && std::strcmp(expected, "932") == 0) ASSERT_EQ(GetACP(), 932u);
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese ANSI code page (932)";
  EXPECT_STREQ(ReportCaption("C:\\Setup\\\x95\x5C\x95\x5C.exe"), "\x95\x5C\x95\x5C.exe");
  EXPECT_STREQ(ReportCaption("C:\\\x95\x5Cx"), "\x95\x5Cx");
}
#endif

// One decision for every failure: whether a box is due and what it says, from the Status and
// how the failing step asked for it to be reported.
TEST(BuildFinalReport, DecidesAndFillsTheText) {
  Args none(W16("setup.exe"));
  Args quiet(W16("setup.exe /L*V log.txt /QN"));
  StubStrings strings = {};
  std::strcpy(strings.installerRequired, "Windows Installer is required.");
  std::strcpy(strings.corruptedOrUnsupported, "The installation file is either corrupted.");
  char text[MESSAGE_TEXT_SIZE];
  RunFailure failure = {};
  auto build = [&](Status status, uint32_t report, const char* detail, const Args& args) {
    SetRunFailure(&failure, report, detail);
    std::memset(text, 'x', sizeof text);
    return BuildFinalReport(status, &failure, &strings, args.args, args.count, text);
  };

  // Success, whatever line it carries: no box, no text.
  EXPECT_FALSE(build(MakeStatus(0, 812), REPORT_CORRUPTED, nullptr, none));
  EXPECT_STREQ(text, "");
  // The string resources.
  EXPECT_TRUE(build(MakeStatus(1168, 33), REPORT_CORRUPTED, nullptr, none));
  EXPECT_STREQ(text, "The installation file is either corrupted.");
  EXPECT_TRUE(build(MakeStatus(1155, 33), REPORT_INSTALLER_REQUIRED, nullptr, none));
  EXPECT_STREQ(text, "Windows Installer is required.");
  // A string the resources lack: the system text with the context instead.
  StubStrings none101 = strings;
  none101.corruptedOrUnsupported[0] = '\0';
  SetRunFailure(&failure, REPORT_CORRUPTED, nullptr);
  EXPECT_TRUE(BuildFinalReport(MakeStatus(0x20001234u, 9), &failure, &none101, none.args,
                               none.count, text));
  EXPECT_STREQ(text, "Error 536875572 (1, 536875572, 9).");
  // Seen already or chosen (a cancelled dialog, the installer's own messages): no box.
  EXPECT_FALSE(build(MakeStatus(1223, 5), REPORT_NO_BOX, nullptr, none));
  EXPECT_STREQ(text, "");
  // A quiet switch: no box, whatever the failure.
  EXPECT_FALSE(build(MakeStatus(1168, 5), REPORT_CORRUPTED, nullptr, quiet));
  EXPECT_STREQ(text, "");
  // The command line's own message.
  EXPECT_TRUE(build(MakeStatus(206, 5), REPORT_COMMAND_LINE, nullptr, none));
  EXPECT_NE(std::string(text).find("would exceed 1023 characters"), std::string::npos) << text;
  // No step said more: the system text with the context; a code without any text takes the
  // "Error" form. The place names the file where the table has it.
  EXPECT_TRUE(build(MakeStatus(0x20001234u, 77), REPORT_CONTEXT, nullptr, none));
  EXPECT_STREQ(text, "Error 536875572 (1, 536875572, 77).");
  const Status inRun = MakeStatus(0x20001234u, StatusPlaceOf(StatusFileId("/src/stub/run.cpp"), 245));
  EXPECT_TRUE(build(inRun, REPORT_CONTEXT, nullptr, none));
  EXPECT_STREQ(text, "Error 536875572 (1, 536875572, stub/run.cpp:245).");
  // The system text naming the detail, without context.
  EXPECT_TRUE(build(MakeStatus(0x20001234u, 77), REPORT_SYSTEM_TEXT, "C:\\x\\main.msi", none));
  EXPECT_STREQ(text, "Error 536875572 (C:\\x\\main.msi).");

  // No argument block (the split failed): no scan, the box with context is due.
  EXPECT_TRUE(BuildFinalReport(MakeStatus(8, 4294967295u), nullptr, &strings, nullptr, 0, text));
  const std::string s(text);
  const std::string tail = " (1, 8, 4294967295).";
  ASSERT_GE(s.size(), tail.size());
  EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << s;
}

// A Status made by a statement of one of the stub's files names that file and line.
TEST(StatusPlace, NamesTheFileThatMadeIt) {
  EXPECT_STREQ(StatusFileName(StatusFileId("/work/stub/installer.cpp")), "stub/installer.cpp");
  EXPECT_STREQ(StatusFileName(StatusFileId("C:\\src\\manifest/entry.cpp")), "manifest/entry.cpp");
  EXPECT_EQ(StatusFileId("/work/pack/main.cpp"), 0u);       // not the stub's main.cpp
  EXPECT_EQ(StatusFileId("/work/xstub/run.cpp"), 0u);       // a whole folder name only
  EXPECT_EQ(StatusFileName(0), nullptr);
  // A real failure of the installer step: the line is too long.
  WCHAR line[COMMAND_LINE_SIZE];
  std::vector<WCHAR> longArg(COMMAND_LINE_SIZE, W16('a'));
  longArg.back() = 0;
  WCHAR* args[] = {const_cast<WCHAR*>(W16("setup.exe")), longArg.data(), nullptr};
  const Status s = BuildInstallerCommandLine("msiexec.exe", "m.msi", args, 2, line);
  EXPECT_EQ(StatusCode(s), 206u);
  EXPECT_STREQ(StatusFileName(StatusFile(s)), "stub/installer.cpp");
  EXPECT_GT(StatusLine(s), 0u);
}

#ifdef _WIN32
// The system's own texts, as Wine's English message table has them.
TEST(FormatErrorText, SystemTexts) {
  char text[MESSAGE_TEXT_SIZE];
  FormatErrorText(5, text, sizeof text, nullptr);
  EXPECT_STREQ(text, "Access denied.");
  FormatErrorText(5, text, sizeof text, "C:\\windows\\system32\\msiexec.exe");
  EXPECT_STREQ(text, "Access denied (C:\\windows\\system32\\msiexec.exe).");
  FormatErrorText(5, text, sizeof text, "");
  EXPECT_STREQ(text, "Access denied.");
  FormatErrorText(0x2000BEEFu, text, sizeof text, nullptr);
  EXPECT_STREQ(text, "Error 536919791");
  FormatErrorText(0x2000BEEFu, text, sizeof text, "1, 536919791, 9");
  EXPECT_STREQ(text, "Error 536919791 (1, 536919791, 9).");
  // 1921 has a system text: it is used, with the context behind it.
  FormatErrorText(1921, text, sizeof text, "1, 1921, 60");
  const std::string s(text);
  EXPECT_NE(s.rfind("Error 1921", 0), 0u) << s;
  EXPECT_EQ(s.size() > 15 ? s.substr(s.size() - 15) : s, " (1, 1921, 60).");
  // A buffer too small for the system's text gets none from the system: the "Error" form,
  // cut to the buffer and terminated.
  char small[6];
  FormatErrorText(5, small, sizeof small, nullptr);
  EXPECT_STREQ(small, "Error");
}
#endif
