// Payload format definitions shared by the stub and the packaging tool.
//
// A container is a run of records, each laid out as data | signature | RecordTrailer, read
// from its end. The trailer is 28 little-endian bytes: 16-byte type GUID (Windows in-memory
// GUID byte order), id, signatureSize, dataSize. The manifest (record type MANIFEST, id 0)
// is a run of entries: id (u32 LE), length (u32 LE), length bytes of UTF-16LE text with its
// NUL. Header-only; builds natively and for Windows.
#pragma once
#include <cstdint>
#include <cstring>

enum : uint32_t {
  RECORD_TRAILER_SIZE = 28,
  RECORD_SIGNATURE_SIZE = 256,        // RSA-2048 signature, big-endian
  PAYLOAD_PUBLIC_KEY_SIZE = 276,      // CryptoAPI PUBLICKEYBLOB of an RSA-2048 key
  MANIFEST_RECORD_ID = 0,
  MANIFEST_ENTRY_HEADER_SIZE = 8,
};

// A manifest entry may bind its FileRecord by content: the field right after its regular
// fields (the fifth of a package descriptor, the fourth of a cabinet line) reads
// RECORD_DIGEST_PREFIX and the 64 lowercase hex digits of the SHA-256 of the record's
// decoded bytes. Readers that know only the regular fields ignore it.
enum : uint32_t {
  RECORD_DIGEST_SIZE = 32,
  DESCRIPTOR_DIGEST_FIELD = 4,  // 0-based field index in a package descriptor
  CABINET_DIGEST_FIELD = 3,     // 0-based field index in a cabinet line
};
static const char RECORD_DIGEST_PREFIX[] = "sha256=";

enum : uint32_t {
  SOURCE_COMPRESSED = 1,
  SOURCE_SIGNED = 2,
};

// {EED5BBF7-1284-4619-918C-F0CB8EE28B55}
static const uint8_t RECORD_TYPE_MANIFEST[16] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46,
                                                 0x91, 0x8c, 0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55};
// {A1248CD9-EF96-436B-92BF-C00BAD727E63}
static const uint8_t RECORD_TYPE_FILE[16] = {0xd9, 0x8c, 0x24, 0xa1, 0x96, 0xef, 0x6b, 0x43,
                                             0x92, 0xbf, 0xc0, 0x0b, 0xad, 0x72, 0x7e, 0x63};

// Object identifier of the certificate extension whose value is a whole container.
#define PAYLOAD_EXTENSION_OID \
  "1.2.840.113556.1.8000.2554.2951.50896.53846.17503.37240.13145692.12219546"

// Trailer fields at their offsets.
enum : uint32_t {
  TRAILER_TYPE_OFFSET = 0,
  TRAILER_ID_OFFSET = 16,
  TRAILER_SIGNATURE_SIZE_OFFSET = 20,
  TRAILER_DATA_SIZE_OFFSET = 24,
};

inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t ReadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void WriteLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Builds a trailer in `out` (28 bytes).
inline void WriteRecordTrailer(uint8_t* out, const uint8_t type[16], uint32_t id,
                               uint32_t signatureSize, uint32_t dataSize) {
  std::memcpy(out + TRAILER_TYPE_OFFSET, type, 16);
  WriteLe32(out + TRAILER_ID_OFFSET, id);
  WriteLe32(out + TRAILER_SIGNATURE_SIZE_OFFSET, signatureSize);
  WriteLe32(out + TRAILER_DATA_SIZE_OFFSET, dataSize);
}

// PE32+ layout facts used to find the certificate table.
enum : uint32_t {
  PE_MIN_IMAGE_SIZE = 64,
  PE_LFANEW_OFFSET = 0x3C,
  PE_HEADERS_SIZE = 264,            // signature 4 + file header 20 + PE32+ optional header 240
  PE_OPTIONAL_MAGIC_OFFSET = 24,    // from e_lfanew
  PE_OPTIONAL_MAGIC_PE32PLUS = 0x20B,
  PE_SECURITY_DIR_OFFSET = 168,     // from e_lfanew: data directory entry 4 (offset, size)
  PE_CHECKSUM_OFFSET = 88,          // from e_lfanew
  WIN_CERTIFICATE_HEADER_SIZE = 8,
};
