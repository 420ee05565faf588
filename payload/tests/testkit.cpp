// Test containers built through zlib and the packaging tool's writer (see testkit.h).
#include "testkit.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "pack/keys.h"
#include "pack/writer.h"

extern const char kTestPrivateKeyPem[];

namespace {
// The development private key, read once.
EVP_PKEY* TestKey() {
  static EVP_PKEY* key = [] {
    BIO* bio = BIO_new_mem_buf(kTestPrivateKeyPem, -1);
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!k) std::abort();
    return k;
  }();
  return key;
}
}  // namespace

Bytes Deflate(const Bytes& plain, int level) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), level) != Z_OK)
    std::abort();
  out.resize(size);
  return out;
}

Bytes DeflateWithDictionary(const Bytes& plain) {
  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  if (deflateInit(&zs, 9) != Z_OK) std::abort();
  static const uint8_t kDictionary[] = "cabinet package product";
  deflateSetDictionary(&zs, kDictionary, sizeof(kDictionary) - 1);
  Bytes out(deflateBound(&zs, static_cast<uLong>(plain.size())));
  zs.next_in = const_cast<Bytef*>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Bytes SignContent(const Bytes& content) {
  Bytes signature(RECORD_SIGNATURE_SIZE);
  std::string error;
  if (!SignRecordBytes(TestKey(), content.data(), content.size(), signature.data(), &error))
    std::abort();
  return signature;
}

Bytes NoiseBytes(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

Bytes TextBytes(size_t count, uint32_t seed) {
  static const char kWords[] = "cabinet package product language installer record manifest ";
  Bytes out(count);
  for (size_t i = 0; i < count; ++i)
    out[i] = static_cast<uint8_t>(kWords[(i * 7 + seed + i / 61) % (sizeof(kWords) - 1)]);
  return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void AppendRawRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& stored,
                     const Bytes& signature) {
  container->insert(container->end(), stored.begin(), stored.end());
  container->insert(container->end(), signature.begin(), signature.end());
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, static_cast<uint32_t>(signature.size()),
                     static_cast<uint32_t>(stored.size()));
  container->insert(container->end(), trailer, trailer + RECORD_TRAILER_SIZE);
}

void AppendSignedRecord(Bytes* container, const uint8_t type[16], uint32_t id,
                        const Bytes& content, bool compressed) {
  if (!compressed) {
    AppendRawRecord(container, type, id, content, SignContent(content));
    return;
  }
  uint8_t digest[RECORD_DIGEST_SIZE];
  static const uint8_t kEmpty[1] = {0};
  SHA256(content.empty() ? kEmpty : content.data(), content.size(), digest);
  std::string error;
  if (!AppendStoredRecord(container, type, id, Deflate(content), content.size(), digest, TestKey(),
                          &error))
    std::abort();
}

PayloadSource SourceOver(Bytes* container, uint32_t flags) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerData = container->data();
  source.containerSize = static_cast<uint32_t>(container->size());
  source.flags = flags;
  return source;
}
