// Container writer (see writer.h).
#include "pack/writer.h"

#include <libdeflate.h>
#include <openssl/sha.h>

#include <cstring>
#include <new>

#include "common/format.h"
#include "pack/keys.h"

bool Utf8ToUtf16Le(const std::string& text, Bytes* out) {
  out->clear();
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    size_t extra = 0;
    if (c < 0x80) {
    } else if ((c & 0xE0) == 0xC0) {
      c &= 0x1F, extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      c &= 0x0F, extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      c &= 0x07, extra = 3;
    } else {
      return false;
    }
    if (extra && i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      const uint16_t hi = static_cast<uint16_t>(0xD800 + (c >> 10));
      const uint16_t lo = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
      out->push_back(static_cast<uint8_t>(hi)), out->push_back(static_cast<uint8_t>(hi >> 8));
      out->push_back(static_cast<uint8_t>(lo)), out->push_back(static_cast<uint8_t>(lo >> 8));
    } else {
      out->push_back(static_cast<uint8_t>(c)), out->push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  return true;
}

bool EncodeManifest(const std::vector<ManifestEntry>& entries, Bytes* manifest, std::string* error) {
  manifest->clear();
  for (const ManifestEntry& entry : entries) {
    Bytes text;
    if (!Utf8ToUtf16Le(entry.text, &text)) {
      *error = "manifest entry " + std::to_string(entry.id) + ": the text is not valid UTF-8";
      return false;
    }
    text.push_back(0), text.push_back(0);
    if (text.size() > 0xFFFFFFFFu - MANIFEST_ENTRY_HEADER_SIZE) {
      *error = "manifest entry " + std::to_string(entry.id) + ": the text is too long";
      return false;
    }
    uint8_t header[MANIFEST_ENTRY_HEADER_SIZE];
    WriteLe32(header, entry.id);
    WriteLe32(header + 4, static_cast<uint32_t>(text.size()));
    manifest->insert(manifest->end(), header, header + sizeof(header));
    manifest->insert(manifest->end(), text.begin(), text.end());
  }
  if (manifest->size() > 0xFFFFFFFFu) {
    *error = "the manifest is larger than 4 GiB";
    return false;
  }
  return true;
}

bool CompressRecordData(const uint8_t* data, size_t size, Bytes* stored, std::string* error,
                        int level) {
  if (level < 0 || level > MAX_COMPRESSION_LEVEL) {
    *error = "compression level " + std::to_string(level) + " is not between 0 and " +
             std::to_string(MAX_COMPRESSION_LEVEL);
    return false;
  }
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  if (!compressor) {
    *error = "out of memory starting the compressor";
    return false;
  }
  static const uint8_t kEmpty[1] = {0};
  try {
    stored->resize(libdeflate_zlib_compress_bound(compressor, size));
  } catch (const std::bad_alloc&) {
    libdeflate_free_compressor(compressor);
    *error = "out of memory compressing " + std::to_string(size) + " bytes";
    return false;
  }
  const size_t written = libdeflate_zlib_compress(compressor, size ? data : kEmpty, size,
                                                  stored->data(), stored->size());
  libdeflate_free_compressor(compressor);
  if (written == 0) {  // cannot happen with a buffer of the bound's size
    *error = "the compressed record did not fit its bound";
    return false;
  }
  stored->resize(written);
  stored->shrink_to_fit();
  return true;
}

std::string HexText(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) out += kDigits[bytes[i] >> 4], out += kDigits[bytes[i] & 15];
  return out;
}

bool AppendSignedRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& decoded,
                        EVP_PKEY* key, std::string* error, uint8_t* digest, int level) {
  Bytes stored;
  if (decoded.size() <= 0xFFFFFFFFu && !CompressRecordData(decoded.data(), decoded.size(), &stored, error, level))
    return false;
  // One SHA-256 of the content: signed, and handed out for the manifest's digest field.
  uint8_t contentDigest[RECORD_DIGEST_SIZE];
  static const uint8_t kEmpty[1] = {0};
  SHA256(decoded.empty() ? kEmpty : decoded.data(), decoded.size(), contentDigest);
  if (!AppendStoredRecord(container, type, id, stored, decoded.size(), contentDigest, key, error))
    return false;
  if (digest) std::memcpy(digest, contentDigest, RECORD_DIGEST_SIZE);
  return true;
}

bool AppendStoredRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& stored,
                        uint64_t decodedSize, const uint8_t digest[RECORD_DIGEST_SIZE], EVP_PKEY* key,
                        std::string* error) {
  const std::string what = (std::memcmp(type, RECORD_TYPE_MANIFEST, 16) == 0 ? std::string("the manifest")
                                                         : "record " + std::to_string(id));
  if (decodedSize > 0xFFFFFFFFu) {
    *error = what + ": " + std::to_string(decodedSize) +
             " bytes; the stub reads records of at most 4 GiB - 1 (32-bit sizes)";
    return false;
  }
  uint8_t signature[RECORD_SIGNATURE_SIZE];
  if (!SignRecordDigest(key, digest, signature, error)) return false;
  const uint64_t total = static_cast<uint64_t>(container->size()) + stored.size() +
                         RECORD_SIGNATURE_SIZE + RECORD_TRAILER_SIZE;
  if (stored.size() > 0xFFFFFFFFu || total > 0xFFFFFFFFu) {
    *error = what + ": the container would exceed 4 GiB - 1 bytes (32-bit sizes); "
             "split the packages over several containers";
    return false;
  }
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, RECORD_SIGNATURE_SIZE, static_cast<uint32_t>(stored.size()));
  container->insert(container->end(), stored.begin(), stored.end());
  container->insert(container->end(), signature, signature + sizeof(signature));
  container->insert(container->end(), trailer, trailer + sizeof(trailer));
  return true;
}
