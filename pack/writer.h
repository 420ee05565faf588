// Container writer.
//
// EncodeManifest lays out manifest entries (id u32 LE, length u32 LE, UTF-16LE text with its
// NUL) from UTF-8 texts. CompressRecordData makes a zlib stream at level 9 (it begins 78 DA).
// AppendSignedRecord adds one record -- the stored bytes, the 256-byte signature over the
// decoded bytes, the trailer -- to a container, refusing to let any size pass 32 bits.
// A container starts with its ManifestRecord; FileRecords follow.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pack/fileio.h"

struct ManifestEntry {
  uint32_t id;
  std::string text;  // UTF-8
};

// UTF-8 to UTF-16LE code units; false for malformed UTF-8.
bool Utf8ToUtf16Le(const std::string& text, Bytes* out);
bool EncodeManifest(const std::vector<ManifestEntry>& entries, Bytes* manifest, std::string* error);
// Called after every 4 MiB compressed (and at the end) with the bytes done and the total;
// one hook for the whole program (the command line's progress display), none by default.
typedef void (*CompressProgress)(uint64_t done, uint64_t total, void* context);
void SetCompressProgress(CompressProgress progress, void* context);
bool CompressRecordData(const uint8_t* data, size_t size, Bytes* stored, std::string* error);
// `digest`, when given, receives the SHA-256 of the decoded bytes (RECORD_DIGEST_SIZE bytes).
bool AppendSignedRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& decoded,
                        EVP_PKEY* key, std::string* error, uint8_t* digest = nullptr);
// Lowercase hex of `size` bytes.
std::string HexText(const uint8_t* bytes, size_t size);
