// Container writer.
//
// EncodeManifest lays out manifest entries (id u32 LE, length u32 LE, UTF-16LE text with its
// NUL) from UTF-8 texts. CompressRecordData makes a zlib stream with libdeflate at a level of
// 0 to 12 (default 8, whose streams begin 78 DA as level 9's do); the same bytes and level
// always give the same stream. AppendSignedRecord adds one record -- the stored bytes, the
// 256-byte signature over the decoded bytes, the trailer -- to a container, refusing to let
// any size pass 32 bits; AppendStoredRecord does the same for bytes compressed and hashed beforehand.
// These records are one stream, not segmented (the manifest; the FileRecords of a setup are
// segmented by packer.h).
// A container starts with its ManifestRecord; FileRecords follow.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/format.h"
#include "pack/fileio.h"

struct ManifestEntry {
  uint32_t id;
  std::string text;  // UTF-8
};

// UTF-8 to UTF-16LE code units; false for malformed UTF-8.
bool Utf8ToUtf16Le(const std::string& text, Bytes* out);
bool EncodeManifest(const std::vector<ManifestEntry>& entries, Bytes* manifest, std::string* error);

enum : int { DEFAULT_COMPRESSION_LEVEL = 8, MAX_COMPRESSION_LEVEL = 12 };
// Safe to call from several threads at once.
bool CompressRecordData(const uint8_t* data, size_t size, Bytes* stored, std::string* error,
                        int level = DEFAULT_COMPRESSION_LEVEL);
// `digest`, when given, receives the SHA-256 of the decoded bytes (RECORD_DIGEST_SIZE bytes).
bool AppendSignedRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& decoded,
                        EVP_PKEY* key, std::string* error, uint8_t* digest = nullptr,
                        int level = DEFAULT_COMPRESSION_LEVEL);
// Appends a record whose content (`decodedSize` bytes, SHA-256 `digest`) is already
// compressed into `stored`: signs the digest and appends stored bytes, signature, trailer.
bool AppendStoredRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& stored,
                        uint64_t decodedSize, const uint8_t digest[RECORD_DIGEST_SIZE], EVP_PKEY* key,
                        std::string* error);
// Lowercase hex of `size` bytes.
std::string HexText(const uint8_t* bytes, size_t size);
