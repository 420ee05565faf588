// Record decoding and signature check (see record.h).
//
// LoadRecord = FindRecord + (inflate | copy) + verify. Every record of a source is decoded
// and checked the same way, by the source's flags; an empty record gets no special path, so
// a signed source only ever hands out bytes whose signature verified.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED  // RSA_verify, EVP_PKEY_get1_RSA, SHA256 are used as such
#endif
#include "payload/record.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstring>

#include "payload/container.h"
#include "payload/inflate_limit.h"

namespace {
// Releases the partial output and the inflater after a failed step; returns `code`.
int AbandonInflation(z_stream* zs, uint8_t* buffer, uint8_t** out, uint32_t* outSize, int code) {
  inflateEnd(zs);
  if (buffer) LocalFree(buffer);
  *out = nullptr;
  *outSize = 0;
  return code;
}
}  // namespace

int InflateRecordLimited(const uint8_t* stored, uint32_t storedSize, uint8_t** out,
                         uint32_t* outSize, uint32_t limit) {
  // One step is both the input slice and the output growth: 256 for small records, else an
  // eighth of the stored length.
  const uint32_t step = storedSize < 256 ? 256 : storedSize / 8;
  *out = nullptr;
  *outSize = 0;

  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  int result = inflateInit_(&zs, "1.2.11", static_cast<int>(sizeof(z_stream)));
  if (result != Z_OK) return result;

  uint8_t* buffer = nullptr;
  uint32_t produced = 0;
  uint32_t consumed = 0;
  int last = Z_OK;
  while (consumed < storedSize) {
    const uint32_t remaining = storedSize - consumed;
    const uint32_t slice = remaining < step ? remaining : step;
    zs.next_in = const_cast<Bytef*>(stored + consumed);
    zs.avail_in = slice;
    for (;;) {
      // Grow by one step, never past `limit`.
      const uint32_t room = limit - produced < step ? limit - produced : step;
      if (room == 0) {
        // The output has reached the limit. inflate may still finish the stream (end of
        // block, Adler-32) without writing, so it runs once with no output space; if it
        // stops with input left, the stream wants more output than a 32-bit size can count,
        // which is treated as corrupt input.
        uint8_t none = 0;
        zs.next_out = &none;
        zs.avail_out = 0;
        last = inflate(&zs, Z_NO_FLUSH);
        if (last == Z_STREAM_END) break;
        if (last == Z_MEM_ERROR) return AbandonInflation(&zs, buffer, out, outSize, last);
        if ((last == Z_OK || last == Z_BUF_ERROR) && zs.avail_in == 0) break;  // next slice
        return AbandonInflation(&zs, buffer, out, outSize, Z_DATA_ERROR);
      }
      const size_t capacity = static_cast<size_t>(produced) + room;
      uint8_t* grown = buffer ? static_cast<uint8_t*>(LocalReAlloc(buffer, capacity, LMEM_MOVEABLE))
                              : static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, capacity));
      if (!grown) return AbandonInflation(&zs, buffer, out, outSize, Z_MEM_ERROR);
      buffer = grown;
      zs.next_out = buffer + produced;
      zs.avail_out = room;
      last = inflate(&zs, Z_NO_FLUSH);
      if (last == Z_DATA_ERROR || last == Z_MEM_ERROR)
        return AbandonInflation(&zs, buffer, out, outSize, last);
      if (last == Z_STREAM_ERROR || last == Z_NEED_DICT)
        return AbandonInflation(&zs, buffer, out, outSize, Z_DATA_ERROR);
      produced += room - zs.avail_out;
      // A full output space means inflate may have more to give for the same input; at the
      // stream's end there is nothing more, so no empty extra step is allocated.
      if (zs.avail_out != 0 || last == Z_STREAM_END) break;
    }
    const uint32_t used = slice - zs.avail_in;
    // inflate consumes its whole input unless the stream ended; no progress at all is a stuck
    // stream and would loop forever.
    if (used == 0 && last != Z_STREAM_END)
      return AbandonInflation(&zs, buffer, out, outSize, Z_DATA_ERROR);
    consumed += used;
    if (last == Z_STREAM_END) break;  // bytes behind the stream's end are ignored
  }

  if (last != Z_STREAM_END)  // the input ran out before the stream ended
    return AbandonInflation(&zs, buffer, out, outSize, Z_DATA_ERROR);
  inflateEnd(&zs);
  *out = buffer;
  *outSize = produced;
  return Z_OK;
}

int InflateRecord(const uint8_t* stored, uint32_t storedSize, uint8_t** out, uint32_t* outSize) {
  return InflateRecordLimited(stored, storedSize, out, outSize, 0xFFFFFFFFu);
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

Status LoadBoundRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                       const uint8_t* expectedDigest, uint8_t** data, uint32_t* size) {
  RecordSpan span;
  Status status = FindRecord(source->containerData, source->containerSize, type, id, &span);
  if (!StatusOk(status)) return status;

  uint8_t* decoded = nullptr;
  uint32_t decodedSize = 0;
  if (source->flags & SOURCE_COMPRESSED) {
    if (InflateRecord(span.data, span.dataSize, &decoded, &decodedSize) != Z_OK)
      return STATUS(ERROR_INVALID_DATA);
  } else {
    decoded = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, span.dataSize));
    if (!decoded) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    if (span.dataSize) std::memcpy(decoded, span.data, span.dataSize);
    decodedSize = span.dataSize;
  }

  // One digest of the decoded bytes serves both checks.
  if (expectedDigest || (source->flags & SOURCE_SIGNED)) {
    uint8_t digest[RECORD_DIGEST_SIZE];
    DigestRecordBytes(decoded, decodedSize, digest);
    if (expectedDigest && std::memcmp(digest, expectedDigest, RECORD_DIGEST_SIZE) != 0)
      status = STATUS(ERROR_FILE_CORRUPT);
    else if (source->flags & SOURCE_SIGNED)
      status = VerifyRecordDigest(digest, span.signature, span.signatureSize);
    if (!StatusOk(status)) {
      LocalFree(decoded);
      return status;
    }
  }
  *data = decoded;
  *size = decodedSize;
  return STATUS(0);
}

Status LoadRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                  uint8_t** data, uint32_t* size) {
  return LoadBoundRecord(source, type, id, nullptr, data, size);
}
