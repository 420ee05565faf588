// The final report's decisions and texts: the quiet scan, the caption, when a box is due and
// what it says; on Windows also the system's own texts through FormatErrorText.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/errortext.h"
#include "stub/cmdline.h"
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

TEST(BuildFinalReport, DecidesAndFillsTheText) {
  Args none(W16("setup.exe"));
  Args quiet(W16("setup.exe /L*V log.txt /QN"));
  char text[MESSAGE_TEXT_SIZE];

  // Success, whatever line it carries: no box, text untouched.
  std::memset(text, 0, sizeof text);
  uint32_t suppress = 0;
  EXPECT_FALSE(BuildFinalReport(MakeStatus(0, 812), text, &suppress, none.args, none.count));
  EXPECT_STREQ(text, "");

  // A failure with a text of its own: shown unchanged, without context.
  std::strcpy(text, "The installation file is either corrupted.");
  suppress = 0;
  EXPECT_TRUE(BuildFinalReport(MakeStatus(1168, 33), text, &suppress, none.args, none.count));
  EXPECT_STREQ(text, "The installation file is either corrupted.");
  EXPECT_EQ(suppress, 0u);

  // A code without any system text: the "Error" form with the context.
  std::memset(text, 0, sizeof text);
  EXPECT_TRUE(BuildFinalReport(MakeStatus(0x20001234u, 77), text, &suppress, none.args, 1));
  EXPECT_STREQ(text, "Error 536875572 (1, 536875572, 77).");

  // A set suppress flag or a quiet switch: no box, the text stays empty.
  std::memset(text, 0, sizeof text);
  suppress = 1;
  EXPECT_FALSE(BuildFinalReport(MakeStatus(1223, 5), text, &suppress, none.args, none.count));
  EXPECT_STREQ(text, "");
  suppress = 0;
  EXPECT_FALSE(BuildFinalReport(MakeStatus(1168, 5), text, &suppress, quiet.args, quiet.count));
  EXPECT_EQ(suppress, 1u);
  EXPECT_STREQ(text, "");

  // No argument block (the split failed): no scan, the box with context is due.
  suppress = 0;
  EXPECT_TRUE(BuildFinalReport(MakeStatus(8, 4294967295u), text, &suppress, nullptr, 0));
  EXPECT_EQ(suppress, 0u);
  const std::string s(text);
  const std::string tail = " (1, 8, 4294967295).";
  ASSERT_GE(s.size(), tail.size());
  EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << s;
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
