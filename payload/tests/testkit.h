// Test containers: zlib streams (level 9), signatures with the development private key, and
// records appended to a byte vector in the container layout (data | signature | trailer).
// Well-formed records are written by the packaging tool's writer (pack/writer.h:
// AppendStoredRecord signs and lays them out); AppendRawRecord lays out any bytes, for the
// malformed records the tool refuses to write.
#pragma once
#include <cstdint>
#include <vector>

#include "common/format.h"
#include "common/winseam.h"
#include "payload/record.h"

using Bytes = std::vector<uint8_t>;

// zlib's stream of `plain` at `level` (the stub's decoders are tested on zlib's streams).
Bytes Deflate(const Bytes& plain, int level = 9);
// zlib's stream of `plain` made with a preset dictionary, which no reader of records accepts.
Bytes DeflateWithDictionary(const Bytes& plain);
// RSA-2048 PKCS#1 v1.5 signature over SHA-256 of `content`, 256 bytes (the tool's signer).
Bytes SignContent(const Bytes& content);
// `count` bytes of a fixed pseudo-random sequence (incompressible), seeded by `seed`.
Bytes NoiseBytes(size_t count, uint32_t seed);
// Readable, compressible bytes.
Bytes TextBytes(size_t count, uint32_t seed);

// `a` followed by `b`.
Bytes Concat(Bytes a, const Bytes& b);

// Appends one record as stored: `stored` as the data field, `signature` as the signature.
void AppendRawRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& stored,
                     const Bytes& signature);
// Appends `content` deflated and signed over the plain bytes, as the tool writes a record;
// without `compressed`, a plain record (content stored as it is), which the tool never writes.
void AppendSignedRecord(Bytes* container, const uint8_t type[16], uint32_t id,
                        const Bytes& content, bool compressed = true);

// Blocks currently allocated through the native seam (0 under Windows, where the system heap
// is not counted): tests compare it before and after to find leaks.
inline long LiveBlocks() {
#ifdef _WIN32
  return 0;
#else
  return HostLiveAllocations();
#endif
}

// A source over `container` that LoadRecord may read; it owns nothing.
PayloadSource SourceOver(Bytes* container, uint32_t flags);
