// The version information reader of inspect, on the block the stub's build writes
// (cmake/msistub-brand.py, run at build time into MSISTUB_TEST_VERSIONINFO) and on every
// truncation and length-field corruption of it (under the sanitizers: no read outside).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/format.h"
#include "pack/versioninfo.h"

namespace {
Bytes ReadAll(const char* path) {
  Bytes data;
  FILE* f = std::fopen(path, "rb");
  if (!f) return data;
  int c;
  while ((c = std::fgetc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return data;
}

TEST(VersionInfo, ReadsWhatTheBuildWrites) {
  const Bytes block = ReadAll(MSISTUB_TEST_VERSIONINFO);
  ASSERT_FALSE(block.empty()) << MSISTUB_TEST_VERSIONINFO;
  const VersionInfo info = ParseVersionInfo(block.data(), static_cast<uint32_t>(block.size()));
  ASSERT_TRUE(info.found);
  EXPECT_EQ(info.fileVersion, "3.14.0.65535");
  EXPECT_EQ(info.productVersion, "3.14.0.65535");
  const std::vector<std::pair<std::string, std::string>> want = {
      {"CompanyName", "Vendor \xC3\x9C Ltd"},  // U+00DC as UTF-8
      {"FileDescription", "Vendor Setup"},
      {"FileVersion", "3.14.0.65535"},
      {"InternalName", "msistub"},
      {"LegalCopyright", "(c) Vendor"},
      {"OriginalFilename", "setup.exe"},
      {"ProductName", "Vendor Product"},
      {"ProductVersion", "3.14.0.65535"}};
  EXPECT_EQ(info.strings, want);
  EXPECT_EQ(VersionInfoLine(info),
            "version info: file version 3.14.0.65535, product version 3.14.0.65535; CompanyName "
            "\"Vendor \xC3\x9C Ltd\"; FileDescription \"Vendor Setup\"; InternalName \"msistub\"; "
            "LegalCopyright \"(c) Vendor\"; OriginalFilename \"setup.exe\"; ProductName "
            "\"Vendor Product\"");
}

TEST(VersionInfo, TruncatedOrCorruptBlocksStayInside) {
  const Bytes block = ReadAll(MSISTUB_TEST_VERSIONINFO);
  ASSERT_GT(block.size(), 100u);
  // Cut anywhere: the fixed part needs the first 92 bytes (header, key, 52 bytes of it).
  for (size_t n = 0; n < block.size(); ++n) {
    Bytes cut(block.begin(), block.begin() + n);  // its own allocation: ASan sees its end
    const VersionInfo info = ParseVersionInfo(cut.data(), static_cast<uint32_t>(n));
    EXPECT_EQ(info.found, false) << n;  // the root's length no longer fits
  }
  // Any 16-bit field set to 0xFFFF or to 0, and the root still read within the block.
  for (size_t at = 0; at + 1 < block.size(); at += 2) {
    for (uint16_t value : {uint16_t{0xFFFF}, uint16_t{0}}) {
      Bytes bad = block;
      WriteLe16(&bad[at], value);
      const VersionInfo info = ParseVersionInfo(bad.data(), static_cast<uint32_t>(bad.size()));
      for (const auto& s : info.strings) EXPECT_LE(s.second.size(), block.size()) << at;
    }
  }
  EXPECT_FALSE(ParseVersionInfo(nullptr, 0).found);
}
}  // namespace
