// Manifests and registered sources for the manifest tests (see fixture.h).
#include "manifest/tests/fixture.h"

#include <zlib.h>

#include <algorithm>

#include <cstring>

#include "common/format.h"

Bytes RawEntry(uint32_t id, uint32_t length, const Bytes& body) {
  Bytes out(MANIFEST_ENTRY_HEADER_SIZE);
  WriteLe32(out.data(), id);
  WriteLe32(out.data() + 4, length);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Utf16(const std::string& text, bool withNul) {
  Bytes out;
  auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : 4;
    uint32_t c = len == 1 ? b : b & (0xFFu >> (len + 1));
    for (size_t k = 1; k < len && i + k < text.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 + (c >> 10));
      unit(0xDC00 + (c & 0x3FF));
    } else {
      unit(c);
    }
  }
  if (withNul) out.insert(out.end(), {0, 0});
  return out;
}

TestFields::TestFields(const std::string& text) : TestFields(Utf16(text, false)) {}

TestFields::TestFields(const Bytes& units) {
  EXPECT_EQ(StatusCode(ReadManifestFields(1, units.data(), static_cast<uint32_t>(units.size()),
                                          &fields)),
            0u);
}

TestFields::~TestFields() { FreeManifestFields(&fields); }

Bytes Manifest(const Entries& entries) {
  Bytes out;
  for (const auto& e : entries) {
    Bytes text = Utf16(e.second);
    Bytes entry = RawEntry(e.first, static_cast<uint32_t>(text.size()), text);
    out.insert(out.end(), entry.begin(), entry.end());
  }
  return out;
}

namespace {
uint8_t* CopyBlock(const Bytes& bytes) {
  if (bytes.empty()) return nullptr;
  auto* block = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, bytes.size()));
  if (block) std::memcpy(block, bytes.data(), bytes.size());
  return block;
}
}  // namespace

void RegisterSource(const Bytes& manifest, const Bytes& container, uint32_t flags) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.manifest = CopyBlock(manifest);
  source.manifestSize = static_cast<uint32_t>(manifest.size());
  source.containerData = CopyBlock(container);
  source.containerSize = static_cast<uint32_t>(container.size());
  source.flags = flags;
  ASSERT_EQ(StatusCode(AppendSource(&source)), 0u);
}

void SourceTableTest::SetUp() {
  FreeSources();
  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
}

void SourceTableTest::TearDown() {
  FreeSources();
  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
}

// zlib's stream of `plain` in independent segments of `segmentSize` decoded bytes (a full
// flush behind each but the last), as the packaging tool lays a record out; `lengths` gets
// each segment's stored length.
Bytes SegmentedDeflate(const Bytes& plain, uint32_t segmentSize, std::vector<uint32_t>* lengths) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  EXPECT_EQ(deflateInit(&zs, 6), Z_OK);
  Bytes out(compressBound(static_cast<uLong>(plain.size())) + 64 * (plain.size() / segmentSize + 2));
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  uint64_t before = 0;
  for (size_t at = 0; at < plain.size() || at == 0; at += segmentSize) {
    const size_t n = std::min<size_t>(segmentSize, plain.size() - at);
    const bool last = at + n >= plain.size();
    zs.next_in = const_cast<Bytef*>(plain.data() + at);
    zs.avail_in = static_cast<uInt>(n);
    EXPECT_EQ(deflate(&zs, last ? Z_FINISH : Z_FULL_FLUSH), last ? Z_STREAM_END : Z_OK);
    lengths->push_back(static_cast<uint32_t>(zs.total_out - before));
    before = zs.total_out;
    if (last) break;
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}
