// Record decoding and signature check: InflateRecord on real zlib streams, LoadRecord on
// containers signed with the development key, and the refusal of unverified bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "payload/container.h"
#include "payload/inflate_limit.h"
#include "payload/record.h"
#include "testkit.h"

namespace {
// Status codes of the inflaters.
const uint32_t kInflated = 0, kCorrupt = 13, kNoMemory = 8;

struct Inflated {
  uint32_t result;  // the Status code
  Bytes bytes;
  bool outputsCleared;
};

Inflated Inflate(const Bytes& stored, uint32_t limit = 0xFFFFFFFFu) {
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  uint32_t size = 12345;
  const long before = LiveBlocks();
  Inflated r;
  r.result = StatusCode(InflateRecordLimited(stored.data(), static_cast<uint32_t>(stored.size()),
                                             &out, &size, limit));
  r.outputsCleared = out == nullptr && size == 0;
  if (r.result == kInflated) {
    r.bytes.assign(out, out + size);
    LocalFree(out);
  }
  EXPECT_EQ(LiveBlocks(), before) << "a block stayed allocated";
  return r;
}

// A zlib stream of exactly `length` bytes: incompressible bytes in stored blocks cost 11 bytes
// of header, block header and Adler-32 on top of the content.
Bytes StreamOfLength(uint32_t length, Bytes* content) {
  *content = NoiseBytes(length - 11, length);
  Bytes stream = Deflate(*content);
  EXPECT_EQ(stream.size(), length);
  return stream;
}

const uint32_t kSignedCompressed = SOURCE_COMPRESSED | SOURCE_SIGNED;

// LoadRecord with sentinel outputs; a failure must leave them as they were and free all.
struct Loaded {
  uint32_t code;
  Bytes bytes;
};
Loaded Load(Bytes* container, uint32_t flags, const uint8_t type[16], uint32_t id) {
  PayloadSource source = SourceOver(container, flags);
  uint8_t* out = nullptr;
  uint32_t size = 0;
  const long before = LiveBlocks();
  Loaded r;
  r.code = StatusCode(LoadRecord(&source, type, id, &out, &size));
  if (r.code == 0) {
    r.bytes.assign(out, out + size);
    LocalFree(out);
  } else {
    EXPECT_EQ(out, nullptr) << "output written on failure";
    EXPECT_EQ(size, 0u) << "output written on failure";
  }
  EXPECT_EQ(LiveBlocks(), before) << "a block stayed allocated";
  return r;
}
}  // namespace

// Stored lengths on both sides of the 256-byte step switch, and outputs that are exact
// multiples of the step (the stream ends just as the output space fills).
TEST(InflateRecord, DecodesAcrossStepSizes) {
  struct Case {
    const char* name;
    Bytes stored;
    Bytes content;
  };
  std::vector<Case> cases;
  Bytes content;
  Bytes stream = StreamOfLength(255, &content);  // one slice, step 256
  cases.push_back({"255 stored bytes", stream, content});
  stream = StreamOfLength(300, &content);  // step 37: eight slices of 37, then 4
  cases.push_back({"300 stored bytes", stream, content});
  content = Bytes(1024, 0x41);  // small stream, output 4 x 256
  cases.push_back({"output 4 steps of 256", Deflate(content), content});
  // 448 incompressible bytes make a 459-byte stream; 53 bytes behind it make 512 stored
  // bytes, a step of 64 and an output of exactly 7 steps.
  content = NoiseBytes(448, 7);
  cases.push_back({"output 7 steps of 64", Concat(Deflate(content), Bytes(53, 0xAB)), content});
  content = TextBytes(3 << 20, 1);  // a large, highly compressible record
  cases.push_back({"3 MiB of text", Deflate(content), content});
  content = Bytes();
  cases.push_back({"empty content", Deflate(content), content});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Inflated r = Inflate(k.stored);
    ASSERT_EQ(r.result, kInflated);
    EXPECT_TRUE(r.bytes == k.content);
  }
  ASSERT_EQ(cases[3].stored.size(), 512u);
}

TEST(InflateRecord, TrailingBytesBehindTheStreamAreIgnored) {
  const Bytes content = TextBytes(5000, 3);
  for (const Bytes& tail : {Bytes(1, 0), Bytes(999, 0x78), Deflate(TextBytes(100, 9))}) {
    Inflated r = Inflate(Concat(Deflate(content), tail));
    ASSERT_EQ(r.result, kInflated);
    EXPECT_TRUE(r.bytes == content);
  }
}

TEST(InflateRecord, BadStreamsFailWithDataErrorAndNothingAllocated) {
  const Bytes content = TextBytes(20000, 5);
  const Bytes good = Deflate(content);
  Bytes truncated(good.begin(), good.end() - 3);
  Bytes badAdler = good;
  badAdler.back() ^= 0x01;
  Bytes badHeader = good;
  badHeader[1] ^= 0x01;  // header check bits no longer fit
  const Bytes withDictionary = DeflateWithDictionary(content);
  struct Case {
    const char* name;
    Bytes stored;
  } cases[] = {{"truncated", truncated},           {"wrong Adler-32", badAdler},
               {"bad header", badHeader},          {"preset dictionary", withDictionary},
               {"empty", Bytes()},                 {"header only", Bytes(good.begin(), good.begin() + 2)},
               {"noise", NoiseBytes(4000, 11)}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Inflated r = Inflate(k.stored);
    EXPECT_EQ(r.result, kCorrupt);
    EXPECT_TRUE(r.outputsCleared);
  }
  // The public entry point answers the same.
  uint8_t* out = nullptr;
  uint32_t size = 7;
  EXPECT_EQ(StatusCode(InflateRecord(truncated.data(), static_cast<uint32_t>(truncated.size()),
                                      &out, &size)),
            13u);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(size, 0u);
}

// Output that would not fit the 32-bit size fails as corrupt input before it wraps; the cap
// is exercised here with small values instead of 4 GiB.
TEST(InflateRecord, OutputPastTheSizeLimitFailsCleanly) {
  // Large text (many steps), and 1024 equal bytes whose output is exactly 4 steps of 256.
  for (const Bytes& content : {TextBytes(100000, 2), Bytes(1024, 0x41)}) {
    const Bytes stored = Deflate(content);
    const uint32_t n = static_cast<uint32_t>(content.size());
    struct Case {
      uint32_t limit;
      uint32_t want;
    } cases[] = {{n, kInflated},           {n + 1, kInflated},          {n - 1, kCorrupt},
                 {n / 2, kCorrupt}, {256, kCorrupt},  {1, kCorrupt},
                 {0, kCorrupt}};
    for (const Case& k : cases) {
      SCOPED_TRACE(testing::Message() << n << " bytes, limit " << k.limit);
      Inflated r = Inflate(stored, k.limit);
      EXPECT_EQ(r.result, k.want);
      if (k.want == kInflated) {
        EXPECT_TRUE(r.bytes == content);
      } else {
        EXPECT_TRUE(r.outputsCleared);
      }
    }
  }
}

#ifndef _WIN32
TEST(InflateRecord, MemoryFailureAtAnyGrowthGivesMemErrorAndFreesAll) {
  const Bytes content = TextBytes(50000, 4);
  const Bytes stored = Deflate(content);
  for (long allowed = 0; allowed < 8; ++allowed) {
    SCOPED_TRACE(allowed);
    HostFailAllocationAfter(allowed);
    Inflated r = Inflate(stored);
    HostFailAllocationAfter(-1);
    EXPECT_EQ(r.result, kNoMemory);
    EXPECT_TRUE(r.outputsCleared);
  }
}
#endif

#ifndef _WIN32
// The block doubles: 16 MiB of zeros (a 16 KiB stream, a first block of 2 KiB) needs 14
// allocations. Growing by a fixed step of an eighth of the stored length needed over 8000,
// each moving the whole block.
TEST(InflateRecord, BlockGrowsByDoubling) {
  const Bytes content(16u << 20, 0);
  const Bytes stored = Deflate(content);
  ASSERT_LT(stored.size(), 20000u);
  HostFailAllocationAfter(16);
  Inflated r = Inflate(stored);
  HostFailAllocationAfter(-1);
  ASSERT_EQ(r.result, kInflated);
  EXPECT_TRUE(r.bytes == content);
}
#endif

// InflateRecord caps a record without a size at what its stored length can make (the bound
// the sized inflater applies): the densest stream a compressor writes still fits under it,
// and for stored lengths above 4 GiB / 1032 the bound stays 4 GiB - 1 instead of wrapping.
TEST(InflateRecord, CapFromTheStoredLengthKeepsEveryRealStream) {
  const Bytes zeros(16u << 20, 0);
  const Bytes noise = NoiseBytes(4163000, 9);
  // Stored lengths from 4161833 to 4165824 make a 32-bit bound wrap to less than themselves.
  const size_t noiseStored = Deflate(noise).size();
  ASSERT_TRUE(noiseStored >= 4161833 && noiseStored < 4165825) << noiseStored;
  for (const Bytes* content : {&zeros, &noise}) {
    const Bytes stored = Deflate(*content);
    uint8_t* out = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(StatusCode(InflateRecord(stored.data(), static_cast<uint32_t>(stored.size()), &out,
                                       &size)),
              kInflated)
        << stored.size();
    EXPECT_EQ(size, content->size());
    EXPECT_EQ(std::memcmp(out, content->data(), size), 0);
    LocalFree(out);
  }
  EXPECT_LT(Deflate(zeros).size() * 1000, zeros.size()) << "not near the densest ratio";
}

namespace {
struct SizedInflation {
  uint32_t result;  // the Status code
  Bytes bytes;
};

SizedInflation InflateSized(const Bytes& stored, uint32_t size) {
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  const long before = LiveBlocks();
  SizedInflation r;
  r.result = StatusCode(
      InflateSizedRecord(stored.data(), static_cast<uint32_t>(stored.size()), size, &out));
  if (r.result == kInflated) {
    r.bytes.assign(out, out + size);
    LocalFree(out);
  } else {
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(LiveBlocks(), before) << "a block stayed allocated";
  return r;
}
}  // namespace

// The sized inflater hands out exactly the stated length and refuses every other one, with
// the same verdicts as InflateRecord on bad streams and on bytes behind the stream's end.
TEST(InflateSizedRecord, DecodesExactlyTheStatedSize) {
  struct Case {
    const char* name;
    Bytes stored;
    Bytes content;
  };
  const Bytes text = TextBytes(3 << 20, 1);
  const Bytes noise = NoiseBytes(448, 7);
  const Case cases[] = {
      {"3 MiB of text", Deflate(text), text},
      {"incompressible", Deflate(noise), noise},
      {"bytes behind the stream", Concat(Deflate(noise), Bytes(53, 0xAB)), noise},
      {"empty content", Deflate(Bytes()), Bytes()},
      {"16 MiB of zeros", Deflate(Bytes(16u << 20, 0)), Bytes(16u << 20, 0)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const uint32_t n = static_cast<uint32_t>(k.content.size());
    SizedInflation r = InflateSized(k.stored, n);
    ASSERT_EQ(r.result, kInflated);
    EXPECT_TRUE(r.bytes == k.content);
    EXPECT_EQ(InflateSized(k.stored, n + 1).result, kCorrupt);
    if (n > 0) EXPECT_EQ(InflateSized(k.stored, n - 1).result, kCorrupt);
    if (n > 1) EXPECT_EQ(InflateSized(k.stored, n / 2).result, kCorrupt);
  }
}

TEST(InflateSizedRecord, BadStreamsFailWithDataError) {
  const Bytes content = TextBytes(20000, 5);
  const Bytes good = Deflate(content);
  Bytes badAdler = good;
  badAdler.back() ^= 0x01;
  Bytes corrupt = good;
  corrupt[corrupt.size() / 2] ^= 0xFF;
  Bytes withDictionary = good;
  withDictionary[1] = 0xF9;  // FDICT set, header check bits fitted (0x78F9 % 31 == 0)
  struct Case {
    const char* name;
    Bytes stored;
  } cases[] = {{"truncated", Bytes(good.begin(), good.end() - 3)},
               {"wrong Adler-32", badAdler},
               {"corrupt", corrupt},
               {"preset dictionary", withDictionary},
               {"empty", Bytes()},
               {"header only", Bytes(good.begin(), good.begin() + 2)},
               {"noise", NoiseBytes(4000, 11)}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(InflateSized(k.stored, static_cast<uint32_t>(content.size())).result, kCorrupt);
    // The growing inflater agrees.
    EXPECT_EQ(Inflate(k.stored).result, kCorrupt);
  }
}

#ifndef _WIN32
TEST(InflateSizedRecord, SizesNoStreamCanReachAreRefusedBeforeAllocating) {
  const Bytes stored = Deflate(Bytes(1u << 20, 0));  // about a thousand bytes
  HostFailAllocationAfter(0);
  // One byte per bit pair of 258-byte matches is the most deflate can make of a byte.
  EXPECT_EQ(InflateSized(stored, 0xFFFFFFFFu).result, kCorrupt);
  EXPECT_EQ(InflateSized(stored, static_cast<uint32_t>(stored.size() + 1) * 1032).result,
            kCorrupt);
  // A size the stream could reach is allocated first: here the allocation fails.
  EXPECT_EQ(InflateSized(stored, 1u << 20).result, kNoMemory);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(InflateSized(stored, 1u << 20).result, kInflated);
}
#endif

namespace {
// manifest, file 1000 (an "MSI"), file 1001 (a "cabinet"), each signed over its plain bytes.
struct Sample {
  Bytes manifest = TextBytes(135, 1);
  Bytes msi = NoiseBytes(3000, 2);
  Bytes cabinet = TextBytes(70000, 3);
  Bytes Build(bool compressed) const {
    Bytes c(17, 0x5A);  // whatever the container is embedded in
    AppendSignedRecord(&c, RECORD_TYPE_MANIFEST, 0, manifest, compressed);
    AppendSignedRecord(&c, RECORD_TYPE_FILE, 1000, msi, compressed);
    AppendSignedRecord(&c, RECORD_TYPE_FILE, 1001, cabinet, compressed);
    return c;
  }
};
}  // namespace

TEST(LoadRecord, SignedRecordsDecodeInEveryFlagCombination) {
  const Sample s;
  for (uint32_t flags : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(flags);
    Bytes c = s.Build((flags & SOURCE_COMPRESSED) != 0);
    EXPECT_TRUE(Load(&c, flags, RECORD_TYPE_MANIFEST, 0).bytes == s.manifest);
    EXPECT_TRUE(Load(&c, flags, RECORD_TYPE_FILE, 1000).bytes == s.msi);
    Loaded cab = Load(&c, flags, RECORD_TYPE_FILE, 1001);
    EXPECT_EQ(cab.code, 0u);
    EXPECT_TRUE(cab.bytes == s.cabinet);
    EXPECT_EQ(Load(&c, flags, RECORD_TYPE_FILE, 1002).code, static_cast<uint32_t>(ERROR_NOT_FOUND));
    EXPECT_EQ(Load(&c, flags, RECORD_TYPE_MANIFEST, 1).code, static_cast<uint32_t>(ERROR_NOT_FOUND));
  }
}

TEST(LoadRecord, BadSignaturesFailWith1392) {
  const Bytes content = TextBytes(4000, 8);
  const Bytes stored = Deflate(content);
  const Bytes good = SignContent(content);
  Bytes short255(good.begin(), good.end() - 1);
  Bytes long257 = Concat(good, Bytes(1, 0));
  Bytes flipped = good;
  flipped[100] ^= 0x20;
  Bytes otherContent = content;
  otherContent[0] ^= 1;
  struct Case {
    const char* name;
    Bytes stored;
    Bytes signature;
  } cases[] = {
      {"255-byte signature", stored, short255},
      {"257-byte signature", stored, long257},
      {"signature bit flipped", stored, flipped},
      {"signed over the stored stream", stored, SignContent(stored)},
      {"signature of other content", stored, SignContent(otherContent)},
      {"content swapped under a good signature", Deflate(otherContent), good},
      {"no signature", stored, Bytes()},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes c;
    AppendRawRecord(&c, RECORD_TYPE_MANIFEST, 0, k.stored, k.signature);
    EXPECT_EQ(Load(&c, kSignedCompressed, RECORD_TYPE_MANIFEST, 0).code,
              static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    // Without SOURCE_SIGNED the signature field is not looked at.
    EXPECT_EQ(Load(&c, SOURCE_COMPRESSED, RECORD_TYPE_MANIFEST, 0).code, 0u);
  }
  EXPECT_EQ(StatusCode(VerifyRecord(content.data(), static_cast<uint32_t>(content.size()),
                                    good.data(), static_cast<uint32_t>(good.size()))),
            0u);
}

// Decoding comes first: a corrupt stream is 13 whatever its signature, and a compressed
// record with no data at all never ends its stream.
TEST(LoadRecord, UndecodableRecordsFailWith13) {
  const Bytes content = TextBytes(4000, 8);
  Bytes corrupt = Deflate(content);
  corrupt[corrupt.size() / 2] ^= 0xFF;
  struct Case {
    const char* name;
    Bytes stored;
    Bytes signature;
  } cases[] = {
      {"corrupt stream, good signature", corrupt, SignContent(content)},
      {"corrupt stream, bad signature", corrupt, Bytes(256, 1)},
      {"empty data", Bytes(), SignContent(Bytes())},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes c;
    AppendRawRecord(&c, RECORD_TYPE_MANIFEST, 0, k.stored, k.signature);
    EXPECT_EQ(Load(&c, kSignedCompressed, RECORD_TYPE_MANIFEST, 0).code,
              static_cast<uint32_t>(ERROR_INVALID_DATA));
  }
}

// An attacker appends a FileRecord with the MSI's id, no data and their own bytes in the
// signature field. A signed source must not hand those bytes out as the file.
TEST(LoadRecord, AppendedEmptyFileRecordNeverYieldsUnverifiedBytes) {
  const Sample s;
  Bytes forged(256, 0);
  std::memcpy(forged.data(), "MZ forged installer", 19);
  for (uint32_t flags : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(flags);
    Bytes c = s.Build((flags & SOURCE_COMPRESSED) != 0);
    AppendRawRecord(&c, RECORD_TYPE_FILE, 1000, Bytes(), forged);
    Loaded r = Load(&c, flags, RECORD_TYPE_FILE, 1000);
    switch (flags) {
      case SOURCE_COMPRESSED | SOURCE_SIGNED:
      case SOURCE_COMPRESSED:
        EXPECT_EQ(r.code, static_cast<uint32_t>(ERROR_INVALID_DATA));
        break;
      case SOURCE_SIGNED:
        EXPECT_EQ(r.code, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
        break;
      default:  // unsigned and plain: the record is its (empty) data field
        EXPECT_EQ(r.code, 0u);
        EXPECT_TRUE(r.bytes.empty());
    }
    EXPECT_TRUE(r.bytes.empty());
    // The manifest before it is still read as usual.
    EXPECT_TRUE(Load(&c, flags, RECORD_TYPE_MANIFEST, 0).bytes == s.manifest);
  }
}

// A genuinely empty file, signed over its empty content, still loads in every form.
TEST(LoadRecord, SignedEmptyRecordLoadsEmpty) {
  for (bool compressed : {false, true}) {
    Bytes c;
    AppendSignedRecord(&c, RECORD_TYPE_MANIFEST, 0, TextBytes(10, 0), compressed);
    AppendSignedRecord(&c, RECORD_TYPE_FILE, 5, Bytes(), compressed);
    Loaded r = Load(&c, compressed ? kSignedCompressed : SOURCE_SIGNED, RECORD_TYPE_FILE, 5);
    EXPECT_EQ(r.code, 0u);
    EXPECT_TRUE(r.bytes.empty());
  }
}

#ifndef _WIN32
TEST(LoadRecord, AllocationFailuresLeaveNothingBehind) {
  const Sample s;
  Bytes plain = s.Build(false);
  Bytes packed = s.Build(true);
  HostFailAllocationAfter(0);
  Loaded copy = Load(&plain, SOURCE_SIGNED, RECORD_TYPE_FILE, 1000);
  Loaded inflate = Load(&packed, kSignedCompressed, RECORD_TYPE_FILE, 1001);
  HostFailAllocationAfter(-1);
  // A plain copy reports the memory failure as such; a record that does not inflate is
  // corrupt to the caller whatever stopped the inflater (the inflater itself says 8).
  EXPECT_EQ(copy.code, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(inflate.code, static_cast<uint32_t>(ERROR_INVALID_DATA));
}
#endif

// SHA-256 piece by piece: any split of the bytes gives the digest of all of them at once.
TEST(RecordHash, PiecesGiveTheDigestOfTheWhole) {
  const Bytes contents[] = {Bytes(), Bytes(1, 0x61), TextBytes(63, 1), TextBytes(64, 2),
                            TextBytes(65, 3), NoiseBytes(100000, 4)};
  for (const Bytes& content : contents) {
    uint8_t whole[RECORD_DIGEST_SIZE];
    DigestRecordBytes(content.data(), static_cast<uint32_t>(content.size()), whole);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{4099}, content.size() + 1}) {
      SCOPED_TRACE(testing::Message() << content.size() << " bytes in pieces of " << piece);
      RecordHash hash;
      BeginRecordHash(&hash);
      for (size_t at = 0; at < content.size(); at += piece)
        UpdateRecordHash(&hash, content.data() + at, std::min(piece, content.size() - at));
      UpdateRecordHash(&hash, nullptr, 0);
      uint8_t digest[RECORD_DIGEST_SIZE];
      FinishRecordHash(&hash, digest);
      EXPECT_EQ(std::memcmp(digest, whole, RECORD_DIGEST_SIZE), 0);
    }
  }
  // The digest of "abc", as published for SHA-256.
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t want[RECORD_DIGEST_SIZE] = {
      0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
      0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  RecordHash hash;
  BeginRecordHash(&hash);
  UpdateRecordHash(&hash, abc, 3);
  uint8_t digest[RECORD_DIGEST_SIZE];
  FinishRecordHash(&hash, digest);
  EXPECT_EQ(std::memcmp(digest, want, RECORD_DIGEST_SIZE), 0);
}
