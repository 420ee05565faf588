// Temporary names: what FormatStagingName writes is a temporary name, and nothing else is.
#include "manifest/staging.h"

#include <gtest/gtest.h>

#include <string>

TEST(StagingName, FormatsTheRecognisedPattern) {
  char name[STAGING_NAME_SIZE];
  FormatStagingName(0x3f09a1c2d4e5b687ull, name);
  EXPECT_STREQ(name, "~msistub-3f09a1c2d4e5b687.tmp");
  EXPECT_TRUE(IsStagingName(name));
  FormatStagingName(0, name);
  EXPECT_STREQ(name, "~msistub-0000000000000000.tmp");
  EXPECT_TRUE(IsStagingName(name));
}

TEST(StagingName, OnlyThePatternIsOne) {
  const struct {
    const char* name;
    bool is;
  } cases[] = {
      {"~MSISTUB-3F09A1C2D4E5B687.TMP", true},  // the file system ignores case
      {"~msistub-3f09a1c2d4e5b68.tmp", false},   // 15 digits
      {"~msistub-3f09a1c2d4e5b6870.tmp", false},  // 17
      {"~msistub-3f09a1c2d4e5b68g.tmp", false},
      {"~msistub-3f09a1c2d4e5b687.tmpx", false},
      {"~msistub-3f09a1c2d4e5b687.tm", false},
      {"msistub-3f09a1c2d4e5b687.tmp", false},
      {"~msistub-3f09a1c2d4e5b687", false},
      {"main.msi", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsStagingName(c.name), c.is) << c.name;
  EXPECT_FALSE(IsStagingName(nullptr));
}
