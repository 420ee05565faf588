// Payload signing keys.
//
// GenerateKeyFiles makes a new RSA-2048 pair and writes <prefix>.private.pem (owner-only),
// <prefix>.public.pem and <prefix>.public.blob (the 276-byte CryptoAPI PUBLICKEYBLOB the stub
// is built with); it never replaces an existing private key. LoadPrivateKey accepts a PEM
// RSA-2048 private key, LoadPublicKey a PEM public key or a 276-byte PUBLICKEYBLOB. Keys are
// EVP_PKEY references owned by the caller (EVP_PKEY_free). SignRecordBytes makes the 256-byte
// RSASSA-PKCS1-v1_5 signature over SHA-256 of the bytes (SignRecordDigest, over an already
// computed SHA-256); CheckRecordSignature checks one (CheckRecordDigestSignature, against an
// already computed SHA-256).
// OpenSslReason takes (and clears) OpenSSL's last error as a sentence for a message.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "common/format.h"
#include "pack/fileio.h"

std::string OpenSslReason();
bool GenerateKeyFiles(const std::string& prefix, std::string* error);
EVP_PKEY* LoadPrivateKey(const std::string& path, std::string* error);
EVP_PKEY* LoadPublicKey(const std::string& path, std::string* error);
bool PublicKeyBlob(EVP_PKEY* key, Bytes* blob, std::string* error);
// True when both keys share the same public half.
bool KeysMatch(EVP_PKEY* a, EVP_PKEY* b);

bool SignRecordDigest(EVP_PKEY* key, const uint8_t digest[RECORD_DIGEST_SIZE],
                      uint8_t signature[RECORD_SIGNATURE_SIZE], std::string* error);
bool SignRecordBytes(EVP_PKEY* key, const uint8_t* data, size_t size,
                     uint8_t signature[RECORD_SIGNATURE_SIZE], std::string* error);
bool CheckRecordDigestSignature(EVP_PKEY* key, const uint8_t digest[RECORD_DIGEST_SIZE],
                                const uint8_t* signature, size_t signatureSize);
bool CheckRecordSignature(EVP_PKEY* key, const uint8_t* data, size_t size,
                          const uint8_t* signature, size_t signatureSize);
