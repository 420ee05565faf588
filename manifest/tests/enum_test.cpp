// The manifest walk: order, entry layout, malformed tails, empty and odd entries, stopping.
#include "manifest/enum.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "manifest/tests/fixture.h"

namespace {

struct Visit {
  int32_t source;
  uint32_t id;
  std::string text;
  bool operator==(const Visit& o) const {
    return source == o.source && id == o.id && text == o.text;
  }
};

void PrintTo(const Visit& v, std::ostream* os) {
  *os << "{" << v.source << ", " << v.id << ", \"" << v.text << "\"}";
}

struct Recorder {
  std::vector<Visit> visits;
  size_t stopAfter = 0;  // 0: never stop
};

bool Record(int32_t source, const ManifestFields* entry, void* userData) {
  auto* r = static_cast<Recorder*>(userData);
  std::string text;
  for (uint32_t i = 0; i < entry->fieldCount && i < ENTRY_MAX_FIELDS; ++i)
    text += std::string(i ? "\\" : "") + EntryDisplayField(entry, i);
  r->visits.push_back({source, entry->id, text});
  return !(r->stopAfter != 0 && r->visits.size() >= r->stopAfter);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class EnumManifestEntriesTest : public SourceTableTest {};

TEST_F(EnumManifestEntriesTest, NoSourceVisitsNothing) {
  Recorder r;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  EXPECT_TRUE(r.visits.empty());
}

TEST_F(EnumManifestEntriesTest, VisitsSourcesInOrderAndSkipsEmptyManifests) {
  RegisterSource(Manifest({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}}));
  RegisterSource(Bytes());
  RegisterSource(Manifest({{7, "second"}}));
  Recorder r;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  std::vector<Visit> want = {
      {0, 1000, "x64\\1033\\{A}\\A"}, {0, 1001, "cab\\1000\\a.cab"}, {2, 7, "second"}};
  EXPECT_EQ(r.visits, want);
}

TEST_F(EnumManifestEntriesTest, TrailingBytesFailAfterTheWholeEntries) {
  for (size_t extra = 1; extra <= 7; ++extra) {
    SetUp();
    RegisterSource(Concat({Manifest({{1, "one"}, {2, "two"}}), Bytes(extra, 0)}));
    RegisterSource(Manifest({{3, "never"}}));
    Recorder r;
    EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 13u) << extra;
    std::vector<Visit> want = {{0, 1, "one"}, {0, 2, "two"}};
    EXPECT_EQ(r.visits, want) << extra;
  }
}

TEST_F(EnumManifestEntriesTest, EntryRunningPastTheEndIsNotVisited) {
  struct Case {
    uint32_t length;
    size_t bodySize;
  } cases[] = {{10, 8}, {0x7FFFFFFFu, 4}, {0xFFFFFFF8u, 2}, {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) {
    SetUp();
    RegisterSource(Concat({Manifest({{1, "one"}}), RawEntry(2, c.length, Bytes(c.bodySize, 'a'))}));
    Recorder r;
    EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 13u) << c.length;
    std::vector<Visit> want = {{0, 1, "one"}};
    EXPECT_EQ(r.visits, want) << c.length;
  }
}

TEST_F(EnumManifestEntriesTest, ShortAndOddLengths) {
  // Lengths 0 and 1 give the empty string; an odd length leaves its last byte unconverted and
  // the next entry unaligned; text stored without its NUL still arrives terminated.
  Bytes odd = Utf16("ab");
  odd.push_back('Z');
  RegisterSource(Concat({RawEntry(1, 0, {}), RawEntry(2, 1, {'Q'}), RawEntry(3, 7, odd),
                         RawEntry(4, 6, Utf16("xyz", false)), Manifest({{5, "last"}})}));
  Recorder r;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  std::vector<Visit> want = {{0, 1, ""}, {0, 2, ""}, {0, 3, "ab"}, {0, 4, "xyz"}, {0, 5, "last"}};
  EXPECT_EQ(r.visits, want);
}

TEST_F(EnumManifestEntriesTest, LongTextArrivesWhole) {
  std::string text(5000, 'k');
  text[0] = 'a';
  text[4999] = 'z';
  RegisterSource(Manifest({{9, text}}));
  Recorder r;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  ASSERT_EQ(r.visits.size(), 1u);
  EXPECT_EQ(r.visits[0].text, text);
}

TEST_F(EnumManifestEntriesTest, TextArrivesInTheActiveCodePage) {
  // "Gr\u00fc\u00dfe \u4e2d" stored as UTF-16LE: the host's code page is UTF-8; under Wine
  // (en_US) it is 1252, which has no U+4E2D and gives the default character.
  const uint16_t units[] = {'G', 'r', 0x00FC, 0x00DF, 'e', ' ', 0x4E2D, 0};
  Bytes text;
  for (uint16_t u : units) text.insert(text.end(), {uint8_t(u & 0xFF), uint8_t(u >> 8)});
  RegisterSource(RawEntry(1, static_cast<uint32_t>(text.size()), text));
  Recorder r;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  ASSERT_EQ(r.visits.size(), 1u);
#ifdef _WIN32
  EXPECT_EQ(r.visits[0].text, "Gr\xfc\xdf" "e ?");
#else
  EXPECT_EQ(r.visits[0].text, "Gr\xc3\xbc\xc3\x9f" "e \xe4\xb8\xad");
#endif
}

TEST_F(EnumManifestEntriesTest, VisitorStopsTheWholeWalk) {
  RegisterSource(Manifest({{1, "one"}, {2, "two"}}));
  RegisterSource(Manifest({{3, "three"}}));
  Recorder r;
  r.stopAfter = 1;
  EXPECT_EQ(StatusCode(EnumManifestEntries(Record, &r)), 0u);
  EXPECT_EQ(r.visits.size(), 1u);
}

#ifndef _WIN32
TEST_F(EnumManifestEntriesTest, EntryBlockAllocationFailureEndsTheWalk) {
  RegisterSource(Manifest({{1, "one"}, {2, "two"}}));
  long live = HostLiveAllocations();
  Recorder r;
  HostFailAllocationAfter(1);
  Status status = EnumManifestEntries(Record, &r);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(StatusCode(status), static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  std::vector<Visit> want = {{0, 1, "one"}};
  EXPECT_EQ(r.visits, want);
  EXPECT_EQ(HostLiveAllocations(), live);
}
#endif

}  // namespace
