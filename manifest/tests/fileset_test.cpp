// The file set's plan: "main.msi" first, cabinet lines of the chosen source in manifest
// order, failed plans kept in the array, names and fields that must fail before anything is
// written; and each planned file read through fileread.h, which finds what only decoding
// shows (another size, a wrong digest or signature, a corrupt stream or index).
#include "manifest/fileset.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/fileread.h"
#include "manifest/segments.h"
#include "manifest/tests/fixture.h"
#include "payload/tests/testkit.h"

namespace {

// The content of FileRecord `id` in these tests.
Bytes Content(uint32_t id) {
  std::string s = "file record " + std::to_string(id);
  return Bytes(s.begin(), s.end());
}

// A container holding `manifest` and the FileRecords `ids`, plain (flags 0) or compressed and
// signed with the development key (flags 3).
Bytes Container(const Bytes& manifest, const std::vector<uint32_t>& ids, bool signedRecords) {
  Bytes container;
  if (signedRecords) {
    AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest);
    for (uint32_t id : ids) AppendSignedRecord(&container, RECORD_TYPE_FILE, id, Content(id));
  } else {
    AppendRawRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, Bytes());
    for (uint32_t id : ids) AppendRawRecord(&container, RECORD_TYPE_FILE, id, Content(id), Bytes());
  }
  return container;
}

void AddSource(const Entries& entries, const std::vector<uint32_t>& ids,
               bool signedRecords = false) {
  Bytes manifest = Manifest(entries);
  RegisterSource(manifest, Container(manifest, ids, signedRecords),
                 signedRecords ? SOURCE_COMPRESSED | SOURCE_SIGNED : 0);
}

// A selection of entry `entryId` of source `sourceIndex`, as the exact-language pass for
// 1033 on x64 makes it (the plan finds the descriptor again by that pass).
PackageSelection Chosen(int32_t sourceIndex, uint32_t entryId) {
  PackageSelection selection;
  std::memset(&selection, 0, sizeof(selection));
  selection.pass = SELECTION_PASS_EXACT;
  selection.lcid = 1033;
  selection.is64Bit = 1;
  selection.sourceIndex = sourceIndex;
  selection.entryId = entryId;
  return selection;
}

struct Item {
  std::string name;
  uint32_t dataOf;  // the record id whose content the item holds; 0: no data
  bool operator==(const Item& o) const { return name == o.name && dataOf == o.dataOf; }
};

void PrintTo(const Item& i, std::ostream* os) { *os << "{" << i.name << ", " << i.dataOf << "}"; }

class FileSetTest : public SourceTableTest {
 protected:
  void TearDown() override {
    Release();
    SourceTableTest::TearDown();
  }
  bool Assemble(int32_t sourceIndex, uint32_t entryId, uint32_t flags = 0) {
    Release();
    PackageSelection selection = Chosen(sourceIndex, entryId);
    // These cases are about cabinet lines, not digests: assembled as an accepting stub does.
    return StatusOk(AssembleFileSet(&gSourceTable, &selection, &items_, &count_, flags));
  }
  // The items as (name, id of the record whose bytes reading the item gives; 0 when reading
  // it fails).
  std::vector<Item> Items(const std::vector<uint32_t>& candidates) const {
    std::vector<Item> out;
    for (int32_t i = 0; i < count_; ++i) {
      const FileSetItem& it = items_[i];
      uint32_t dataOf = 0;
      Bytes data;
      // An item whose plan failed has no place (no file record starts a container: the
      // manifest does) and is never read.
      const bool planned = it.place.dataOffset != 0;
      if (planned && StatusOk(ReadPlannedFile(&gSourceTable, &it, CollectBytes, &data))) {
        for (uint32_t id : candidates)
          if (data == Content(id)) dataOf = id;
        EXPECT_NE(dataOf, 0u) << it.name;
      }
      out.push_back({it.name, dataOf});
    }
    return out;
  }
  static bool CollectBytes(void* user, const uint8_t* data, uint32_t size) {
    static_cast<Bytes*>(user)->insert(static_cast<Bytes*>(user)->end(), data, data + size);
    return true;
  }
  void Release() {
    FreeFileSet(items_, count_);
    items_ = nullptr;
    count_ = 0;
  }
  FileSetItem* items_ = nullptr;
  int32_t count_ = 0;
};

TEST_F(FileSetTest, PackageWithoutCabinetsIsMainMsiAlone) {
  AddSource({{1000, "x64\\1033\\{A}\\A"}, {2000, "x64\\1031\\{B}\\B"}, {2001, "cab\\2000\\b.cab"}},
            {1000, 2000, 2001});
  ASSERT_TRUE(Assemble(0, 1000));
  std::vector<Item> want = {{"main.msi", 1000}};
  EXPECT_EQ(Items({1000, 2000, 2001}), want);
}

TEST_F(FileSetTest, CabinetLinesInManifestOrder) {
  const std::vector<uint32_t> ids = {1000, 1001, 1002, 1003, 1004, 1005,
                                     1006, 1007, 1008, 1009, 1010};
  AddSource({{1000, "x64\\1033\\{A}\\A"},
             {1001, "cab\\1000\\main.cab"},
             {1002, "CAB\\1000\\upper.cab"},
             {1003, "cab\\ 1000\\blank.cab"},
             {1004, "cab\\1000x\\suffix.cab"},
             {1005, "cab\\x1000\\letter.cab"},
             {1006, "cab\\1000"},
             {1007, "cab\\\\empty.cab"},
             {1008, "cab\\999;1000;1000\\twice.cab\\ignored"},
             {1009, "cabinet\\1000\\kind.cab"},
             {1010, "cab\\999\\other.cab"}},
            ids);
  // Another source naming the same id is ignored.
  AddSource({{1000, "x64\\1033\\{B}\\B"}, {1001, "cab\\1000\\foreign.cab"}}, {1000, 1001});
  ASSERT_TRUE(Assemble(0, 1000));
  // A line that lists the package twice gives its file once.
  std::vector<Item> want = {{"main.msi", 1000},  {"main.cab", 1001},   {"upper.cab", 1002},
                            {"blank.cab", 1003}, {"suffix.cab", 1004}, {"twice.cab", 1008}};
  EXPECT_EQ(Items(ids), want);
}

TEST_F(FileSetTest, PackageInTheSecondSource) {
  AddSource({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}}, {1000, 1001});
  AddSource({{1000, "x64\\1033\\{B}\\B"}, {1002, "cab\\1000\\b.cab"}}, {1000, 1002});
  ASSERT_TRUE(Assemble(1, 1000));
  std::vector<Item> want = {{"main.msi", 1000}, {"b.cab", 1002}};
  EXPECT_EQ(Items({1000, 1001, 1002}), want);
}

TEST_F(FileSetTest, FailedRecordsFailTheAssemblyAndStayInTheArray) {
  // A cabinet's record is missing: the walk goes on, the item stays with its name only.
  AddSource(
      {{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\gone.cab"}, {1002, "cab\\1000\\b.cab"}},
      {1000, 1002});
  EXPECT_FALSE(Assemble(0, 1000));
  std::vector<Item> want = {{"main.msi", 1000}, {"gone.cab", 0}, {"b.cab", 1002}};
  EXPECT_EQ(Items({1000, 1002}), want);

  // The MSI's own record is missing: its item is handed over for clean-up too.
  SetUp();
  AddSource({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}}, {1001});
  EXPECT_FALSE(Assemble(0, 1000));
  want = {{"main.msi", 0}};
  EXPECT_EQ(Items({1001}), want);
}

TEST_F(FileSetTest, MalformedManifestFailsTheAssembly) {
  // Trailing bytes after the last cabinet line: the cabinets read so far stay in the array,
  // but a set that may miss cabinets is not handed on as complete.
  Bytes manifest = Manifest({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}});
  manifest.insert(manifest.end(), {0xE9, 0x03, 0x00});
  RegisterSource(manifest, Container(manifest, {1000, 1001}, false), 0);
  EXPECT_FALSE(Assemble(0, 1000));
  std::vector<Item> want = {{"main.msi", 1000}, {"a.cab", 1001}};
  EXPECT_EQ(Items({1000, 1001}), want);
}

TEST_F(FileSetTest, SignedCompressedRecordsAreVerified) {
  AddSource({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}, {1002, "cab\\1000\\b.cab"}},
            {1000, 1001, 1002}, true);
  ASSERT_TRUE(Assemble(0, 1000));
  std::vector<Item> want = {{"main.msi", 1000}, {"a.cab", 1001}, {"b.cab", 1002}};
  EXPECT_EQ(Items({1000, 1001, 1002}), want);

  // Corrupt the signature of the last record (1002): the plan stands (a signature is checked
  // over the decoded bytes), reading that file fails, the others read.
  PayloadSource& source = gSourceTable.sources[0];
  source.containerData[source.containerSize - RECORD_TRAILER_SIZE - 1] ^= 0x01;
  EXPECT_TRUE(Assemble(0, 1000));
  want = {{"main.msi", 1000}, {"a.cab", 1001}, {"b.cab", 0}};
  EXPECT_EQ(Items({1000, 1001, 1002}), want);
}

// "sha256=<hex>" of Content(id), the digest field an entry for it carries.
std::string DigestFieldOf(uint32_t id) {
  const Bytes content = Content(id);
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(content.data(), static_cast<uint32_t>(content.size()), digest);
  static const char kDigits[] = "0123456789abcdef";
  std::string field = RECORD_DIGEST_PREFIX;
  for (uint8_t b : digest) field += kDigits[b >> 4], field += kDigits[b & 15];
  return field;
}

TEST_F(FileSetTest, DigestFieldsBindRecordsToTheirEntries) {
  // Records 1000 and 1001 are signed genuinely; in the relabelled cases one of them holds the
  // content of another record (1002) under its id. Each case runs as the default stub does
  // (digests required) and as one built to accept unbound manifests.
  struct Case {
    const char* what;
    std::string msiField, cabField;
    uint32_t msiHolds, cabHolds;
    bool okRequired, okAccepting;
    std::vector<Item> wantRequired, wantAccepting;
  };
  const std::string bad = std::string(RECORD_DIGEST_PREFIX) + "not-hex";
  const std::vector<Item> both = {{"main.msi", 1000}, {"a.cab", 1001}};
  const std::vector<Item> msiOnly = {{"main.msi", 1000}, {"a.cab", 0}};
  const std::vector<Item> none = {{"main.msi", 0}};
  const std::vector<Item> cabOnly = {{"main.msi", 0}, {"a.cab", 1001}};
  // A relabelled record is planned (the plan decodes nothing) and fails when it is read.
  const Case cases[] = {
      {"bound", DigestFieldOf(1000), DigestFieldOf(1001), 1000, 1001, true, true, both, both},
      {"no digest fields", "", "", 1000, 1001, false, true, none, both},
      {"cabinet line without a digest", DigestFieldOf(1000), "", 1000, 1001, false, true, msiOnly,
       both},
      {"MSI without a digest", "", DigestFieldOf(1001), 1000, 1001, false, true, none, both},
      {"MSI relabelled", DigestFieldOf(1000), DigestFieldOf(1001), 1002, 1001, true, true,
       cabOnly, cabOnly},
      {"cabinet relabelled", DigestFieldOf(1000), DigestFieldOf(1001), 1000, 1002, true, true,
       msiOnly, msiOnly},
      // Without a digest field only the signature speaks for a record, and it does not name it:
      // only a stub that accepts unbound manifests takes it.
      {"relabelled, no digest fields", "", "", 1000, 1002, false, true, none,
       {{"main.msi", 1000}, {"a.cab", 1002}}},
      {"malformed MSI digest", bad, DigestFieldOf(1001), 1000, 1001, false, false, none, none},
      {"malformed cabinet digest", DigestFieldOf(1000), bad, 1000, 1001, false, false, msiOnly,
       msiOnly},
  };
  for (const Case& c : cases) {
    for (bool require : {true, false}) {
      SetUp();
      const std::string descriptor =
          "x64\\1033\\{A}\\A" + (c.msiField.empty() ? "" : "\\" + c.msiField);
      const std::string line = "cab\\1000\\a.cab" + (c.cabField.empty() ? "" : "\\" + c.cabField);
      const Bytes manifest = Manifest({{1000, descriptor}, {1001, line}});
      Bytes container;
      AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest);
      AppendSignedRecord(&container, RECORD_TYPE_FILE, 1000, Content(c.msiHolds));
      AppendSignedRecord(&container, RECORD_TYPE_FILE, 1001, Content(c.cabHolds));
      RegisterSource(manifest, container, SOURCE_COMPRESSED | SOURCE_SIGNED);

      Release();
      PackageSelection selection;
      std::memset(&selection, 0, sizeof(selection));
      const SelectionContext context = {1033, 1};
      ASSERT_TRUE(StatusOk(SelectPackage(&context, &selection))) << c.what;
      const char* mode = require ? " (digests required)" : " (unbound accepted)";
      EXPECT_EQ(StatusOk(AssembleFileSet(&gSourceTable, &selection, &items_, &count_,
                                         require ? FILESET_REQUIRE_DIGESTS : 0u)),
                require ? c.okRequired : c.okAccepting)
          << c.what << mode;
      EXPECT_EQ(Items({1000, 1001, 1002}), require ? c.wantRequired : c.wantAccepting)
          << c.what << mode;
      Release();
      TearDown();
    }
  }
}

// "size=<n>" with n the length of Content(id) plus `off`.
std::string SizeFieldOf(uint32_t id, int off = 0) {
  return RECORD_SIZE_PREFIX + std::to_string(static_cast<int>(Content(id).size()) + off);
}

TEST_F(FileSetTest, SizeFieldsFixTheDecodedLength) {
  // The size field follows the digest field; a size that is no 32-bit decimal number fails
  // the plan, and so does any other length of a plain record (its stored length is its
  // size). A compressed record shows its length only as it decodes: reading it fails.
  struct Case {
    const char* what;
    std::string msiSize, cabSize;
    bool okCompressed, okPlain;
    std::vector<Item> want;
  };
  const Case cases[] = {
      {"exact sizes", SizeFieldOf(1000), SizeFieldOf(1001), true, true,
       {{"main.msi", 1000}, {"a.cab", 1001}}},
      {"MSI one byte short", SizeFieldOf(1000, -1), SizeFieldOf(1001), true, false,
       {{"main.msi", 0}, {"a.cab", 1001}}},
      {"cabinet one byte long", SizeFieldOf(1000), SizeFieldOf(1001, 1), true, false,
       {{"main.msi", 1000}, {"a.cab", 0}}},
      {"cabinet size 0", SizeFieldOf(1000), "size=0", true, false,
       {{"main.msi", 1000}, {"a.cab", 0}}},
      {"MSI size malformed", "size=12x", SizeFieldOf(1001), false, false, {{"main.msi", 0}}},
      {"cabinet size over 32 bits", SizeFieldOf(1000), "size=4294967296", false, false,
       {{"main.msi", 1000}, {"a.cab", 0}}},
      {"cabinet size wrapping to the right one", SizeFieldOf(1000),
       "size=" + std::to_string(0x100000000ull + Content(1001).size()), false, false,
       {{"main.msi", 1000}, {"a.cab", 0}}},
      {"a size no stored length can make", SizeFieldOf(1000), "size=4000000000", false, false,
       {{"main.msi", 1000}, {"a.cab", 0}}},
  };
  for (bool compressed : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (compressed ? ", compressed" : ", plain"));
      SetUp();
      const std::string descriptor = "x64\\1033\\{A}\\A\\" + DigestFieldOf(1000) + "\\" + c.msiSize;
      const std::string line = "cab\\1000\\a.cab\\" + DigestFieldOf(1001) + "\\" + c.cabSize;
      AddSource({{1000, descriptor}, {1001, line}}, {1000, 1001}, compressed);
      Release();
      PackageSelection selection;
      std::memset(&selection, 0, sizeof(selection));
      const SelectionContext context = {1033, 1};
      ASSERT_TRUE(StatusOk(SelectPackage(&context, &selection)));
      EXPECT_EQ(StatusOk(AssembleFileSet(&gSourceTable, &selection, &items_, &count_,
                                         FILESET_REQUIRE_DIGESTS)),
                compressed ? c.okCompressed : c.okPlain);
      std::vector<Item> want = c.want;
      // A plain record's plan fails at its size: nothing after it is planned.
      if (!compressed && !c.okPlain && c.okCompressed && want[0].dataOf == 0) want.resize(1);
      EXPECT_EQ(Items({1000, 1001}), want);
      Release();
      TearDown();
    }
  }
}

// A record with a segment index: the index is checked against the record's stored size
// before anything is written, and each segment against its stored bytes as it decodes.
TEST_F(FileSetTest, SegmentIndexesArePlannedAndChecked) {
  const uint32_t kSegment = SEGMENT_SIZE_MIN;
  const Bytes content = Concat(NoiseBytes(kSegment + 4096, 7), TextBytes(kSegment + 77, 8));
  std::vector<uint32_t> lengths;
  const Bytes stored = SegmentedDeflate(content, kSegment, &lengths);
  ASSERT_EQ(lengths.size(), 3u);
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(content.data(), static_cast<uint32_t>(content.size()), digest);
  static const char kDigits[] = "0123456789abcdef";
  std::string digestField = RECORD_DIGEST_PREFIX;
  for (uint8_t b : digest) digestField += kDigits[b >> 4], digestField += kDigits[b & 15];
  const std::string sizeField = RECORD_SIZE_PREFIX + std::to_string(content.size());
  auto index = [&](std::vector<uint32_t> l) {
    std::vector<char> field(SegmentsFieldLength(kSegment, l.data(), static_cast<uint32_t>(l.size())));
    FormatSegmentsField(kSegment, l.data(), static_cast<uint32_t>(l.size()), field.data(), field.size());
    return std::string(field.data());
  };
  std::vector<uint32_t> moved = lengths;  // the same total, a boundary one byte off
  moved[0] += 1;
  moved[1] -= 1;
  std::vector<uint32_t> longer = lengths;
  longer[2] += 1;
  struct Case {
    const char* what;
    std::string fields;  // behind the digest field
    bool planned, read;
  } cases[] = {
      {"the record's index", sizeField + "\\" + index(lengths), true, true},
      {"no index: one stream", sizeField, true, true},
      {"an index past the stored size", sizeField + "\\" + index(longer), false, false},
      {"an index without a size", "\\" + index(lengths), false, false},
      {"a malformed index", sizeField + "\\segments=1048576:", false, false},
      {"a boundary off by one", sizeField + "\\" + index(moved), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    const Bytes manifest =
        Manifest({{1000, "x64\\1033\\{A}\\A\\" + digestField + "\\" + c.fields}});
    Bytes container;
    AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest);
    AppendRawRecord(&container, RECORD_TYPE_FILE, 1000, stored, SignContent(content));
    RegisterSource(manifest, container, SOURCE_COMPRESSED | SOURCE_SIGNED);
    PackageSelection selection;
    const SelectionContext context = {1033, 1};
    ASSERT_TRUE(StatusOk(SelectPackage(&context, &selection)));
    Release();
    const Status planned =
        AssembleFileSet(&gSourceTable, &selection, &items_, &count_, FILESET_REQUIRE_DIGESTS);
    EXPECT_EQ(StatusOk(planned), c.planned) << StatusCode(planned);
    if (!c.planned) EXPECT_EQ(StatusCode(planned), 13u);
    ASSERT_EQ(count_, 1);
    if (c.planned) {
      Bytes read;
      const Status status = ReadPlannedFile(&gSourceTable, &items_[0], CollectBytes, &read);
      EXPECT_EQ(StatusOk(status), c.read) << StatusCode(status);
      if (c.read) EXPECT_TRUE(read == content);
      if (!c.read) EXPECT_EQ(StatusCode(status), 13u);
    }
    Release();
    TearDown();
  }
}

TEST_F(FileSetTest, UnsafeOrOverlongCabinetLinesFail) {
  const std::string long256(256, 'c'), long255(251, 'c');
  struct Case {
    std::string line;
    bool ok;
  } cases[] = {
      {"cab\\1000\\../x.cab", false},
      {"cab\\1000\\..", false},
      {"cab\\1000\\a/b.cab", false},
      {"cab\\1000\\C:x.cab", false},
      {"cab\\1000\\x\x01.cab", false},
      {"cab\\1000\\" + long256, false},
      {"cab\\1000;" + std::string(251, '0') + "\\x.cab", false},
      {"cab\\1000;" + std::string(252, '0') + "\\x.cab", false},
      // A cabinet named like the MSI: two files of one name cannot both be extracted.
      {"cab\\1000\\MAIN.msi", false},
      {"cab\\1000\\" + long255 + ".cab", true},
  };
  for (const auto& c : cases) {
    SetUp();
    AddSource({{1000, "x64\\1033\\{A}\\A"}, {1001, c.line}, {1002, "cab\\1000\\b.cab"}},
              {1000, 1001, 1002});
    EXPECT_EQ(Assemble(0, 1000), c.ok) << c.line;
    // Nothing is written under an unsafe or cut name; the lines after it are still taken.
    std::vector<Item> got = Items({1000, 1001, 1002});
    std::vector<Item> want = {{"main.msi", 1000}, {"b.cab", 1002}};
    if (c.ok) want.insert(want.begin() + 1, Item{long255 + ".cab", 1001});
    EXPECT_EQ(got, want) << c.line;
  }
}

// A second line naming a file the set already has (letters of any case) fails the set; the
// first file stays.
TEST_F(FileSetTest, DuplicateFileNamesFail) {
  struct Case {
    std::vector<std::pair<uint32_t, std::string>> lines;
    std::vector<Item> want;
  } cases[] = {
      {{{1001, "cab\\1000\\a.cab"}, {1002, "cab\\1000\\A.CAB"}}, {{"main.msi", 1000}, {"a.cab", 1001}}},
      {{{1001, "cab\\1000\\a.cab"}, {1002, "cab\\999;1000\\a.cab"}},
       {{"main.msi", 1000}, {"a.cab", 1001}}},
  };
  for (const auto& c : cases) {
    SetUp();
    Entries entries = {{1000, "x64\\1033\\{A}\\A"}};
    for (const auto& l : c.lines) entries.push_back({l.first, l.second});
    AddSource(entries, {1000, 1001, 1002});
    EXPECT_FALSE(Assemble(0, 1000)) << c.lines.back().second;
    EXPECT_EQ(Items({1000, 1001, 1002}), c.want) << c.lines.back().second;
  }
}

TEST(PlanFileSetItem, NameLongerThanTheItemFails) {
  FileSetItem item;
  std::memset(&item, 0x5A, sizeof(item));
  std::string name(300, 'n');
  const SourceTable none = {};
  EXPECT_EQ(StatusCode(PlanFileSetItem(&none, 0, 1, &item, name.c_str(), nullptr, nullptr,
                                       SEGMENTS_ABSENT, nullptr, false)),
            13u);
  EXPECT_EQ(std::string(item.name), name.substr(0, ITEM_PATH_SIZE - 1));
  EXPECT_EQ(item.place.dataSize, 0u);
  EXPECT_EQ(item.segments.storedEnd, nullptr);
}

#ifndef _WIN32
// Every allocation of the assembly failing in turn: the result is false until there is
// memory enough, and what is handed over is exactly what clean-up frees.
TEST_F(FileSetTest, AllocationFailuresLeaveNothingBehind) {
  AddSource({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}, {1002, "cab\\1000\\b.cab"}},
            {1000, 1001, 1002}, true);
  const long live = HostLiveAllocations();
  bool succeeded = false;
  for (long n = 0; n < 200 && !succeeded; ++n) {
    HostFailAllocationAfter(n);
    succeeded = Assemble(0, 1000);
    HostFailAllocationAfter(-1);
    if (succeeded) {
      ASSERT_EQ(count_, 3);
    } else {
      EXPECT_LE(count_, 3);
    }
    Release();
    EXPECT_EQ(HostLiveAllocations(), live) << n;
  }
  EXPECT_TRUE(succeeded);
}
#endif

}  // namespace
