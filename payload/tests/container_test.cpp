// Record lookup: the backward trailer scan over hand-laid containers. Every container is
// handed over in a heap block of its exact size, so a read outside it trips ASan natively.
// Every FindRecord lookup is also made by LocateSourceRecord on the same container as a
// source in memory and in a file (behind other bytes), each with and without its index, and
// must find the same record. ReadSourceBytes: ranges at and past a source's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/format.h"
#include "payload/container.h"
#include "payload/sources.h"
#include "tempfile.h"

namespace {
using Bytes = std::vector<uint8_t>;

const uint8_t kForeignType[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                  0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};

void Append(Bytes* c, const uint8_t type[16], uint32_t id, uint32_t dataSize, uint32_t sigSize,
            uint8_t fill) {
  c->insert(c->end(), dataSize, fill);
  c->insert(c->end(), sigSize, static_cast<uint8_t>(fill + 1));
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, sigSize, dataSize);
  c->insert(c->end(), trailer, trailer + RECORD_TRAILER_SIZE);
}

// Appends a bare trailer whose sizes are given as they are, fitting or not.
void AppendTrailer(Bytes* c, const uint8_t type[16], uint32_t id, uint32_t dataSize,
                   uint32_t sigSize) {
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, sigSize, dataSize);
  c->insert(c->end(), trailer, trailer + RECORD_TRAILER_SIZE);
}

// Bytes a file holds in front of the container of a file source.
const uint32_t kFileLead = 7;

Bytes WithLead(const Bytes& bytes) {
  Bytes file(kFileLead, 0xA5);
  file.insert(file.end(), bytes.begin(), bytes.end());
  return file;
}

// Exact-size copy of a container, and lookups in it expressed as offsets.
struct Exact {
  explicit Exact(const Bytes& bytes) : size(static_cast<uint32_t>(bytes.size())), file(WithLead(bytes)) {
    block.reset(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  }
  Status Find(const uint8_t type[16], uint32_t id, RecordSpan* span) const {
    const Status status = FindRecord(size ? block.get() : nullptr, size, type, id, span);
    ExpectLocateAgrees(type, id, status, *span);
    return status;
  }
  // LocateSourceRecord finds what FindRecord found (`status`, `span`) on every kind of source.
  void ExpectLocateAgrees(const uint8_t type[16], uint32_t id, Status status,
                          const RecordSpan& span) const {
    PayloadSource memory;
    std::memset(&memory, 0, sizeof(memory));
    memory.containerData = size ? block.get() : nullptr;
    memory.containerSize = size;
    PayloadSource inFile = memory;
    inFile.containerData = nullptr;
    inFile.file = file.handle();
    inFile.fileOffset = kFileLead;
    for (PayloadSource* source : {&memory, &inFile}) {
      for (bool indexed : {false, true}) {
        SCOPED_TRACE(std::string(source->file ? "file" : "memory") + (indexed ? ", indexed" : ""));
        if (indexed) ASSERT_EQ(StatusCode(IndexSourceRecords(source)), 0u);
        RecordPlace place;
        std::memset(&place, 0xCD, sizeof(place));
        const Status located = LocateSourceRecord(source, type, id, &place);
        EXPECT_EQ(StatusCode(located), StatusCode(status));
        if (StatusOk(located) && StatusOk(status)) {
          EXPECT_EQ(place.dataOffset, static_cast<uint32_t>(span.data - block.get()));
          EXPECT_EQ(place.dataSize, span.dataSize);
          EXPECT_EQ(place.signatureOffset, static_cast<uint32_t>(span.signature - block.get()));
          EXPECT_EQ(place.signatureSize, span.signatureSize);
        }
        FreeSourceRecordIndex(source);
      }
    }
  }
  std::unique_ptr<uint8_t[]> block;
  uint32_t size;
  TempFile file;
};

struct Expect {
  long dataAt;  // -1: not found
  uint32_t dataSize;
  uint32_t signatureSize;
};

void ExpectLookup(const Exact& c, const uint8_t type[16], uint32_t id, Expect want) {
  RecordSpan span;
  std::memset(&span, 0xCD, sizeof(span));
  RecordSpan untouched = span;
  Status status = c.Find(type, id, &span);
  if (want.dataAt < 0) {
    EXPECT_EQ(StatusCode(status), static_cast<uint32_t>(ERROR_NOT_FOUND));
    EXPECT_EQ(std::memcmp(&span, &untouched, sizeof(span)), 0) << "span written on failure";
    return;
  }
  ASSERT_EQ(StatusCode(status), 0u);
  EXPECT_EQ(span.data - c.block.get(), want.dataAt);
  EXPECT_EQ(span.dataSize, want.dataSize);
  EXPECT_EQ(span.signature, span.data + want.dataSize);
  EXPECT_EQ(span.signatureSize, want.signatureSize);
}

// 40 bytes of something else, manifest (135 + 256), file 1000 (5000 + 256), file 1001 (77 + 256).
Bytes SampleLayout() {
  Bytes c(40, 0xEE);
  Append(&c, RECORD_TYPE_MANIFEST, 0, 135, 256, 0x10);
  Append(&c, RECORD_TYPE_FILE, 1000, 5000, 256, 0x20);
  Append(&c, RECORD_TYPE_FILE, 1001, 77, 256, 0x30);
  return c;
}
const long kManifestAt = 40;
const long kFile1000At = kManifestAt + 135 + 256 + 28;
const long kFile1001At = kFile1000At + 5000 + 256 + 28;
}  // namespace

TEST(FindRecord, ManifestTrailerLayoutMatchesTheFormat) {
  Bytes c;
  Append(&c, RECORD_TYPE_MANIFEST, 0, 135, 256, 0);
  const uint8_t want[28] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46, 0x91, 0x8c,
                            0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x01, 0x00, 0x00, 0x87, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(c.data() + c.size() - 28, want, 28), 0);
}

TEST(FindRecord, ContainersShorterThanOneTrailerFindNothing) {
  Bytes full;
  Append(&full, RECORD_TYPE_MANIFEST, 0, 0, 0, 0);  // exactly one 28-byte trailer
  for (uint32_t n = 0; n < RECORD_TRAILER_SIZE; ++n) {
    Exact c(Bytes(full.end() - n, full.end()));
    ExpectLookup(c, RECORD_TYPE_MANIFEST, 0, {-1, 0, 0});
    ExpectLookup(c, RECORD_TYPE_FILE, 0, {-1, 0, 0});
  }
  ExpectLookup(Exact(full), RECORD_TYPE_MANIFEST, 0, {0, 0, 0});
}

TEST(FindRecord, LookupsInManifestFile1000File1001Layout) {
  Exact c(SampleLayout());
  struct Case {
    const uint8_t* type;
    uint32_t id;
    Expect want;
  } cases[] = {
      {RECORD_TYPE_FILE, 1001, {kFile1001At, 77, 256}},
      {RECORD_TYPE_FILE, 1000, {kFile1000At, 5000, 256}},
      {RECORD_TYPE_FILE, 1002, {-1, 0, 0}},
      {RECORD_TYPE_FILE, 0, {-1, 0, 0}},
      {RECORD_TYPE_MANIFEST, 0, {kManifestAt, 135, 256}},
      {RECORD_TYPE_MANIFEST, 1, {-1, 0, 0}},
      {RECORD_TYPE_MANIFEST, 1000, {-1, 0, 0}},
      {kForeignType, 1000, {-1, 0, 0}},
      {kForeignType, 0, {-1, 0, 0}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.id);
    ExpectLookup(c, k.type, k.id, k.want);
  }
}

TEST(FindRecord, ForeignLastTrailerHidesEveryRecord) {
  Bytes bytes = SampleLayout();
  AppendTrailer(&bytes, kForeignType, 1001, 0, 0);
  Exact foreign(bytes);
  bytes = SampleLayout();
  bytes.insert(bytes.end(), 28, 0x00);
  Exact zeros(bytes);
  for (const Exact* c : {&foreign, &zeros}) {
    ExpectLookup(*c, RECORD_TYPE_MANIFEST, 0, {-1, 0, 0});
    ExpectLookup(*c, RECORD_TYPE_FILE, 1000, {-1, 0, 0});
    ExpectLookup(*c, RECORD_TYPE_FILE, 1001, {-1, 0, 0});
  }
}

TEST(FindRecord, EmptyManifestRecordMatchesAtItsTrailer) {
  Bytes bytes(3, 0x99);
  Append(&bytes, RECORD_TYPE_MANIFEST, 0, 0, 0, 0);
  Exact c(bytes);
  RecordSpan span;
  ASSERT_EQ(StatusCode(c.Find(RECORD_TYPE_MANIFEST, 0, &span)), 0u);
  EXPECT_EQ(span.data, c.block.get() + 3);
  EXPECT_EQ(span.signature, span.data);
  EXPECT_EQ(span.dataSize, 0u);
  EXPECT_EQ(span.signatureSize, 0u);
}

TEST(FindRecord, ManifestFillingTheWholeContainerMatches) {
  Bytes bytes;
  Append(&bytes, RECORD_TYPE_MANIFEST, 0, 9, 256, 0x40);
  Append(&bytes, RECORD_TYPE_FILE, 7, 0, 256, 0x50);
  Exact c(bytes);
  ExpectLookup(c, RECORD_TYPE_MANIFEST, 0, {0, 9, 256});
  ExpectLookup(c, RECORD_TYPE_FILE, 7, {9 + 256 + 28, 0, 256});
}

// A manifest trailer whose sizes do not fit ends the scan; a file trailer that does not fit
// is stepped over, 28 bytes back (signature too large) or in front of its signature (data too
// large), where the scan here meets the valid trailer of file 1000.
TEST(FindRecord, MalformedManifestEndsScanMalformedFileIsSteppedOver) {
  struct Case {
    const char* name;
    const uint8_t* type;
    uint32_t dataSize;
    uint32_t sigSize;
    uint32_t sigBytesPresent;
    bool file1000Found;
  } cases[] = {
      {"manifest signature past start", RECORD_TYPE_MANIFEST, 0, 0xFFFFFFFFu, 0, false},
      {"manifest data past start", RECORD_TYPE_MANIFEST, 0xFFFFFF00u, 16, 16, false},
      {"file signature past start", RECORD_TYPE_FILE, 0, 0xFFFFFFF0u, 0, true},
      {"file data past start", RECORD_TYPE_FILE, 0xFFFFFFFFu, 16, 16, true},
      {"manifest data plus signature wraps", RECORD_TYPE_MANIFEST, 0xFFFFFFF0u, 16, 16, false},
      {"file data plus signature wraps", RECORD_TYPE_FILE, 0xFFFFFFF0u, 16, 16, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes bytes = SampleLayout();
    bytes.resize(kFile1001At);  // manifest and file 1000 only
    bytes.insert(bytes.end(), k.sigBytesPresent, 0x77);
    AppendTrailer(&bytes, k.type, 1000, k.dataSize, k.sigSize);
    Exact c(bytes);
    ExpectLookup(c, RECORD_TYPE_FILE, 1000,
                 k.file1000Found ? Expect{kFile1000At, 5000, 256} : Expect{-1, 0, 0});
    ExpectLookup(c, RECORD_TYPE_MANIFEST, 0,
                 k.file1000Found ? Expect{kManifestAt, 135, 256} : Expect{-1, 0, 0});
  }
}

TEST(FindRecord, ManifestWithTooLargeSizesAloneIsNotFound) {
  for (uint32_t extra : {1u, 1000u}) {
    Bytes bytes(100, 0x11);
    AppendTrailer(&bytes, RECORD_TYPE_MANIFEST, 0, 0, 100 + extra);
    ExpectLookup(Exact(bytes), RECORD_TYPE_MANIFEST, 0, {-1, 0, 0});
    bytes.resize(100);
    AppendTrailer(&bytes, RECORD_TYPE_MANIFEST, 0, 50 + extra, 50);
    ExpectLookup(Exact(bytes), RECORD_TYPE_MANIFEST, 0, {-1, 0, 0});
    bytes.resize(100);
    AppendTrailer(&bytes, RECORD_TYPE_MANIFEST, 0, 50, 50);  // exactly fits
    ExpectLookup(Exact(bytes), RECORD_TYPE_MANIFEST, 0, {0, 50, 50});
  }
}

TEST(FindRecord, LaterOfTwoEqualIdsIsFound) {
  Bytes bytes;
  Append(&bytes, RECORD_TYPE_MANIFEST, 0, 10, 256, 0x10);
  Append(&bytes, RECORD_TYPE_FILE, 1000, 20, 256, 0x20);
  const long secondAt = static_cast<long>(bytes.size());
  Append(&bytes, RECORD_TYPE_FILE, 1000, 30, 256, 0x60);
  Exact c(bytes);
  ExpectLookup(c, RECORD_TYPE_FILE, 1000, {secondAt, 30, 256});
}

// Every cut of the sample container, at its front or its end, is scanned without reading
// outside it (ASan) and answers consistently: front cuts keep what lies behind the cut.
TEST(FindRecord, CutContainersStayInBounds) {
  const Bytes full = SampleLayout();
  for (size_t cut = 0; cut <= full.size(); cut += (cut < 600 || full.size() - cut < 600) ? 1 : 97) {
    Exact front(Bytes(full.begin() + static_cast<long>(cut), full.end()));
    Exact back(Bytes(full.begin(), full.end() - static_cast<long>(cut)));
    RecordSpan span;
    const bool manifestWhole = cut <= static_cast<size_t>(kManifestAt);
    EXPECT_EQ(StatusOk(front.Find(RECORD_TYPE_MANIFEST, 0, &span)), manifestWhole) << cut;
    EXPECT_EQ(StatusOk(front.Find(RECORD_TYPE_FILE, 1001, &span)),
              cut <= static_cast<size_t>(kFile1001At))
        << cut;
    const size_t end = full.size() - cut;  // back cuts find the manifest at record ends only
    EXPECT_EQ(StatusOk(back.Find(RECORD_TYPE_MANIFEST, 0, &span)),
              end == full.size() || end == static_cast<size_t>(kFile1001At) ||
                  end == static_cast<size_t>(kFile1000At))
        << cut;
    back.Find(RECORD_TYPE_FILE, 1000, &span);
  }
}

// Trailers met a window at a time in a file: hundreds of records of a few bytes each (ids
// repeated, so the later of two is found), with one record larger than a window among them.
TEST(FindRecord, ManyRecordsAcrossTrailerWindows) {
  Bytes bytes;
  Append(&bytes, RECORD_TYPE_MANIFEST, 0, 3, 5, 0x10);
  for (uint32_t i = 0; i < 600; ++i) {
    Append(&bytes, RECORD_TYPE_FILE, 1000 + i % 250, i % 3, i % 5, static_cast<uint8_t>(i));
    if (i == 300) Append(&bytes, RECORD_TYPE_FILE, 5000, 9000, 256, 0x33);
  }
  Exact c(bytes);
  RecordSpan span;
  for (uint32_t id : {0u, 999u, 1000u, 1001u, 1125u, 1249u, 1250u, 5000u}) {
    SCOPED_TRACE(id);
    c.Find(RECORD_TYPE_FILE, id, &span);
  }
  EXPECT_EQ(StatusCode(c.Find(RECORD_TYPE_MANIFEST, 0, &span)), 0u);
  EXPECT_EQ(span.data, c.block.get());
}

namespace {
std::vector<uint8_t> Numbered(uint32_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}
}  // namespace

TEST(ReadSourceBytes, RangesInsideTheContainerOnlyFromMemoryOrFile) {
  const Bytes container = Numbered(100);
  const TempFile file(WithLead(container));
  PayloadSource memory;
  std::memset(&memory, 0, sizeof(memory));
  memory.containerData = const_cast<uint8_t*>(container.data());
  memory.containerSize = 100;
  PayloadSource inFile = memory;
  inFile.containerData = nullptr;
  inFile.file = file.handle();
  inFile.fileOffset = kFileLead;
  struct Case {
    uint32_t offset;
    uint32_t size;
    uint32_t code;
  } cases[] = {
      {0, 100, 0},  {99, 1, 0},   {100, 0, 0},   {0, 0, 0},           {37, 20, 0},
      {100, 1, 13}, {101, 0, 13}, {50, 51, 13},  {0xFFFFFFFFu, 2, 13}, {1, 0xFFFFFFFFu, 13},
      {0, 101, 13},
  };
  for (const PayloadSource* source : {&memory, &inFile}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(source->file ? "file " : "memory ") + std::to_string(k.offset) +
                   "+" + std::to_string(k.size));
      Bytes out(k.size < 200 ? k.size + 1 : 1, 0xEE);
      const Status status = ReadSourceBytes(source, k.offset, k.size, out.data());
      EXPECT_EQ(StatusCode(status), k.code);
      if (k.code == 0) {
        EXPECT_TRUE(std::equal(out.begin(), out.end() - 1, container.begin() + k.offset));
        EXPECT_EQ(out.back(), 0xEE) << "written past the range";
      }
    }
  }

  // A file shorter than its source claims: a read failure, not bytes of nowhere.
  inFile.containerSize = 120;
  for (uint32_t offset : {90u, 100u, 115u}) {
    Bytes out(10);
    const uint32_t code = StatusCode(ReadSourceBytes(&inFile, offset, 5, out.data()));
    EXPECT_EQ(code, offset + 5 <= 100 ? 0u : static_cast<uint32_t>(ERROR_READ_FAULT)) << offset;
  }
}
