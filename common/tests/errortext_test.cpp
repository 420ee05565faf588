// Shaping of error texts: trimming, detail in parentheses, the "Error <code>" forms, bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/errortext.h"
#include "common/status.h"

namespace {
std::string Shape(const char* system, uint32_t code, const char* detail, uint32_t size = 2048) {
  std::string buf(size, '\x7f');
  std::strncpy(&buf[0], system, size);
  ShapeErrorText(code, &buf[0], size, static_cast<uint32_t>(std::strlen(system)), detail);
  return std::string(buf.c_str());
}
}  // namespace

TEST(ShapeErrorText, Table) {
  struct Case {
    const char* system;
    uint32_t code;
    const char* detail;
    const char* want;
  } cases[] = {
      {"Access denied.\r\n", 5, nullptr, "Access denied."},
      {"Access denied.\r\n", 5, "C:\\Windows\\system32\\msiexec.exe",
       "Access denied (C:\\Windows\\system32\\msiexec.exe)."},
      {"Access denied.\r\n", 5, "", "Access denied."},
      {"Text with many stops... \r\n", 1, nullptr, "Text with many stops."},
      {"", 0x80001234u, nullptr, "Error 2147488308"},
      {"", 1602, "1, 1602, 77", "Error 1602 (1, 1602, 77)."},
      {" . \r\n.", 7, nullptr, "Error 7"},
      {"A.b", 3, nullptr, "A.b."},
  };
  for (const auto& c : cases) EXPECT_EQ(Shape(c.system, c.code, c.detail), c.want) << c.system;
}

TEST(ShapeErrorText, CutsToTheBufferAndStaysTerminated) {
  EXPECT_EQ(Shape("Access denied.", 5, "a long detail", 20), "Access denied (a lo");
  EXPECT_EQ(Shape("", 123456, "detail", 8), "Error 1");
  EXPECT_EQ(Shape("Abc", 1, nullptr, 4), "Abc");
}

// A call that fails without setting the last error must not pass for success: the fallback
// code is taken instead of 0.
TEST(Status, FailureWithoutLastErrorTakesTheFallback) {
  SetLastError(0);
  EXPECT_EQ(StatusCode(STATUS_FROM_LAST_ERROR(8)), 8u);
  SetLastError(5);
  EXPECT_EQ(StatusCode(STATUS_FROM_LAST_ERROR(8)), 5u);
}
