// Certificate-extension sources (Windows only; see sources.h): decodes the PKCS#7 signature
// in the image's first certificate table entry with the system's cryptographic message
// functions and registers one source per non-critical PAYLOAD_EXTENSION_OID extension.
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
}  // namespace

Status FindCertificateSources(const uint8_t* image, uint32_t imageSize) {
  const uint8_t* content = nullptr;
  uint32_t contentSize = 0;
  // No usable certificate table: no source, and the caller falls back to the whole image.
  if (!LocateCertificateEntry(image, imageSize, &content, &contentSize)) return STATUS(0);

  HCRYPTMSG message = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  if (!message) return STATUS_FROM_LAST_ERROR(STATUS_E_INVALIDARG);

  Status status = STATUS(0);
  DWORD count = 0;
  DWORD countSize = sizeof(count);
  // The signature alone, not a container appended behind it (Wine's decoder fails on inputs
  // of about 60 MiB and more, whatever their DER length says); an element that does not fit
  // is handed over whole, and the decoder refuses it.
  const uint32_t signatureSize = DerElementSize(content, contentSize);
  if (!CryptMsgUpdate(message, content, signatureSize ? signatureSize : contentSize, TRUE)) {
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
