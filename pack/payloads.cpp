// The containers a stub already carries (see payloads.h).
#include "pack/payloads.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>

#include "common/format.h"
#include "pack/attach.h"
#include "pack/keys.h"
#include "payload/sources.h"

namespace {
// True when the certificate holds a payload extension, critical or not.
bool CarriesPayload(X509* cert) {
  const int count = X509_get_ext_count(cert);
  for (int e = 0; e < count; ++e) {
    char oid[128];
    if (OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(X509_get_ext(cert, e)), 1) > 0 &&
        std::strcmp(oid, PAYLOAD_EXTENSION_OID) == 0)
      return true;
  }
  return false;
}

PKCS7* DecodeSignature(const Bytes& der) {
  const unsigned char* cursor = der.data();
  PKCS7* p7 = d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size()));
  if (p7 && (!PKCS7_type_is_signed(p7) || !p7->d.sign)) {
    PKCS7_free(p7);
    p7 = nullptr;
  }
  ERR_clear_error();
  return p7;
}
}  // namespace

bool FindCarriedPayloads(const Bytes& image, std::vector<std::string>* found, std::string* error,
                         bool* single) {
  found->clear();
  bool ignored = false;
  if (!single) single = &ignored;
  *single = false;
  PeImage pe;
  if (!ReadPeImage(image, &pe, error)) return false;
  if (pe.tableSize == 0) {
    uint32_t start = 0;
    if (image.size() <= 0xFFFFFFFFu &&
        FindContainerStart(image.data(), static_cast<uint32_t>(image.size()), &start)) {
      found->push_back("a container appended at offset " + std::to_string(start));
      *single = true;
    }
    return true;
  }
  SignatureEntry entry;
  if (!ReadSignatureEntry(image, pe, &entry, error)) return false;
  if (!entry.container.empty()) {
    found->push_back("a container of " + std::to_string(entry.container.size()) +
                     " bytes behind the signature (mode cert-table)");
    *single = true;
  }
  PKCS7* p7 = DecodeSignature(entry.signature);
  if (!p7) return true;
  STACK_OF(X509)* certs = p7->d.sign->cert;
  const int count = certs ? sk_X509_num(certs) : 0;
  for (int c = 0; c < count; ++c)
    if (CarriesPayload(sk_X509_value(certs, c)))
      found->push_back("payload extensions in certificate " + std::to_string(c + 1) +
                       " of the signature (mode extension)");
  PKCS7_free(p7);
  return true;
}

bool RemoveCarriedPayloads(Bytes* image, std::string* error) {
  std::vector<std::string> found;
  if (!FindCarriedPayloads(*image, &found, error)) return false;
  if (found.empty()) return true;
  PeImage pe;
  if (!ReadPeImage(*image, &pe, error)) return false;
  if (pe.tableSize == 0) {
    // Containers appended one after another (by another tool) all go.
    Bytes bare = *image;
    uint32_t start = 0;
    while (FindContainerStart(bare.data(), static_cast<uint32_t>(bare.size()), &start)) {
      if (start < static_cast<uint64_t>(pe.peOffset) + PE_HEADERS_SIZE) {
        *error = "a container overlaps the PE headers; this is no stub with a payload";
        return false;
      }
      bare.resize(start);
    }
    WriteLe32(bare.data() + pe.checksumOffset, ComputePeChecksum(bare, pe.checksumOffset));
    image->swap(bare);
    return true;
  }
  SignatureEntry entry;
  if (!ReadSignatureEntry(*image, pe, &entry, error)) return false;
  entry.container.clear();
  PKCS7* p7 = DecodeSignature(entry.signature);
  if (p7 && p7->d.sign->cert) {
    STACK_OF(X509)* certs = p7->d.sign->cert;
    bool removed = false;
    for (int c = sk_X509_num(certs) - 1; c >= 0; --c) {
      if (!CarriesPayload(sk_X509_value(certs, c))) continue;
      X509_free(sk_X509_delete(certs, c));
      removed = true;
    }
    if (removed) {
      unsigned char* der = nullptr;
      const int size = i2d_PKCS7(p7, &der);
      if (size <= 0) {
        PKCS7_free(p7);
        *error = "cannot encode the signature again: " + OpenSslReason();
        return false;
      }
      entry.signature.assign(der, der + size);
      OPENSSL_free(der);
    }
  }
  PKCS7_free(p7);
  return WriteSignatureEntry(image, pe, entry, error);
}

PaddingVerdict CertificatePadding(const Bytes& image, std::string* why) {
  PeImage pe;
  std::string error;
  if (!ReadPeImage(image, &pe, &error) || pe.tableSize == 0) return PADDING_UNSIGNED;
  const uint8_t* table = image.data() + pe.tableOffset;
  if (pe.tableSize < WIN_CERTIFICATE_HEADER_SIZE) {
    *why = "the certificate table is shorter than its header";
    return PADDING_FAILS;
  }
  const uint32_t length = ReadLe32(table);
  const uint8_t* content = table + WIN_CERTIFICATE_HEADER_SIZE;
  const uint32_t available = pe.tableSize - WIN_CERTIFICATE_HEADER_SIZE;
  const uint64_t der = available && content[0] == 0x30 ? DerElementSize(content, available) : 0;
  if (!der) {
    *why = "the certificate table does not start with a PKCS#7 signature";
    return PADDING_FAILS;
  }
  uint64_t trailing = available - der;
  for (uint64_t i = der; i < available; ++i) {
    if (content[i] != 0 || trailing >= 8) {
      *why = std::to_string(trailing) + " bytes follow the signature in the certificate table "
             "(entry length " + std::to_string(length) + ", signature " + std::to_string(der) +
             " bytes): a container behind the signature (mode cert-table)";
      return PADDING_FAILS;
    }
  }
  return PADDING_PASSES;
}
