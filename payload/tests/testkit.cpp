// Test containers built and signed through zlib and OpenSSL (see testkit.h).
#include "testkit.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

extern const char kTestPrivateKeyPem[];

Bytes Deflate(const Bytes& plain, int level) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), level) != Z_OK)
    std::abort();
  out.resize(size);
  return out;
}

Bytes SignContent(const Bytes& content) {
  BIO* bio = BIO_new_mem_buf(kTestPrivateKeyPem, -1);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!key) std::abort();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Bytes signature(512);
  size_t size = signature.size();
  if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx, signature.data(), &size, content.data(), content.size()) != 1)
    std::abort();
  signature.resize(size);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
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
  AppendRawRecord(container, type, id, compressed ? Deflate(content) : content,
                  SignContent(content));
}

PayloadSource SourceOver(Bytes* container, uint32_t flags) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerData = container->data();
  source.containerSize = static_cast<uint32_t>(container->size());
  source.flags = flags;
  return source;
}
