// Record decoding and signature check (see record.h).
//
// LoadRecord = LocateSourceRecord (and, for a file source, reading the record's bytes) +
// (inflate | copy) + verify. Records of a known size are inflated by libdeflate in one call
// into their exact block, others by zlib into a growing one. Every record of a source is
// decoded and checked the same way, by the source's flags; an empty record gets no special
// path, so a signed source only ever hands out bytes whose signature verified. RecordHash
// wraps OpenSSL's SHA-256 context.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED  // RSA_verify, EVP_PKEY_get1_RSA, SHA256 are used as such
#endif
#include "payload/record.h"

#include <libdeflate.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstring>

#include "payload/container.h"
#include "payload/inflate_limit.h"
#include "payload/sources.h"

static_assert(sizeof(SHA256_CTX) <= sizeof(RecordHash::state) &&
                  alignof(SHA256_CTX) <= alignof(RecordHash),
              "RecordHash must hold OpenSSL's SHA-256 context");

namespace {
enum : uint32_t { DEFLATE_MAX_RATIO = 1032 };

// Releases the partial output and the inflater after a failed step; returns `status`.
Status AbandonInflation(z_stream* zs, uint8_t* buffer, uint8_t** out, uint32_t* outSize,
                        Status status) {
  inflateEnd(zs);
  if (buffer) LocalFree(buffer);
  *out = nullptr;
  *outSize = 0;
  return status;
}
}  // namespace

Status InflateRecordLimited(const uint8_t* stored, uint32_t storedSize, uint8_t** out,
                            uint32_t* outSize, uint32_t limit) {
  // The first block is 256 bytes for small records, else an eighth of the stored length;
  // each growth doubles it (never past `limit`), so a record of n bytes costs about log2 n
  // reallocations. Growing by a fixed step instead made the work quadratic in the
  // compression ratio: every step moves the whole block.
  const uint32_t first = storedSize < 256 ? 256 : storedSize / 8;
  *out = nullptr;
  *outSize = 0;

  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK)
    return STATUS(ERROR_NOT_ENOUGH_MEMORY);

  uint8_t* buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, first));
  if (!buffer)
    return AbandonInflation(&zs, buffer, out, outSize, STATUS(ERROR_NOT_ENOUGH_MEMORY));
  uint32_t capacity = first;
  uint32_t produced = 0;
  zs.next_in = const_cast<Bytef*>(stored);
  zs.avail_in = storedSize;
  for (;;) {
    const uint32_t usable = capacity < limit ? capacity : limit;
    uint32_t room = usable - produced;
    if (room == 0 && usable < limit) {
      const uint32_t grown = capacity > limit / 2 ? limit : capacity * 2;
      uint8_t* moved = static_cast<uint8_t*>(LocalReAlloc(buffer, grown, LMEM_MOVEABLE));
      if (!moved)
        return AbandonInflation(&zs, buffer, out, outSize, STATUS(ERROR_NOT_ENOUGH_MEMORY));
      buffer = moved;
      capacity = grown;
      room = grown - produced;
    }
    // At the limit inflate still runs once with no output space: it may finish the stream
    // (end of block, Adler-32) without writing. If it wants to write, the stream is longer
    // than a 32-bit size can count (or than the cap), which is treated as corrupt input.
    uint8_t none = 0;
    zs.next_out = room ? buffer + produced : &none;
    zs.avail_out = room;
    const int last = inflate(&zs, Z_NO_FLUSH);
    produced += room - zs.avail_out;
    if (last == Z_STREAM_END) break;  // bytes behind the stream's end are ignored
    if (last == Z_MEM_ERROR)
      return AbandonInflation(&zs, buffer, out, outSize, STATUS(ERROR_NOT_ENOUGH_MEMORY));
    // Corrupt data, a preset dictionary, output wanted past the limit, or input that ran out
    // before the stream ended (inflate stops with output space left only then).
    if (last != Z_OK && last != Z_BUF_ERROR)
      return AbandonInflation(&zs, buffer, out, outSize, STATUS(ERROR_INVALID_DATA));
    if (room == 0 || zs.avail_out != 0)
      return AbandonInflation(&zs, buffer, out, outSize, STATUS(ERROR_INVALID_DATA));
  }
  inflateEnd(&zs);
  *out = buffer;
  *outSize = produced;
  return STATUS(ERROR_SUCCESS);
}

// Deflate codes a 258-byte match in two bits at best, so each stored byte makes at most 1032
// (the last one's bits included, hence the one byte of slack). Both inflaters refuse anything
// larger: the sized one before it allocates, the growing one as soon as its output would pass
// it; the file plan and the piecewise reader apply the same bound.
uint32_t MostInflatedBytes(uint32_t storedSize) {
  const uint64_t bound = (static_cast<uint64_t>(storedSize) + 1) * DEFLATE_MAX_RATIO - 1;
  return bound > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bound);
}

Status InflateRecord(const uint8_t* stored, uint32_t storedSize, uint8_t** out,
                     uint32_t* outSize) {
  return InflateRecordLimited(stored, storedSize, out, outSize, MostInflatedBytes(storedSize));
}

Status InflateSizedRecord(const uint8_t* stored, uint32_t storedSize, uint32_t size,
                          uint8_t** out) {
  *out = nullptr;
  // A size no stream of this length can reach cannot be right and is not allocated.
  if (size > MostInflatedBytes(storedSize)) return STATUS(ERROR_INVALID_DATA);
  uint8_t* buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, size ? size : 1));
  if (!buffer) return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
  if (!inflater) {
    LocalFree(buffer);
    return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  }
  // Without an actual-size output, libdeflate requires the stream to fill the buffer exactly
  // (else LIBDEFLATE_SHORT_OUTPUT or LIBDEFLATE_INSUFFICIENT_SPACE); it rejects a preset
  // dictionary and ignores bytes behind the Adler-32, as InflateRecord does.
  const libdeflate_result result =
      libdeflate_zlib_decompress(inflater, stored, storedSize, buffer, size, nullptr);
  libdeflate_free_decompressor(inflater);
  if (result != LIBDEFLATE_SUCCESS) {
    LocalFree(buffer);
    return STATUS(ERROR_INVALID_DATA);
  }
  *out = buffer;
  return STATUS(ERROR_SUCCESS);
}

Status VerifyRecordDigest(const uint8_t digest[RECORD_DIGEST_SIZE], const uint8_t* signature,
                          uint32_t signatureSize) {
  // The key is assembled and decoded anew for every check; no decoded key outlives it.
  uint8_t blob[PAYLOAD_PUBLIC_KEY_SIZE];
  AssemblePayloadPublicKey(blob);
  const unsigned char* cursor = blob;
  EVP_PKEY* key = b2i_PublicKey(&cursor, static_cast<long>(sizeof(blob)));
  if (!key) return STATUS(STATUS_NTE_BAD_KEY);
  RSA* rsa = EVP_PKEY_get1_RSA(key);
  if (!rsa) {
    EVP_PKEY_free(key);
    return STATUS(STATUS_NTE_BAD_KEY);
  }

  Status status = STATUS(0);
  if (signatureSize != RECORD_SIGNATURE_SIZE ||
      RSA_verify(NID_sha256, digest, RECORD_DIGEST_SIZE, signature, signatureSize, rsa) != 1)
    status = STATUS(ERROR_FILE_CORRUPT);
  RSA_free(rsa);
  EVP_PKEY_free(key);
  return status;
}

Status VerifyRecord(const uint8_t* data, uint32_t dataSize, const uint8_t* signature,
                    uint32_t signatureSize) {
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(data, dataSize, digest);
  return VerifyRecordDigest(digest, signature, signatureSize);
}

void DigestRecordBytes(const uint8_t* data, uint32_t dataSize,
                       uint8_t digest[RECORD_DIGEST_SIZE]) {
  static const uint8_t kEmpty[1] = {0};
  SHA256(dataSize ? data : kEmpty, dataSize, digest);
}

void BeginRecordHash(RecordHash* hash) { SHA256_Init(reinterpret_cast<SHA256_CTX*>(hash->state)); }

void UpdateRecordHash(RecordHash* hash, const uint8_t* data, size_t size) {
  if (size) SHA256_Update(reinterpret_cast<SHA256_CTX*>(hash->state), data, size);
}

void FinishRecordHash(RecordHash* hash, uint8_t digest[RECORD_DIGEST_SIZE]) {
  SHA256_Final(digest, reinterpret_cast<SHA256_CTX*>(hash->state));
}

namespace {
// The record's stored bytes and signature: pointers into a source in memory, or, for a file
// source, into `*block`, a new block that holds both as read (the caller frees it).
Status ReachRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                   RecordSpan* span, uint8_t** block) {
  *block = nullptr;
  RecordPlace place;
  Status status = LocateSourceRecord(source, type, id, &place);
  if (!StatusOk(status)) return status;
  if (source->containerData) {
    *span = {source->containerData + place.dataOffset, place.dataSize,
             source->containerData + place.signatureOffset, place.signatureSize};
    return STATUS(0);
  }
  // The signature follows the data directly in every record the walk finds.
  const uint32_t bytes = place.dataSize + place.signatureSize;
  uint8_t* read = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, bytes ? bytes : 1));
  if (!read) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  status = ReadSourceBytes(source, place.dataOffset, bytes, read);
  if (!StatusOk(status)) {
    LocalFree(read);
    return status;
  }
  *span = {read, place.dataSize, read + place.dataSize, place.signatureSize};
  *block = read;
  return STATUS(0);
}

// Decodes and checks the record at `span` as LoadBoundRecord describes.
Status DecodeRecordSpan(uint32_t flags, const RecordSpan* span, const uint8_t* expectedDigest,
                        const uint32_t* expectedSize, uint8_t** data, uint32_t* size) {
  Status status = STATUS(0);
  uint8_t* decoded = nullptr;
  uint32_t decodedSize = 0;
  // A record that does not inflate is corrupt to every caller (13), also when memory ran out
  // on the way: only the inflaters themselves tell the two apart, for the tool's messages.
  if ((flags & SOURCE_COMPRESSED) && expectedSize) {
    status = InflateSizedRecord(span->data, span->dataSize, *expectedSize, &decoded);
    if (!StatusOk(status)) return MakeStatus(ERROR_INVALID_DATA, StatusPlace(status));
    decodedSize = *expectedSize;
  } else if (flags & SOURCE_COMPRESSED) {
    status = InflateRecord(span->data, span->dataSize, &decoded, &decodedSize);
    if (!StatusOk(status)) return MakeStatus(ERROR_INVALID_DATA, StatusPlace(status));
  } else if (expectedSize && *expectedSize != span->dataSize) {
    return STATUS(ERROR_INVALID_DATA);
  } else {
    decoded = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, span->dataSize));
    if (!decoded) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    if (span->dataSize) std::memcpy(decoded, span->data, span->dataSize);
    decodedSize = span->dataSize;
  }

  // One digest of the decoded bytes serves both checks.
  if (expectedDigest || (flags & SOURCE_SIGNED)) {
    uint8_t digest[RECORD_DIGEST_SIZE];
    DigestRecordBytes(decoded, decodedSize, digest);
    if (expectedDigest && std::memcmp(digest, expectedDigest, RECORD_DIGEST_SIZE) != 0)
      status = STATUS(ERROR_FILE_CORRUPT);
    else if (flags & SOURCE_SIGNED)
      status = VerifyRecordDigest(digest, span->signature, span->signatureSize);
    if (!StatusOk(status)) {
      LocalFree(decoded);
      return status;
    }
  }
  *data = decoded;
  *size = decodedSize;
  return STATUS(0);
}
}  // namespace

Status LoadBoundRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                       const uint8_t* expectedDigest, const uint32_t* expectedSize,
                       uint8_t** data, uint32_t* size) {
  RecordSpan span;
  uint8_t* block = nullptr;  // a file record's stored bytes, freed on every way out
  Status status = ReachRecord(source, type, id, &span, &block);
  if (StatusOk(status))
    status = DecodeRecordSpan(source->flags, &span, expectedDigest, expectedSize, data, size);
  if (block) LocalFree(block);
  return status;
}

Status LoadRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                  uint8_t** data, uint32_t* size) {
  return LoadBoundRecord(source, type, id, nullptr, nullptr, data, size);
}
