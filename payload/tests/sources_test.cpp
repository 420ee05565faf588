// Payload sources: the SourceTable's growth and release, the whole-image source, and the
// PE32+ certificate-table checks on hand-made images.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "payload/sources.h"
#include "testkit.h"

namespace {
class SourceTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&gSourceTable, 0, sizeof(gSourceTable));
    baseline_ = LiveBlocks();
  }
  void TearDown() override {
    FreeSources();
    EXPECT_EQ(gSourceTable.sources, nullptr);
    EXPECT_EQ(gSourceTable.sourceCount, 0u);
    EXPECT_EQ(LiveBlocks(), baseline_) << "FreeSources left blocks behind";
  }
  long baseline_ = 0;
};

// A source whose container and manifest are owned blocks holding `tag`.
PayloadSource OwnedSource(uint8_t tag) {
  PayloadSource s;
  std::memset(&s, 0, sizeof(s));
  s.containerSize = 10 + tag;
  s.containerData = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, s.containerSize));
  std::memset(s.containerData, tag, s.containerSize);
  s.manifestSize = tag;
  s.manifest = tag ? static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, tag)) : nullptr;
  s.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  return s;
}

Bytes SignedContainer(const Bytes& manifest) {
  Bytes c;
  AppendSignedRecord(&c, RECORD_TYPE_MANIFEST, 0, manifest);
  AppendSignedRecord(&c, RECORD_TYPE_FILE, 1000, NoiseBytes(2000, 1));
  return c;
}
}  // namespace

TEST_F(SourceTableTest, AppendKeepsOrderAndFreeReleasesEverything) {
  for (uint8_t tag = 0; tag < 5; ++tag) {
    PayloadSource s = OwnedSource(tag);
    ASSERT_EQ(StatusCode(AppendSource(&s)), 0u);
    ASSERT_EQ(gSourceTable.sourceCount, tag + 1u);
  }
  for (uint8_t tag = 0; tag < 5; ++tag) {
    const PayloadSource& s = gSourceTable.sources[tag];
    EXPECT_EQ(s.containerSize, 10u + tag);
    EXPECT_EQ(s.containerData[s.containerSize - 1], tag);
    EXPECT_EQ(s.manifestSize, tag);
    EXPECT_EQ(s.manifest == nullptr, tag == 0);
  }
}

#ifndef _WIN32
TEST_F(SourceTableTest, FailedGrowthKeepsTheOldArrayAndCount) {
  for (uint8_t tag = 1; tag <= 2; ++tag) {
    PayloadSource s = OwnedSource(tag);
    ASSERT_EQ(StatusCode(AppendSource(&s)), 0u);
  }
  PayloadSource* before = gSourceTable.sources;
  PayloadSource extra = OwnedSource(3);
  HostFailAllocationAfter(0);
  Status status = AppendSource(&extra);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(StatusCode(status), static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(gSourceTable.sources, before);
  EXPECT_EQ(gSourceTable.sourceCount, 2u);
  EXPECT_EQ(gSourceTable.sources[1].containerData[0], 2);
  LocalFree(extra.containerData);
  LocalFree(extra.manifest);

  // The very first allocation failing leaves an empty table.
  FreeSources();
  PayloadSource first = OwnedSource(4);
  HostFailAllocationAfter(0);
  status = AppendSource(&first);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(StatusCode(status), static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(gSourceTable.sources, nullptr);
  EXPECT_EQ(gSourceTable.sourceCount, 0u);
  LocalFree(first.containerData);
  LocalFree(first.manifest);
}

TEST_F(SourceTableTest, ImageSourceAllocationFailuresLeaveNoSource) {
  Bytes image = Concat(NoiseBytes(3000, 5), SignedContainer(TextBytes(200, 1)));
  for (long allowed = 0; allowed < 5; ++allowed) {  // copy, index (2), manifest, table
    SCOPED_TRACE(allowed);
    HostFailAllocationAfter(allowed);
    Status status = AddContainerSource(image.data(), static_cast<uint32_t>(image.size()));
    HostFailAllocationAfter(-1);
    EXPECT_NE(StatusCode(status), 0u);
    EXPECT_EQ(gSourceTable.sourceCount, 0u);
    EXPECT_EQ(LiveBlocks(), baseline_);
  }
  const Bytes manifest = TextBytes(200, 1);
  for (long allowed = 0; allowed < 5; ++allowed) {  // copy, manifest copy, index (2), table
    SCOPED_TRACE(allowed);
    HostFailAllocationAfter(allowed);
    Status status = AddDecodedContainerSource(image.data(), static_cast<uint32_t>(image.size()),
                                              manifest.data(), static_cast<uint32_t>(manifest.size()));
    HostFailAllocationAfter(-1);
    EXPECT_NE(StatusCode(status), 0u);
    EXPECT_EQ(gSourceTable.sourceCount, 0u);
    EXPECT_EQ(LiveBlocks(), baseline_);
  }
}
#endif

// A caller that decoded and verified the manifest itself (the packaging tool, with its own
// key) registers the container as it is: no signature is checked with the built-in key, and
// the source owns copies of both blocks.
TEST_F(SourceTableTest, DecodedContainerIsRegisteredAsGiven) {
  Bytes container = NoiseBytes(100, 4);
  AppendRawRecord(&container, RECORD_TYPE_MANIFEST, 0, Deflate(TextBytes(50, 1)),
                  SignContent(TextBytes(50, 2)));  // would fail LoadRecord's check
  const Bytes manifest = TextBytes(50, 1);
  ASSERT_EQ(StatusCode(AddDecodedContainerSource(container.data(),
                                                 static_cast<uint32_t>(container.size()),
                                                 manifest.data(),
                                                 static_cast<uint32_t>(manifest.size()))),
            0u);
  ASSERT_EQ(gSourceTable.sourceCount, 1u);
  const PayloadSource& s = gSourceTable.sources[0];
  EXPECT_EQ(s.flags, SOURCE_COMPRESSED | SOURCE_SIGNED);
  ASSERT_EQ(s.containerSize, container.size());
  EXPECT_NE(s.containerData, container.data());
  EXPECT_EQ(std::memcmp(s.containerData, container.data(), container.size()), 0);
  ASSERT_EQ(s.manifestSize, manifest.size());
  EXPECT_NE(s.manifest, manifest.data());
  EXPECT_EQ(std::memcmp(s.manifest, manifest.data(), manifest.size()), 0);
}

TEST_F(SourceTableTest, ImageEndingInAContainerBecomesTheOneSource) {
  const Bytes manifest = TextBytes(300, 2);
  const Bytes image = Concat(NoiseBytes(5000, 3), SignedContainer(manifest));
  ASSERT_EQ(StatusCode(AddContainerSource(image.data(), static_cast<uint32_t>(image.size()))), 0u);
  ASSERT_EQ(gSourceTable.sourceCount, 1u);
  const PayloadSource& s = gSourceTable.sources[0];
  EXPECT_EQ(s.flags, SOURCE_COMPRESSED | SOURCE_SIGNED);
  ASSERT_EQ(s.containerSize, image.size());
  EXPECT_NE(s.containerData, image.data());  // its own copy
  EXPECT_EQ(std::memcmp(s.containerData, image.data(), image.size()), 0);
  ASSERT_EQ(s.manifestSize, manifest.size());
  EXPECT_EQ(std::memcmp(s.manifest, manifest.data(), manifest.size()), 0);
}

// The stub hands over the block it read its own file into: on success the source holds that
// very block, on any failure the caller still owns it and nothing else stays allocated.
TEST_F(SourceTableTest, AdoptedImageIsTheSourceBlockOrStaysTheCallers) {
  const Bytes manifest = TextBytes(300, 2);
  const Bytes image = Concat(NoiseBytes(5000, 3), SignedContainer(manifest));
  Bytes unsigned_ = NoiseBytes(100, 4);
  AppendRawRecord(&unsigned_, RECORD_TYPE_MANIFEST, 0, Deflate(TextBytes(50, 1)),
                  SignContent(TextBytes(50, 2)));
  auto block = [](const Bytes& bytes) {
    uint8_t* b = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, bytes.size()));
    std::memcpy(b, bytes.data(), bytes.size());
    return b;
  };
  struct Case {
    const char* name;
    const Bytes* image;
    long allowed;  // allocations that succeed (negative: all)
    uint32_t code;
  } cases[] = {
      {"verified manifest", &image, -1, 0},
      {"bad manifest signature", &unsigned_, -1, static_cast<uint32_t>(ERROR_FILE_CORRUPT)},
#ifndef _WIN32
      // the index's entries and its block, the manifest's block, its growth, the table; a
      // manifest that cannot be inflated is corrupt (13) to the run, also when memory ran out
      {"no memory for the index entries", &image, 0, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY)},
      {"no memory for the index", &image, 1, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY)},
      {"no memory for the manifest", &image, 2, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      {"no memory to grow the manifest", &image, 3, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      {"no memory for the table", &image, 4, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY)},
      {"just enough memory", &image, 5, 0},
#endif
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    uint8_t* given = block(*k.image);
#ifndef _WIN32
    HostFailAllocationAfter(k.allowed);
#endif
    const Status status = AdoptContainerSource(given, static_cast<uint32_t>(k.image->size()));
#ifndef _WIN32
    HostFailAllocationAfter(-1);
#endif
    EXPECT_EQ(StatusCode(status), k.code);
    if (k.code == 0) {
      ASSERT_EQ(gSourceTable.sourceCount, 1u);
      EXPECT_EQ(gSourceTable.sources[0].containerData, given);
      ASSERT_EQ(gSourceTable.sources[0].manifestSize, manifest.size());
      EXPECT_EQ(std::memcmp(gSourceTable.sources[0].manifest, manifest.data(), manifest.size()), 0);
      FreeSources();
    } else {
      EXPECT_EQ(gSourceTable.sourceCount, 0u);
      EXPECT_EQ(std::memcmp(given, k.image->data(), k.image->size()), 0);
      LocalFree(given);
    }
    EXPECT_EQ(LiveBlocks(), baseline_);
  }
}

TEST_F(SourceTableTest, ImageWithoutAGoodManifestRegistersNothing) {
  Bytes badSignature = NoiseBytes(100, 4);
  AppendRawRecord(&badSignature, RECORD_TYPE_MANIFEST, 0, Deflate(TextBytes(50, 1)),
                  SignContent(TextBytes(50, 2)));
  struct Case {
    const char* name;
    Bytes image;
    uint32_t code;
  } cases[] = {
      {"no container", NoiseBytes(4096, 9), static_cast<uint32_t>(ERROR_NOT_FOUND)},
      {"bad manifest signature", badSignature, static_cast<uint32_t>(ERROR_FILE_CORRUPT)},
      {"empty image", Bytes(), static_cast<uint32_t>(ERROR_NOT_FOUND)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(StatusCode(AddContainerSource(k.image.data(), static_cast<uint32_t>(k.image.size()))),
              k.code);
    EXPECT_EQ(gSourceTable.sourceCount, 0u);
    EXPECT_EQ(LiveBlocks(), baseline_);
  }
}

namespace {
// A minimal PE32+ image: DOS header with e_lfanew 0x80, the headers, a body, and a
// certificate table of `tableSize` bytes at `tableOffset` whose first entry claims `entryLength`.
struct PeImage {
  Bytes bytes;
  uint32_t lfanew = 0x80;
  PeImage(uint32_t tableSize, uint32_t entryLength) {
    bytes.assign(0x400, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    WriteLe32(&bytes[PE_LFANEW_OFFSET], lfanew);
    std::memcpy(&bytes[lfanew], "PE\0\0", 4);
    WriteLe16(&bytes[lfanew + PE_OPTIONAL_MAGIC_OFFSET], PE_OPTIONAL_MAGIC_PE32PLUS);
    const uint32_t tableOffset = static_cast<uint32_t>(bytes.size());
    bytes.resize(bytes.size() + tableSize, 0x30);
    if (tableSize >= 4) WriteLe32(&bytes[tableOffset], entryLength);
    SetDirectory(tableOffset, tableSize);
  }
  void SetDirectory(uint32_t offset, uint32_t size) {
    WriteLe32(&bytes[lfanew + PE_SECURITY_DIR_OFFSET], offset);
    WriteLe32(&bytes[lfanew + PE_SECURITY_DIR_OFFSET + 4], size);
  }
};

// Runs the check on an exact-size copy; returns the content's offset and size, or -1.
long Locate(const Bytes& image, uint32_t* contentSize) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[image.empty() ? 1 : image.size()]);
  if (!image.empty()) std::memcpy(exact.get(), image.data(), image.size());
  const uint8_t* content = nullptr;
  *contentSize = 0xDEAD;
  if (!LocateCertificateEntry(exact.get(), static_cast<uint32_t>(image.size()), &content,
                              contentSize))
    return -1;
  return content - exact.get();
}
}  // namespace

TEST(LocateCertificateEntry, AcceptsOnlyATableInsideAPe32PlusImage) {
  const uint32_t kTable = 0x400;  // where PeImage puts the table
  struct Case {
    const char* name;
    Bytes image;
    long wantAt;
    uint32_t wantSize;
  };
  std::vector<Case> cases;
  cases.push_back({"good", PeImage(600, 600).bytes, kTable + 8, 592});
  cases.push_back({"entry shorter than the table", PeImage(600, 300).bytes, kTable + 8, 292});
  cases.push_back({"header-only entry", PeImage(8, 8).bytes, kTable + 8, 0});
  cases.push_back({"entry below 8", PeImage(600, 7).bytes, -1, 0});
  cases.push_back({"entry of 0", PeImage(600, 0).bytes, -1, 0});
  cases.push_back({"entry past the table", PeImage(600, 601).bytes, -1, 0});
  cases.push_back({"entry of 0xFFFFFFFF", PeImage(600, 0xFFFFFFFFu).bytes, -1, 0});
  {
    PeImage pe(600, 600);
    pe.bytes.push_back(0);  // table no longer ends the file: still fine
    cases.push_back({"bytes behind the table", pe.bytes, kTable + 8, 592});
  }
  {
    PeImage pe(600, 600);
    WriteLe16(&pe.bytes[pe.lfanew + PE_OPTIONAL_MAGIC_OFFSET], 0x10B);
    cases.push_back({"PE32 magic", pe.bytes, -1, 0});
  }
  {
    PeImage pe(600, 600);
    pe.SetDirectory(0, 0);
    cases.push_back({"no table", pe.bytes, -1, 0});
    pe.SetDirectory(kTable, 7);
    cases.push_back({"table of 7 bytes", pe.bytes, -1, 0});
    pe.SetDirectory(kTable, 601);
    cases.push_back({"table past the image", pe.bytes, -1, 0});
    pe.SetDirectory(kTable + 1, 600);
    cases.push_back({"table moved past the image", pe.bytes, -1, 0});
    pe.SetDirectory(0xFFFFFF00u, 0x200);
    cases.push_back({"offset + size wraps", pe.bytes, -1, 0});
    pe.SetDirectory(kTable, 0xFFFFFFFFu);
    cases.push_back({"size of 0xFFFFFFFF", pe.bytes, -1, 0});
  }
  {
    PeImage pe(600, 600);
    pe.bytes[1] = 'Y';
    cases.push_back({"no MZ", pe.bytes, -1, 0});
  }
  {
    PeImage pe(600, 600);
    pe.bytes[pe.lfanew + 2] = 'X';
    cases.push_back({"no PE signature", pe.bytes, -1, 0});
  }
  for (uint32_t lfanew : {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x400u + 600 - 263, 0xFFFFFFF0u}) {
    PeImage pe(600, 600);
    WriteLe32(&pe.bytes[PE_LFANEW_OFFSET], lfanew);
    cases.push_back({"e_lfanew negative or past the image", pe.bytes, -1, 0});
  }
  {
    // e_lfanew + 264 exactly at the end of the image is allowed; the table lies in front.
    Bytes image(0x200, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t lfanew = 0x200 - 264;
    WriteLe32(&image[PE_LFANEW_OFFSET], lfanew);
    std::memcpy(&image[lfanew], "PE\0\0", 4);
    WriteLe16(&image[lfanew + PE_OPTIONAL_MAGIC_OFFSET], PE_OPTIONAL_MAGIC_PE32PLUS);
    WriteLe32(&image[lfanew + PE_SECURITY_DIR_OFFSET], 0x40);
    WriteLe32(&image[lfanew + PE_SECURITY_DIR_OFFSET + 4], 16);
    WriteLe32(&image[0x40], 16);
    cases.push_back({"headers end the image", image, 0x48, 8});
    image.pop_back();
    cases.push_back({"headers one byte past the image", image, -1, 0});
  }
  Bytes tiny = PeImage(600, 600).bytes;
  tiny.resize(63);
  cases.push_back({"63 bytes", tiny, -1, 0});
  cases.push_back({"empty", Bytes(), -1, 0});

  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    uint32_t size = 0;
    EXPECT_EQ(Locate(k.image, &size), k.wantAt);
    if (k.wantAt >= 0) {
      EXPECT_EQ(size, k.wantSize);
    }
  }
}

// The length of the signature's DER element, which a container may follow in the same entry.
TEST(DerElementSize, DefiniteLengthsThatFit) {
  struct Case {
    std::vector<uint8_t> der;
    uint32_t size;  // the bytes available; 0: all of `der`
    uint32_t want;
  } cases[] = {
      {{0x30, 0x03, 1, 2, 3, 9, 9}, 0, 5},          // short form, bytes behind it
      {{0x30, 0x81, 0x02, 1, 2}, 0, 5},             // one length byte
      {{0x30, 0x82, 0x00, 0x02, 1, 2, 0}, 0, 6},    // two length bytes
      {{0x30, 0x03, 1, 2}, 0, 0},                   // runs past the end
      {{0x30, 0x82, 0x00}, 0, 0},                   // length bytes cut
      {{0x30, 0x80, 0, 0}, 0, 0},                   // indefinite length
      {{0x30, 0x85, 0, 0, 0, 0, 1, 1}, 0, 0},       // five length bytes
      {{0x30}, 0, 0},
      {{0x30, 0x03, 1, 2, 3}, 4, 0},                // the element is cut by `size`
  };
  for (const auto& c : cases) {
    const uint32_t size = c.size ? c.size : static_cast<uint32_t>(c.der.size());
    EXPECT_EQ(DerElementSize(c.der.data(), size), c.want) << c.der.size() << " bytes";
  }
}
