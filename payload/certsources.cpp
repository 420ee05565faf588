// Certificate-extension sources (Windows only; see sources.h): reads the PKCS#7 signature in
// the image's first certificate table entry (from memory or the image's file), decodes it
// with the system's cryptographic message functions and registers one source per
// non-critical PAYLOAD_EXTENSION_OID extension (a copy of the container the decoder hands
// over, a source in memory).
// The first failure ends the walk; sources registered before it stay in the table.
#include "payload/sources.h"

#include <wincrypt.h>

#include <cstring>

namespace {

// Reads certificate `index` of the message and registers the sources its extensions carry.
Status ScanCertificate(HCRYPTMSG message, DWORD index) {
  DWORD encodedSize = 0;
  if (!CryptMsgGetParam(message, CMSG_CERT_PARAM, index, nullptr, &encodedSize))
    return STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);
  BYTE* encoded = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, encodedSize));
  if (!encoded) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);

  Status status = STATUS(0);
  PCCERT_CONTEXT cert = nullptr;
  if (!CryptMsgGetParam(message, CMSG_CERT_PARAM, index, encoded, &encodedSize)) {
    status = STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);
  } else {
    cert = CertCreateCertificateContext(X509_ASN_ENCODING, encoded, encodedSize);
    if (!cert) status = STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);
  }
  if (cert) {
    const CERT_INFO* info = cert->pCertInfo;
    for (DWORD i = 0; i < info->cExtension && StatusOk(status); ++i) {
      const CERT_EXTENSION* ext = &info->rgExtension[i];
      if (ext->fCritical || !ext->pszObjId || std::strcmp(ext->pszObjId, PAYLOAD_EXTENSION_OID) != 0)
        continue;
      status = AddContainerSource(ext->Value.pbData, ext->Value.cbData);
    }
    CertFreeCertificateContext(cert);
  }
  LocalFree(encoded);
  return status;
}

// Decodes the PKCS#7 `signature` and registers the sources of all its certificates.
Status ScanSignature(const uint8_t* signature, uint32_t signatureSize) {
  HCRYPTMSG message = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  if (!message) return STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);

  Status status = STATUS(0);
  DWORD count = 0;
  DWORD countSize = sizeof(count);
  if (!CryptMsgUpdate(message, signature, signatureSize, TRUE)) {
    status = STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);
  } else if (!CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &countSize)) {
    status = STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);
  } else {
    for (DWORD index = 0; index < count && StatusOk(status); ++index)
      status = ScanCertificate(message, index);
  }
  CryptMsgClose(message);
  return status;
}
}  // namespace

Status FindCertificateSources(const PayloadSource* image) {
  uint32_t contentOffset = 0;
  uint32_t contentSize = 0;
  // No usable certificate table: no source, and the caller falls back to the whole image.
  Status status = LocateImageCertificateEntry(image, &contentOffset, &contentSize);
  if (StatusCode(status) == ERROR_NOT_FOUND) return STATUS(0);
  if (!StatusOk(status)) return status;

  // The signature alone, not a container appended behind it (Wine's decoder fails on inputs
  // of about 60 MiB and more, whatever their DER length says, and the container need not be
  // read here). An entry that does not start with a DER element that fits is no message.
  uint8_t header[DER_HEADER_MAX];
  const uint32_t headerSize = contentSize < DER_HEADER_MAX ? contentSize : DER_HEADER_MAX;
  status = ReadSourceBytes(image, contentOffset, headerSize, header);
  if (!StatusOk(status)) return status;
  const uint32_t signatureSize = DerElementSize(header, contentSize);
  if (signatureSize == 0) return STATUS(STATUS_E_INVALIDARG);
  uint8_t* signature = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, signatureSize));
  if (!signature) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  status = ReadSourceBytes(image, contentOffset, signatureSize, signature);

  if (StatusOk(status)) status = ScanSignature(signature, signatureSize);
  LocalFree(signature);
  return status;
}

Status FindCertificateSources(const uint8_t* image, uint32_t imageSize) {
  const PayloadSource source = MemoryImage(image, imageSize);
  return FindCertificateSources(&source);
}
