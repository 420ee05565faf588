// The decode floors shared by the decode benchmarks: one inflate call of a record's whole
// zlib stream into a buffer of exactly the decoded size, then SHA-256 of the result, with
// zlib (InflateAndHash) or with libdeflate, the sized records' inflater (LibdeflateAndHash).
// True when the stream ends and fills the buffer exactly; header-only, builds natively and
// for Windows.
#pragma once
#include <libdeflate.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "payload/container.h"

inline bool InflateAndHash(const RecordSpan& span, uint8_t* out, size_t size,
                           unsigned char digest[SHA256_DIGEST_LENGTH]) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  inflateInit(&zs);
  zs.next_in = const_cast<Bytef*>(span.data);
  zs.avail_in = span.dataSize;
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(size);
  const int rc = inflate(&zs, Z_FINISH);
  const size_t produced = size - zs.avail_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || produced != size) return false;
  SHA256(out, size, digest);
  return true;
}

inline bool LibdeflateAndHash(const RecordSpan& span, uint8_t* out, size_t size,
                              unsigned char digest[SHA256_DIGEST_LENGTH]) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  const libdeflate_result rc = libdeflate_zlib_decompress(d, span.data, span.dataSize, out, size, nullptr);
  libdeflate_free_decompressor(d);
  if (rc != LIBDEFLATE_SUCCESS) return false;
  SHA256(out, size, digest);
  return true;
}
