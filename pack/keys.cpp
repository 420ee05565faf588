// Payload signing keys (see keys.h).
#include "pack/keys.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstring>

namespace {
bool IsRsa2048(EVP_PKEY* key) {
  return EVP_PKEY_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_bits(key) == 2048;
}

bool BioBytes(BIO* bio, Bytes* out) {
  char* p = nullptr;
  const long n = BIO_get_mem_data(bio, &p);
  if (n < 0) return false;
  out->assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + n);
  return true;
}
}  // namespace

std::string OpenSslReason() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (!e) return "unknown reason";
  char text[256];
  ERR_error_string_n(e, text, sizeof(text));
  return text;
}

bool PublicKeyBlob(EVP_PKEY* key, Bytes* blob, std::string* error) {
  BIO* bio = BIO_new(BIO_s_mem());
  const bool ok = bio && i2b_PublicKey_bio(bio, key) > 0 && BioBytes(bio, blob) &&
                  blob->size() == PAYLOAD_PUBLIC_KEY_SIZE;
  BIO_free(bio);
  if (!ok) *error = "cannot write the key as a PUBLICKEYBLOB: " + OpenSslReason();
  return ok;
}

bool GenerateKeyFiles(const std::string& prefix, std::string* error) {
  const std::string privatePath = prefix + ".private.pem";
  const std::string publicPath = prefix + ".public.pem";
  const std::string blobPath = prefix + ".public.blob";
  if (FileExists(privatePath)) {
    *error = privatePath + ": a private key already exists; it is never overwritten "
             "(remove it yourself or choose another --out prefix)";
    return false;
  }
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (!key) {
    *error = "RSA key generation failed: " + OpenSslReason();
    return false;
  }
  Bytes privatePem, publicPem, blob;
  BIO* a = BIO_new(BIO_s_mem());
  BIO* b = BIO_new(BIO_s_mem());
  bool ok = a && b && PEM_write_bio_PrivateKey(a, key, nullptr, nullptr, 0, nullptr, nullptr) &&
            PEM_write_bio_PUBKEY(b, key) && BioBytes(a, &privatePem) && BioBytes(b, &publicPem);
  if (!ok) *error = "cannot encode the new key: " + OpenSslReason();
  BIO_free(a);
  BIO_free(b);
  ok = ok && PublicKeyBlob(key, &blob, error);
  EVP_PKEY_free(key);
  // The private key goes first and exclusively: a concurrent keygen cannot replace it.
  ok = ok && WriteFileReplacing(privatePath, privatePem.data(), privatePem.size(), true, true, error);
  ok = ok && WriteFileReplacing(publicPath, publicPem.data(), publicPem.size(), false, false, error);
  ok = ok && WriteFileReplacing(blobPath, blob.data(), blob.size(), false, false, error);
  OPENSSL_cleanse(privatePem.data(), privatePem.size());
  return ok;
}

namespace {
// Whether a PEM file holds a block whose label ends with `label` ("PRIVATE KEY" also
// matches "RSA PRIVATE KEY" and "ENCRYPTED PRIVATE KEY").
bool HasPemLabel(const Bytes& pem, const std::string& label) {
  const std::string text(pem.begin(), pem.end());
  const size_t begin = text.find("-----BEGIN ");
  if (begin == std::string::npos) return false;
  const size_t end = text.find("-----", begin + 11);
  if (end == std::string::npos || end - (begin + 11) < label.size()) return false;
  return text.compare(end - label.size(), label.size(), label) == 0;
}

bool IsPublicKeyFile(const Bytes& bytes) {
  return bytes.size() == PAYLOAD_PUBLIC_KEY_SIZE || HasPemLabel(bytes, "PUBLIC KEY");
}
}  // namespace

EVP_PKEY* LoadPrivateKey(const std::string& path, std::string* error) {
  Bytes pem;
  if (!ReadWholeFile(path, 1u << 20, &pem, error)) return nullptr;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  const bool publicFile = !key && IsPublicKeyFile(pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  if (!key) {
    ERR_clear_error();
    *error = publicFile
                 ? path + ": this is a public key; signing payloads needs the private key "
                          "(PREFIX.private.pem from 'msistub-pack keygen'), given with --key or "
                          "--private-key"
                 : path + ": not a PEM private key; give the PREFIX.private.pem that "
                          "'msistub-pack keygen' wrote";
    return nullptr;
  }
  if (!IsRsa2048(key)) {
    EVP_PKEY_free(key);
    *error = path + ": payload keys are RSA-2048; make one with 'msistub-pack keygen'";
    return nullptr;
  }
  return key;
}

EVP_PKEY* LoadPublicKey(const std::string& path, std::string* error) {
  Bytes bytes;
  if (!ReadWholeFile(path, 1u << 20, &bytes, error)) return nullptr;
  EVP_PKEY* key = nullptr;
  static const char kPem[] = "-----BEGIN";
  if (bytes.size() >= sizeof(kPem) - 1 && std::memcmp(bytes.data(), kPem, sizeof(kPem) - 1) == 0) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    key = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
  } else if (bytes.size() == PAYLOAD_PUBLIC_KEY_SIZE) {
    const unsigned char* cursor = bytes.data();
    key = b2i_PublicKey(&cursor, static_cast<long>(bytes.size()));
  }
  if (!key) {
    ERR_clear_error();
    *error = HasPemLabel(bytes, "PRIVATE KEY")
                 ? path + ": this is a private key; checking payloads needs the public key "
                          "(PREFIX.public.pem or PREFIX.public.blob from 'msistub-pack keygen'), "
                          "given with --key or --public-key. Keep the private key for packing"
                 : path + ": not a PEM public key or a 276-byte PUBLICKEYBLOB";
    return nullptr;
  }
  if (!IsRsa2048(key)) {
    EVP_PKEY_free(key);
    *error = path + ": not an RSA-2048 public key";
    return nullptr;
  }
  return key;
}

bool KeysMatch(EVP_PKEY* a, EVP_PKEY* b) { return EVP_PKEY_eq(a, b) == 1; }

bool SignRecordDigest(EVP_PKEY* key, const uint8_t digest[RECORD_DIGEST_SIZE],
                      uint8_t signature[RECORD_SIGNATURE_SIZE], std::string* error) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t length = RECORD_SIGNATURE_SIZE;
  const bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
                  EVP_PKEY_sign(ctx, signature, &length, digest, RECORD_DIGEST_SIZE) == 1 &&
                  length == RECORD_SIGNATURE_SIZE;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) *error = "signing failed: " + OpenSslReason();
  return ok;
}

bool SignRecordBytes(EVP_PKEY* key, const uint8_t* data, size_t size,
                     uint8_t signature[RECORD_SIGNATURE_SIZE], std::string* error) {
  uint8_t digest[RECORD_DIGEST_SIZE];
  static const uint8_t kEmpty[1] = {0};
  SHA256(size ? data : kEmpty, size, digest);
  return SignRecordDigest(key, digest, signature, error);
}

bool CheckRecordDigestSignature(EVP_PKEY* key, const uint8_t digest[RECORD_DIGEST_SIZE],
                                const uint8_t* signature, size_t signatureSize) {
  if (signatureSize != RECORD_SIGNATURE_SIZE) return false;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
                  EVP_PKEY_verify(ctx, signature, signatureSize, digest, RECORD_DIGEST_SIZE) == 1;
  EVP_PKEY_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

bool CheckRecordSignature(EVP_PKEY* key, const uint8_t* data, size_t size,
                          const uint8_t* signature, size_t signatureSize) {
  uint8_t digest[RECORD_DIGEST_SIZE];
  static const uint8_t kEmpty[1] = {0};
  SHA256(size ? data : kEmpty, size, digest);
  return CheckRecordDigestSignature(key, digest, signature, signatureSize);
}
