// RecordInflater: a record's zlib stream fed and drained in pieces of any size gives exactly
// what InflateRecord gives for the whole stream, and refuses what it refuses (truncated,
// corrupt, preset dictionary, output past the cap); bytes behind the stream are not consumed.
#include <gtest/gtest.h>

#include <algorithm>

#include "payload/inflate_limit.h"
#include "payload/segment.h"
#include "testkit.h"

namespace {
struct Streamed {
  uint32_t code;       // the first failing step's code, else RecordInflaterFinish's
  Bytes bytes;         // everything produced
  uint32_t consumed;   // input consumed in all
};

// Feeds `stored` in pieces of `inPiece` bytes and drains it into buffers of `outPiece` bytes,
// as a caller reading a record from its file does, until the stream ends, a step fails or a
// step makes no progress.
Streamed Stream(const Bytes& stored, uint32_t limit, uint32_t inPiece, uint32_t outPiece) {
  const long before = LiveBlocks();
  Streamed r{0, Bytes(), 0};
  RecordInflater* inflater = nullptr;
  EXPECT_EQ(StatusCode(NewRecordInflater(limit, &inflater)), 0u);
  if (!inflater) return r;
  Bytes out(outPiece);
  const uint32_t size = static_cast<uint32_t>(stored.size());
  bool ended = false;
  for (;;) {
    const uint32_t piece = std::min(inPiece, size - r.consumed);
    uint32_t consumed = 0, produced = 0;
    const Status status = RecordInflaterStep(inflater, stored.data() + r.consumed, piece, &consumed,
                                             out.data(), outPiece, &produced, &ended);
    EXPECT_LE(consumed, piece);
    EXPECT_LE(produced, outPiece);
    r.consumed += consumed;
    r.bytes.insert(r.bytes.end(), out.begin(), out.begin() + produced);
    if (!StatusOk(status)) {
      r.code = StatusCode(status);
      break;
    }
    // A step given input either uses some, makes some, ends or fails: a caller that loops
    // until its input is used up never spins.
    if (piece > 0 && consumed == 0 && produced == 0 && !ended) ADD_FAILURE() << "a step made no progress";
    if (ended || (consumed == 0 && produced == 0)) {
      r.code = StatusCode(RecordInflaterFinish(inflater));
      break;
    }
  }
  FreeRecordInflater(inflater);
  EXPECT_EQ(LiveBlocks(), before) << "a block stayed allocated";
  return r;
}

Bytes Whole(const Bytes& stored) {
  uint8_t* out = nullptr;
  uint32_t size = 0;
  if (!StatusOk(InflateRecord(stored.data(), static_cast<uint32_t>(stored.size()), &out, &size)))
    return Bytes(1, 0xEE);  // never a content below
  Bytes bytes(out, out + size);
  LocalFree(out);
  return bytes;
}

const uint32_t kNoLimit = 0xFFFFFFFFu;
}  // namespace

TEST(RecordInflater, PiecesOfAnySizeGiveWhatInflateRecordGives) {
  const Bytes contents[] = {Bytes(),           TextBytes(5000, 1),  NoiseBytes(3000, 5),
                            Bytes(1024, 0x41), TextBytes(100000, 2), NoiseBytes(70000, 3),
                            Concat(NoiseBytes(40000, 4), Bytes(300000, 0))};
  const uint32_t pieces[][2] = {{1, 1}, {1, 7}, {3, 65536}, {65536, 1}, {4096, 4096}, {1u << 30, 1u << 20}};
  for (const Bytes& content : contents) {
    for (int level : {0, 1, 9}) {
      const Bytes stored = Deflate(content, level);
      ASSERT_TRUE(Whole(stored) == content);
      for (const auto& p : pieces) {
        if (content.size() > 5000 && std::min(p[0], p[1]) < 8) continue;  // slow, no news
        SCOPED_TRACE(testing::Message() << content.size() << " bytes, level " << level << ", pieces "
                                        << p[0] << "/" << p[1]);
        const Streamed r = Stream(stored, kNoLimit, p[0], p[1]);
        EXPECT_EQ(r.code, 0u);
        EXPECT_TRUE(r.bytes == content);
        EXPECT_EQ(r.consumed, stored.size());
      }
    }
  }
}

TEST(RecordInflater, BytesBehindTheStreamAreNotConsumed) {
  const Bytes content = TextBytes(5000, 3);
  const Bytes stored = Deflate(content);
  for (const Bytes& tail : {Bytes(1, 0), Bytes(999, 0x78), Deflate(TextBytes(100, 9))}) {
    for (uint32_t piece : {1u, 100u, 1u << 20}) {
      const Streamed r = Stream(Concat(stored, tail), kNoLimit, piece, 333);
      EXPECT_EQ(r.code, 0u);
      EXPECT_TRUE(r.bytes == content);
      EXPECT_EQ(r.consumed, stored.size());
    }
  }
}

TEST(RecordInflater, BadStreamsFailWith13) {
  const Bytes content = TextBytes(20000, 5);
  const Bytes good = Deflate(content);
  Bytes badAdler = good;
  badAdler.back() ^= 0x01;
  Bytes badHeader = good;
  badHeader[1] ^= 0x01;
  Bytes badBlock = good;
  badBlock[2] |= 0x06;  // block type 3, which does not exist
  struct Case {
    const char* name;
    Bytes stored;
  } cases[] = {{"truncated by 3", Bytes(good.begin(), good.end() - 3)},
               {"truncated by 1", Bytes(good.begin(), good.end() - 1)},
               {"cut in the middle", Bytes(good.begin(), good.begin() + good.size() / 2)},
               {"header only", Bytes(good.begin(), good.begin() + 2)},
               {"empty", Bytes()},
               {"wrong Adler-32", badAdler},
               {"bad header", badHeader},
               {"bad block type", badBlock},
               {"preset dictionary", DeflateWithDictionary(content)},
               {"noise", NoiseBytes(4000, 11)}};
  for (const Case& k : cases) {
    for (uint32_t piece : {1u, 64u, 1u << 20}) {
      SCOPED_TRACE(testing::Message() << k.name << ", pieces of " << piece);
      EXPECT_EQ(Stream(k.stored, kNoLimit, piece, piece).code, 13u);
    }
  }
}

// The cap of InflateRecordLimited: a stream may make exactly `limit` bytes, not one more,
// whatever the pieces.
TEST(RecordInflater, OutputPastTheLimitFailsAsInflateRecordLimitedDoes) {
  for (const Bytes& content : {TextBytes(20000, 2), Bytes(1024, 0x41), Bytes()}) {
    const Bytes stored = Deflate(content);
    const uint32_t n = static_cast<uint32_t>(content.size());
    for (uint32_t limit : {n, n + 1, n - 1, n / 2, 256u, 1u, 0u}) {
      if (limit > n + 1) continue;  // n - 1 of an empty record
      uint8_t* whole = nullptr;
      uint32_t wholeSize = 0;
      const uint32_t want = StatusCode(InflateRecordLimited(
          stored.data(), static_cast<uint32_t>(stored.size()), &whole, &wholeSize, limit));
      if (whole) LocalFree(whole);
      EXPECT_EQ(want, limit >= n ? 0u : 13u);
      for (const auto& p : {std::make_pair(1u, 1u), std::make_pair(1u << 20, 1u << 20),
                            std::make_pair(7u, 256u), std::make_pair(1u << 20, 1u)}) {
        SCOPED_TRACE(testing::Message() << n << " bytes, limit " << limit << ", pieces "
                                        << p.first << "/" << p.second);
        const Streamed r = Stream(stored, limit, p.first, p.second);
        EXPECT_EQ(r.code, want);
        EXPECT_LE(r.bytes.size(), limit);
        if (want == 0) EXPECT_TRUE(r.bytes == content);
      }
    }
  }
}

TEST(RecordInflater, StepsAfterTheEndOrAFailureChangeNothing) {
  const Bytes stored = Deflate(TextBytes(3000, 1));
  RecordInflater* inflater = nullptr;
  ASSERT_EQ(StatusCode(NewRecordInflater(kNoLimit, &inflater)), 0u);
  Bytes out(4000);
  uint32_t consumed = 0, produced = 0;
  bool ended = false;
  ASSERT_EQ(StatusCode(RecordInflaterStep(inflater, stored.data(), static_cast<uint32_t>(stored.size()),
                                          &consumed, out.data(), 4000, &produced, &ended)),
            0u);
  EXPECT_TRUE(ended);
  EXPECT_EQ(produced, 3000u);
  ASSERT_EQ(StatusCode(RecordInflaterStep(inflater, stored.data(), static_cast<uint32_t>(stored.size()),
                                          &consumed, out.data(), 4000, &produced, &ended)),
            0u);
  EXPECT_TRUE(ended);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(produced, 0u);
  FreeRecordInflater(inflater);

  const Bytes noise = NoiseBytes(100, 2);
  ASSERT_EQ(StatusCode(NewRecordInflater(kNoLimit, &inflater)), 0u);
  EXPECT_EQ(StatusCode(RecordInflaterStep(inflater, noise.data(), 100, &consumed, out.data(), 4000,
                                          &produced, &ended)),
            13u);
  EXPECT_EQ(StatusCode(RecordInflaterStep(inflater, stored.data(), static_cast<uint32_t>(stored.size()),
                                          &consumed, out.data(), 4000, &produced, &ended)),
            13u);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(produced, 0u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(StatusCode(RecordInflaterFinish(inflater)), 13u);
  FreeRecordInflater(inflater);
  FreeRecordInflater(nullptr);
}

#ifndef _WIN32
TEST(RecordInflater, NoMemoryForTheInflaterGives8AndNoInflater) {
  RecordInflater* inflater = reinterpret_cast<RecordInflater*>(1);
  HostFailAllocationAfter(0);
  const Status status = NewRecordInflater(kNoLimit, &inflater);
  HostFailAllocationAfter(-1);
  EXPECT_EQ(StatusCode(status), 8u);
  EXPECT_EQ(inflater, nullptr);
}
#endif
