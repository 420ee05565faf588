// Segment index fields of manifest entries: where they are looked for, which texts count, and
// the writer's text read back.
#include "manifest/segments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/tests/fixture.h"

namespace {

const std::string kHead = "cab\\1000\\a.cab\\sha256=" + std::string(64, 'a') + "\\size=9\\";

TEST(ReadEntrySegments, Table) {
  struct Case {
    std::string text;
    uint32_t field;
    uint32_t state;
    uint32_t segmentSize;
    std::vector<uint32_t> ends;
  };
  const Case cases[] = {
      {kHead + "segments=1048576:409877,411002,18", CABINET_SEGMENTS_FIELD, SEGMENTS_PRESENT,
       1048576, {409877, 820879, 820897}},
      {"x64\\1033\\{A}\\A\\sha256=" + std::string(64, 'a') + "\\size=0\\SEGMENTS=8388608:8",
       DESCRIPTOR_SEGMENTS_FIELD, SEGMENTS_PRESENT, 8388608, {8}},
      // A field behind the index is not part of it.
      {kHead + "segments=1048576:7\\later", CABINET_SEGMENTS_FIELD, SEGMENTS_PRESENT, 1048576, {7}},
      // The largest stored size a record can have.
      {kHead + "segments=1:4294967294,1", CABINET_SEGMENTS_FIELD, SEGMENTS_PRESENT, 1,
       {4294967294u, 4294967295u}},
      // No index: older texts, an index in another field, other words.
      {kHead.substr(0, kHead.size() - 1), CABINET_SEGMENTS_FIELD, SEGMENTS_ABSENT, 0, {}},
      {"cab\\1000\\a.cab\\segments=1048576:7", CABINET_SEGMENTS_FIELD, SEGMENTS_ABSENT, 0, {}},
      {kHead + "segment=1048576:7", CABINET_SEGMENTS_FIELD, SEGMENTS_ABSENT, 0, {}},
      // The prefix promises an index: anything not of its form is corrupt.
      {kHead + "segments=", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=:7", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:7,", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:7,,8", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:07", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=01048576:7", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:7;8", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:-7", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576: 7", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:4294967296", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      {kHead + "segments=1048576:12345678901", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
      // Stored ends past what a 32-bit size can count.
      {kHead + "segments=1048576:4294967295,1", CABINET_SEGMENTS_FIELD, SEGMENTS_MALFORMED, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(kHead.size() < c.text.size() ? kHead.size() : 0));
    uint32_t state = 0x5A5A5A5Au;
    SegmentIndex index{7, 7, nullptr};
    TestFields entry(c.text);
    ReadEntrySegments(&entry.fields, c.field, &state, &index);
    EXPECT_EQ(state, c.state);
    EXPECT_EQ(index.segmentSize, c.segmentSize);
    ASSERT_EQ(index.count, c.ends.size());
    if (c.ends.empty()) EXPECT_EQ(index.storedEnd, nullptr);
    for (uint32_t i = 0; i < index.count; ++i) EXPECT_EQ(index.storedEnd[i], c.ends[i]);
    FreeSegmentIndex(&index);
  }
}

TEST(FormatSegmentsField, ReadsBackAndRefusesAShortBuffer) {
  const uint32_t lengths[] = {4294967295u, 0, 10};
  const size_t need = SegmentsFieldLength(SEGMENT_SIZE_MAX, lengths, 3);
  std::string out(need, 'x');
  const size_t length = FormatSegmentsField(SEGMENT_SIZE_MAX, lengths, 3, &out[0], need);
  ASSERT_GT(length, 0u);
  out.resize(length);
  EXPECT_EQ(out, "segments=8388608:4294967295,0,10");
  const uint32_t one[] = {123};
  std::string small(10, 'x');
  EXPECT_EQ(FormatSegmentsField(SEGMENT_SIZE_MIN, one, 1, &small[0], small.size()), 0u);
  // Read back, a well-formed field with these lengths (the sum is Check's business).
  uint32_t state = 0;
  SegmentIndex index{};
  const uint32_t fit[] = {5, 6};
  std::string text(SegmentsFieldLength(SEGMENT_SIZE_MIN, fit, 2), '\0');
  text.resize(FormatSegmentsField(SEGMENT_SIZE_MIN, fit, 2, &text[0], text.size()));
  ReadSegmentsField(text.c_str(), &state, &index);
  EXPECT_EQ(state, SEGMENTS_PRESENT);
  ASSERT_EQ(index.count, 2u);
  EXPECT_EQ(index.storedEnd[1], 11u);
  FreeSegmentIndex(&index);
}

}  // namespace
