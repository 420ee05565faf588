// Segmented records: real zlib streams cut into independent segments decode segment by
// segment to the bytes whole-stream zlib gives, and every index that does not fit the stream
// fails as corrupt.
#include "payload/segment.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace {
typedef std::vector<uint8_t> Bytes;
const uint32_t S = SEGMENT_SIZE_MIN;

// Mixed content: runs, text-like bytes and noise, so that segments compress to different
// lengths and use stored and Huffman blocks.
Bytes Content(uint32_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t block = (i / 4096) % 3;
    out[i] = block == 0 ? 0 : block == 1 ? static_cast<uint8_t>('a' + (i * 7 + i / 13) % 26)
                                         : static_cast<uint8_t>(random());
  }
  return out;
}

struct Segmented {
  Bytes stored;
  std::vector<uint32_t> ends;
};

// Compresses every segment on its own raw deflate stream: a full flush ends all but the last
// (an empty stored block, byte-aligned), the last finishes the stream; zlib header and
// Adler-32 around them.
Segmented Compress(const Bytes& data, uint32_t segmentSize) {
  Segmented r;
  r.stored = {0x78, 0xDA};
  const uint32_t count = SegmentCountFor(static_cast<uint32_t>(data.size()), segmentSize);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t begin = static_cast<size_t>(i) * segmentSize;
    const size_t length = i + 1 < count ? segmentSize : data.size() - begin;
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, length) + 16);
    zs.next_in = const_cast<Bytef*>(data.data() + begin);
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, i + 1 < count ? Z_FULL_FLUSH : Z_FINISH), i + 1 < count ? Z_OK : Z_STREAM_END);
    r.stored.insert(r.stored.end(), out.data(), out.data() + (out.size() - zs.avail_out));
    deflateEnd(&zs);
    if (i + 1 == count) {
      const uint32_t adler = adler32(1, data.data(), static_cast<uInt>(data.size()));
      for (int shift = 24; shift >= 0; shift -= 8) r.stored.push_back(static_cast<uint8_t>(adler >> shift));
    }
    r.ends.push_back(static_cast<uint32_t>(r.stored.size()));
  }
  return r;
}

uint32_t Decode(const Bytes& stored, std::vector<uint32_t> ends, uint32_t segmentSize,
                uint32_t size, Bytes* out) {
  SegmentIndex index{segmentSize, static_cast<uint32_t>(ends.size()), ends.data()};
  out->assign(size + 1, 0xEE);
  return StatusCode(DecodeSegmentedRecord(stored.data(), static_cast<uint32_t>(stored.size()),
                                          &index, size, out->data()));
}

Bytes WholeStreamZlib(const Bytes& stored, uint32_t size) {
  Bytes out(size + 1);
  uLongf length = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &length, stored.data(), static_cast<uLong>(stored.size())), Z_OK);
  out.resize(length);
  return out;
}

TEST(Segments, DecodeToTheBytesWholeStreamZlibGives) {
  // Sizes at and around segment boundaries, an empty record and one of several segments.
  for (uint32_t size : {0u, 1u, S - 1, S, S + 1, 3 * S, 3 * S + 5}) {
    SCOPED_TRACE(size);
    const Bytes data = Content(size, size);
    const Segmented s = Compress(data, S);
    ASSERT_EQ(s.ends.size(), SegmentCountFor(size, S));
    EXPECT_EQ(WholeStreamZlib(s.stored, size), data);
    Bytes out;
    ASSERT_EQ(Decode(s.stored, s.ends, S, size, &out), 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(out[size], 0xEE) << "wrote past the record's size";
  }
}

TEST(Segments, IndexesThatDoNotFitTheStreamAreCorrupt) {
  const uint32_t size = 3 * S + 5;
  const Bytes data = Content(size, 7);
  const Segmented good = Compress(data, S);
  const std::vector<uint32_t> e = good.ends;
  struct Case {
    const char* what;
    std::vector<uint32_t> ends;
    uint32_t segmentSize;
    uint32_t size;
  };
  const Case cases[] = {
      {"one segment too few", {e[0], e[1], e[3]}, S, size},
      {"one segment too many", {e[0], e[1], e[2], e[3] - 6, e[3]}, S, size},
      {"an end one byte early", {e[0] - 1, e[1], e[2], e[3]}, S, size},
      {"an end one byte late", {e[0], e[1] + 1, e[2], e[3]}, S, size},
      {"two ends swapped", {e[1], e[0], e[2], e[3]}, S, size},
      {"the last end short of the stored size", {e[0], e[1], e[2], e[3] - 1}, S, size},
      {"a segment size the record was not cut at", e, 2 * S, size},
      {"a segment size that is no power of two", e, S + 4096, size},
      {"a segment size below the range", e, S / 2, size},
      {"a segment size above the range", e, 2 * SEGMENT_SIZE_MAX, size},
      {"a decoded size one byte short", e, S, size - 1},
      {"a decoded size one byte long", e, S, size + 1},
      {"a decoded size of another segment count", e, S, 4 * S + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stored = good.stored;
    if (c.ends.back() < stored.size()) stored.resize(c.ends.back());
    Bytes out;
    EXPECT_EQ(Decode(stored, c.ends, c.segmentSize, c.size, &out), 13u);
  }
}

TEST(Segments, DamagedStreamsAreCorrupt) {
  const uint32_t size = 2 * S + 100;
  const Bytes data = Content(size, 3);
  const Segmented good = Compress(data, S);
  struct Case {
    const char* what;
    size_t at;
    uint8_t xorWith;
  };
  const Case cases[] = {
      {"the header's check bits", 1, 0x01},
      {"a preset dictionary asked for", 1, 0x20},
      {"a byte inside the last segment", good.ends[1] + 40, 0x10},
      {"the flush marker of the first segment", good.ends[0] - 1, 0x01},
      {"the Adler-32", good.stored.size() - 1, 0x01},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stored = good.stored;
    stored[c.at] ^= c.xorWith;
    Bytes out;
    EXPECT_EQ(Decode(stored, good.ends, S, size, &out), 13u);
  }
}

TEST(Segments, OneStreamCutAtItsFlushPointsStillNeedsIndependentSegments) {
  // One deflate stream, flushed with Z_SYNC_FLUSH where segments would end: the cuts are
  // byte-aligned empty stored blocks, but later data refers back across them (repeating
  // content), so a segment does not decode on its own.
  const uint32_t size = 2 * S;
  Bytes data = Content(S, 11);
  data.insert(data.end(), data.begin(), data.end());
  z_stream zs{};
  ASSERT_EQ(deflateInit(&zs, 9), Z_OK);
  Bytes stored(deflateBound(&zs, size) + 64);
  zs.next_out = stored.data();
  zs.avail_out = static_cast<uInt>(stored.size());
  zs.next_in = data.data();
  zs.avail_in = S;
  ASSERT_EQ(deflate(&zs, Z_SYNC_FLUSH), Z_OK);
  const uint32_t cut = static_cast<uint32_t>(stored.size() - zs.avail_out);
  zs.avail_in = S;
  ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  stored.resize(stored.size() - zs.avail_out);
  deflateEnd(&zs);
  EXPECT_EQ(WholeStreamZlib(stored, size), data);
  Bytes out;
  EXPECT_EQ(Decode(stored, {cut, static_cast<uint32_t>(stored.size())}, S, size, &out), 13u);
}

TEST(Segments, DecodeSegmentLeavesOtherSegmentsAlone) {
  // Each segment decodes on its own into its own buffer, in any order.
  const uint32_t size = 2 * S + 9;
  const Bytes data = Content(size, 5);
  Segmented s = Compress(data, S);
  SegmentIndex index{S, static_cast<uint32_t>(s.ends.size()), s.ends.data()};
  ASSERT_EQ(StatusCode(CheckSegmentIndex(&index, static_cast<uint32_t>(s.stored.size()), size)), 0u);
  SegmentDecoder* decoder = NewSegmentDecoder();
  ASSERT_NE(decoder, nullptr);
  uint32_t adler = 0;
  for (uint32_t i : {2u, 0u, 1u}) {
    SCOPED_TRACE(i);
    Bytes stored(s.stored.begin() + SegmentStoredStart(&index, i),
                 s.stored.begin() + s.ends[i]);
    stored.resize(stored.size() + SEGMENT_INPUT_SLACK);
    Bytes out(SegmentDecodedSize(&index, size, i));
    ASSERT_EQ(StatusCode(DecodeSegment(decoder, &index, size, i, stored.data(), out.data(), &adler)), 0u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + static_cast<size_t>(i) * S));
  }
  EXPECT_EQ(adler, adler32(1, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(UpdateAdler32(ADLER32_INITIAL, data.data(), data.size()), adler);
  FreeSegmentDecoder(decoder);
}
}  // namespace
