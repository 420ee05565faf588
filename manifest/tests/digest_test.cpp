// Digest fields of manifest entries: where they are looked for and what counts as one.
#include "manifest/digest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/winseam.h"
#include "manifest/tests/fixture.h"

namespace {

const std::string kHex = "00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978";
const uint8_t kBytes[RECORD_DIGEST_SIZE] = {
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff,
    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78};

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

TEST(ReadEntryDigest, Table) {
  struct Case {
    std::string text;
    uint32_t field;
    uint32_t state;
  };
  const Case cases[] = {
      {"x64\\1033\\{A}\\A\\sha256=" + kHex, DESCRIPTOR_DIGEST_FIELD, DIGEST_PRESENT},
      {"cab\\1000\\a.cab\\sha256=" + kHex, CABINET_DIGEST_FIELD, DIGEST_PRESENT},
      {"x64\\1033\\{A}\\A\\SHA256=" + Upper(kHex), DESCRIPTOR_DIGEST_FIELD, DIGEST_PRESENT},
      // A field after the digest does not belong to it.
      {"cab\\1000\\a.cab\\sha256=" + kHex + "\\later", CABINET_DIGEST_FIELD, DIGEST_PRESENT},
      // No digest: texts written without one, and other extra fields, bind nothing.
      {"x64\\1033\\{A}\\A", DESCRIPTOR_DIGEST_FIELD, DIGEST_ABSENT},
      {"x64\\1033\\{A}\\A\\", DESCRIPTOR_DIGEST_FIELD, DIGEST_ABSENT},
      {"cab\\1000\\a.cab\\note", CABINET_DIGEST_FIELD, DIGEST_ABSENT},
      {"cab\\1000\\a.cab\\sha25=" + kHex, CABINET_DIGEST_FIELD, DIGEST_ABSENT},
      {"", CABINET_DIGEST_FIELD, DIGEST_ABSENT},
      // Only the field right after the regular ones counts.
      {"cab\\1000\\a.cab\\note\\sha256=" + kHex, CABINET_DIGEST_FIELD, DIGEST_ABSENT},
      {"cab\\1000\\sha256=" + kHex, CABINET_DIGEST_FIELD, DIGEST_ABSENT},
      // The prefix promises a digest: anything but 64 hex digits matches no record.
      {"cab\\1000\\a.cab\\sha256=", CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
      {"cab\\1000\\a.cab\\sha256=" + kHex.substr(1), CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
      {"cab\\1000\\a.cab\\sha256=" + kHex + "0", CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
      {"cab\\1000\\a.cab\\sha256=" + kHex.substr(0, 63) + "g", CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
      {"cab\\1000\\a.cab\\sha256= " + kHex, CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
      {"cab\\1000\\a.cab\\sha256=" + kHex + " ", CABINET_DIGEST_FIELD, DIGEST_MALFORMED},
  };
  for (const Case& c : cases) {
    RecordDigest digest;
    std::memset(&digest, 0x5A, sizeof(digest));
    TestFields entry(c.text);
    ReadEntryDigest(&entry.fields, c.field, &digest);
    EXPECT_EQ(digest.state, c.state) << c.text;
    const uint8_t zero[RECORD_DIGEST_SIZE] = {};
    EXPECT_EQ(std::memcmp(digest.bytes, c.state == DIGEST_PRESENT ? kBytes : zero,
                          RECORD_DIGEST_SIZE), 0)
        << c.text;
  }
}

// A digest field whose text has a character outside the code page (here an unpaired
// surrogate, which no code page holds) names no digest, even where the rest reads as one.
TEST(ReadEntryDigest, FieldThatDidNotConvertExactlyMatchesNothing) {
  Bytes units = Utf16("x64\\1033\\{A}\\A\\sha256=" + kHex, false);
  units.insert(units.end(), {0x00, 0xD8});
  TestFields entry(units);
  RecordDigest digest;
  ReadEntryDigest(&entry.fields, DESCRIPTOR_DIGEST_FIELD, &digest);
  EXPECT_EQ(digest.state, DIGEST_MALFORMED);
}

}  // namespace
