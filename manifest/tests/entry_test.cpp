// Manifest entries: fields split in UTF-16 before any conversion, exact conversions, and the
// file name rule.
#include "manifest/entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/digest.h"
#include "manifest/tests/fixture.h"

namespace {

std::vector<std::string> Kept(const ManifestFields& f) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < f.fieldCount && i < ENTRY_MAX_FIELDS; ++i) out.push_back(f.text[i]);
  return out;
}

TEST(ManifestFields, SplitTable) {
  struct Case {
    Bytes units;
    uint32_t count;
    std::vector<std::string> fields;
  };
  Bytes withNul = Utf16("ab", true);
  const Bytes tail = Utf16("cd\\e", false);
  withNul.insert(withNul.end(), tail.begin(), tail.end());
  Bytes odd = Utf16("a\\b", false);
  odd.push_back('c');
  const Case cases[] = {
      {Utf16("x64\\1033\\{A}\\Name", false), 4, {"x64", "1033", "{A}", "Name"}},
      {Utf16("", false), 1, {""}},
      {Utf16("a\\", false), 2, {"a", ""}},
      {Utf16("\\\\", false), 3, {"", "", ""}},
      // Nine fields: all are counted, the first eight kept.
      {Utf16("1\\2\\3\\4\\5\\6\\7\\8\\9", false), 9, {"1", "2", "3", "4", "5", "6", "7", "8"}},
      // The text ends at its first NUL; an odd last byte is no unit.
      {withNul, 1, {"ab"}},
      {odd, 2, {"a", "b"}},
  };
  for (const Case& c : cases) {
    TestFields entry(c.units);
    EXPECT_EQ(entry.fields.fieldCount, c.count);
    EXPECT_EQ(Kept(entry.fields), c.fields);
    EXPECT_EQ(entry.fields.exact, (1u << c.fields.size()) - 1);
  }
}

TEST(ManifestFields, LeadingFieldsStopAtTheFirstEmptyOne) {
  TestFields full("x64\\1033\\{A}\\Name\\extra");
  EXPECT_EQ(LeadingFields(&full.fields, 4), 4u);
  TestFields gap("x64\\\\{A}\\Name");
  EXPECT_EQ(LeadingFields(&gap.fields, 4), 1u);
  TestFields shortOne("cab\\1000");
  EXPECT_EQ(LeadingFields(&shortOne.fields, 3), 2u);
}

// An unpaired surrogate converts in no code page: the field is there to be shown, but it is no
// name, code, keyword or number.
TEST(ManifestFields, UnpairedSurrogateIsNoExactField) {
  Bytes units = Utf16("cab\\1000\\a", false);
  units.insert(units.end(), {0x00, 0xDC});
  const Bytes rest = Utf16(".cab\\x", false);
  units.insert(units.end(), rest.begin(), rest.end());
  TestFields entry(units);
  ASSERT_EQ(entry.fields.fieldCount, 4u);
  EXPECT_NE(EntryField(&entry.fields, 1), nullptr);
  EXPECT_EQ(EntryField(&entry.fields, 2), nullptr);
  EXPECT_NE(EntryDisplayField(&entry.fields, 2), nullptr);
  EXPECT_FALSE(EntryFieldIsPlainName(&entry.fields, 2));
  EXPECT_EQ(EntryField(&entry.fields, 9), nullptr);
  EXPECT_EQ(EntryDisplayField(&entry.fields, 9), nullptr);
}

TEST(IsPlainFileName, Table) {
  struct Case {
    const char* name;
    bool plain;
  } cases[] = {
      {"main.cab", true},       {"{12345678-ABCD}", true}, {"a b.cab", true},
      {"...x", true},           {"x..y", true},            {"\xc3\xa4.cab", true},
      {"CONSOLE.cab", true},    {"COM10", true},           {"LPT.cab", true},
      {"xcon", true},           {"con_x.cab", true},       {"NULL", true},
      {"\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88.cab", true},  // a name in katakana
      {"COM\xe2\x81\xb4", true},                           // superscript four: no port
      {"", false},              {".", false},              {"..", false},
      {"...", false},           {" ", false},              {". .", false},
      {"x..", false},           {"x.", false},             {"x ", false},
      {"../x.cab", false},      {"a\\b", false},           {"a/b", false},
      {"C:x", false},           {"x:", false},             {"a\x01", false},
      {"\x1f", false},          {"a\x7f", false},          {"a\nb", false},
      {"a<b", false},           {"a>b", false},            {"a\"b", false},
      {"a|b", false},           {"a?b", false},            {"a*b", false},
      {"CON", false},           {"con.cab", false},        {"Nul.tar.gz", false},
      {"PRN", false},           {"aux.msi", false},        {"COM1", false},
      {"com9.cab", false},      {"LPT0", false},           {"lpt3.x", false},
      {"CONIN$", false},        {"conout$.txt", false},    {"NUL .cab", false},
      {"COM\xc2\xb9", false},   {"com\xc2\xb2.cab", false}, {"LPT\xc2\xb3", false},
      {"lpt\xc2\xb9 .txt", false},
  };
  auto plain = [](const std::string& utf8) {
    const Bytes bytes = Utf16(utf8, false);
    std::vector<WCHAR> units(bytes.size() / 2);
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<WCHAR>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return IsPlainFileNameUnits(units.data(), static_cast<uint32_t>(units.size()));
  };
  for (const auto& c : cases) EXPECT_EQ(plain(c.name), c.plain) << c.name;
  EXPECT_TRUE(plain(std::string(255, 'a')));
  EXPECT_FALSE(plain(std::string(256, 'a')));
  // The same rule for a text in the active code page.
  EXPECT_TRUE(IsPlainFileName("a b.cab"));
  EXPECT_FALSE(IsPlainFileName("Com1.cab"));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName(std::string(256, 'a').c_str()));
}

// The tests below run natively (UTF-8) and under Wine in code pages 1252 and 932; a run that
// names its code page (MSISTUB_EXPECT_ACP) fails when the system has another one.
uint32_t ActiveCodePage() {
#ifdef _WIN32
  return GetACP();
#else
  return 65001;
#endif
}

class ManifestFieldsInCodePage : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* expected = std::getenv("MSISTUB_EXPECT_ACP");
    if (expected) ASSERT_EQ(ActiveCodePage(), static_cast<uint32_t>(std::atoi(expected)));
  }
};

const std::string kHexA(64, 'a');
const std::string kHexB(64, 'b');

// U+FF3C, the fullwidth backslash, maps best-fit onto '\' in code page 1252: split after the
// conversion it would move the digest field.
TEST_F(ManifestFieldsInCodePage, FullwidthBackslashStaysInItsField) {
  TestFields entry("x64\\1033\\{A}\\Evil\xef\xbc\xbcsha256=" + kHexA + "\\sha256=" + kHexB);
  ASSERT_EQ(entry.fields.fieldCount, 5u);
  RecordDigest digest;
  ReadEntryDigest(&entry.fields, DESCRIPTOR_DIGEST_FIELD, &digest);
  ASSERT_EQ(digest.state, DIGEST_PRESENT);
  EXPECT_EQ(digest.bytes[0], 0xbb);
  const char* name = EntryDisplayField(&entry.fields, 3);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::strchr(name, '\\'), nullptr) << name;
  EXPECT_NE(EntryField(&entry.fields, 2), nullptr);
  if (ActiveCodePage() == 1252) EXPECT_EQ(EntryField(&entry.fields, 3), nullptr);
  if (ActiveCodePage() == 65001) EXPECT_NE(EntryField(&entry.fields, 3), nullptr);
}

// In code page 932 "ソ" (U+30BD) is 0x83 0x5C and "表" (U+8868) 0x95 0x5C: their second bytes
// are the backslash's. Split in UTF-16 they stay whole, and the names are used exactly.
TEST_F(ManifestFieldsInCodePage, DoubleByteTrailIsNoSeparator) {
  const std::string product = "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88\xe8\xa1\xa8";  // ソフト表
  const std::string cabinet = "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88.cab";          // ソフト.cab
  TestFields descriptor("x64\\1041\\{A}\\" + product + "\\sha256=" + kHexA);
  TestFields line("cab\\1000\\" + cabinet + "\\sha256=" + kHexB + "\\size=12");
  ASSERT_EQ(descriptor.fields.fieldCount, 5u);
  ASSERT_EQ(line.fields.fieldCount, 5u);
  RecordDigest digest;
  ReadEntryDigest(&descriptor.fields, DESCRIPTOR_DIGEST_FIELD, &digest);
  EXPECT_EQ(digest.state, DIGEST_PRESENT);
  ReadEntryDigest(&line.fields, CABINET_DIGEST_FIELD, &digest);
  EXPECT_EQ(digest.state, DIGEST_PRESENT);
  const uint32_t acp = ActiveCodePage();
  if (acp == 932) {
    EXPECT_STREQ(EntryField(&line.fields, 2), "\x83\x5c\x83\x74\x83\x67.cab");
    EXPECT_STREQ(EntryField(&descriptor.fields, 3), "\x83\x5c\x83\x74\x83\x67\x95\x5c");
  }
  if (acp == 932 || acp == 65001) {
    EXPECT_TRUE(EntryFieldIsPlainName(&line.fields, 2));
  } else {
    // A code page without katakana cannot name the cabinet on disk.
    EXPECT_EQ(EntryField(&line.fields, 2), nullptr);
    EXPECT_FALSE(EntryFieldIsPlainName(&line.fields, 2));
  }
}

}  // namespace
