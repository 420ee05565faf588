// Test fixtures: small PE32+ images, unsigned and signed with a real PKCS#7 SignedData.
#pragma once
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>

#include "common/format.h"
#include "pack/fileio.h"

namespace {
// A small PE32+ image signed with a real PKCS#7 SignedData in its certificate table.
struct SignedPe {
  Bytes image;
  Bytes signature;  // the DER of the PKCS#7
};

X509* SelfSigned(EVP_PKEY* key) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("pack test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  return cert;
}

Bytes Pe32PlusHeaders(uint16_t magic = PE_OPTIONAL_MAGIC_PE32PLUS) {
  Bytes image(0x400, 0);
  image[0] = 'M', image[1] = 'Z';
  WriteLe32(&image[PE_LFANEW_OFFSET], 0x80);
  std::memcpy(&image[0x80], "PE\0\0", 4);
  WriteLe16(&image[0x84], 0x8664);
  WriteLe16(&image[0x80 + PE_OPTIONAL_MAGIC_OFFSET], magic);
  WriteLe32(&image[0x80 + 132], 16);  // NumberOfRvaAndSizes
  for (size_t i = 0x200; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  return image;
}

SignedPe MakeSignedPe() {
  SignedPe pe;
  pe.image = Pe32PlusHeaders();
  EVP_PKEY* key = EVP_RSA_gen(2048);  // the Windows libcrypto is built without EC
  X509* cert = SelfSigned(key);
  BIO* content = BIO_new_mem_buf("signed content", -1);
  PKCS7* p7 = PKCS7_sign(cert, key, nullptr, content, PKCS7_BINARY | PKCS7_NOSMIMECAP);
  unsigned char* der = nullptr;
  const int n = i2d_PKCS7(p7, &der);
  pe.signature.assign(der, der + n);
  OPENSSL_free(der);
  PKCS7_free(p7);
  BIO_free(content);
  X509_free(cert);
  EVP_PKEY_free(key);

  const uint32_t length = WIN_CERTIFICATE_HEADER_SIZE + static_cast<uint32_t>(n);
  const uint32_t padded = (length + 7) & ~7u;
  const uint32_t at = static_cast<uint32_t>(pe.image.size());
  pe.image.resize(at + padded, 0);
  WriteLe32(&pe.image[at], length);
  WriteLe16(&pe.image[at + 4], 0x0200);
  WriteLe16(&pe.image[at + 6], 0x0002);
  std::memcpy(&pe.image[at + 8], pe.signature.data(), pe.signature.size());
  WriteLe32(&pe.image[0x80 + PE_SECURITY_DIR_OFFSET], at);
  WriteLe32(&pe.image[0x80 + PE_SECURITY_DIR_OFFSET + 4], padded);
  return pe;
}

}  // namespace
