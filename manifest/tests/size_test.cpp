// Size fields of manifest entries: where they are looked for and which values count.
#include "manifest/size.h"

#include <gtest/gtest.h>

#include <string>

#include "manifest/tests/fixture.h"

namespace {

const std::string kSha = "sha256=" + std::string(64, 'a');

TEST(ReadEntrySize, Table) {
  struct Case {
    std::string text;
    uint32_t field;
    uint32_t state;
    uint32_t bytes;
  };
  const Case cases[] = {
      {"x64\\1033\\{A}\\A\\" + kSha + "\\size=1048576", DESCRIPTOR_SIZE_FIELD, SIZE_PRESENT, 1048576},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=0", CABINET_SIZE_FIELD, SIZE_PRESENT, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\SIZE=4294967295", CABINET_SIZE_FIELD, SIZE_PRESENT,
       0xFFFFFFFFu},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=0000000007", CABINET_SIZE_FIELD, SIZE_PRESENT, 7},
      // A field after the size does not belong to it.
      {"cab\\1000\\a.cab\\" + kSha + "\\size=12\\later", CABINET_SIZE_FIELD, SIZE_PRESENT, 12},
      // No size: older texts, a size in another field, other words.
      {"cab\\1000\\a.cab\\" + kSha, CABINET_SIZE_FIELD, SIZE_ABSENT, 0},
      {"cab\\1000\\a.cab", CABINET_SIZE_FIELD, SIZE_ABSENT, 0},
      {"cab\\1000\\a.cab\\size=12", CABINET_SIZE_FIELD, SIZE_ABSENT, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\\\size=12", CABINET_SIZE_FIELD, SIZE_ABSENT, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\siz=12", CABINET_SIZE_FIELD, SIZE_ABSENT, 0},
      {"", DESCRIPTOR_SIZE_FIELD, SIZE_ABSENT, 0},
      // The prefix promises a size: anything but a 32-bit decimal number is corrupt.
      {"cab\\1000\\a.cab\\" + kSha + "\\size=", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=4294967296", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=99999999999999999999999", CABINET_SIZE_FIELD,
       SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=00000000001", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=-1", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=+1", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size= 1", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=1 ", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=0x10", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
      {"cab\\1000\\a.cab\\" + kSha + "\\size=1e6", CABINET_SIZE_FIELD, SIZE_MALFORMED, 0},
  };
  for (const Case& c : cases) {
    RecordSize size = {0x5A5A5A5Au, 0x5A5A5A5Au};
    TestFields entry(c.text);
    ReadEntrySize(&entry.fields, c.field, &size);
    EXPECT_EQ(size.state, c.state) << c.text;
    EXPECT_EQ(size.bytes, c.bytes) << c.text;
  }
}

}  // namespace
