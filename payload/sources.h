// Payload sources: where the containers of an executable image are found.
//
// The SourceTable is process-wide (gSourceTable). FindCertificateSources registers one
// source per non-critical PAYLOAD_EXTENSION_OID extension of the certificates in the
// image's first WIN_CERTIFICATE; AddContainerSource registers a container (the whole image,
// when there is no certificate extension).
// Each registered source owns a copy of its container and its verified manifest (flags 3).
// FreeSources releases all of them and empties the table. LocateCertificateEntry holds the
// PE32+ and certificate-table checks (no system calls), so it builds natively.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "payload/record.h"

struct SourceTable {
  PayloadSource* sources;  // owned array, grown by one element per registration
  uint32_t sourceCount;
};

extern SourceTable gSourceTable;

// Adds `source` (its blocks now owned by the table) at the end; 8 when the table cannot grow.
Status AppendSource(const PayloadSource* source);
// Registers a copy of `container` as a source (flags 3) once its manifest has loaded; on
// failure nothing of it stays allocated.
Status AddContainerSource(const uint8_t* container, uint32_t containerSize);
// Frees every source's blocks and the table, which is left empty.
void FreeSources();

// True when `image` is a PE32+ file whose security directory lies inside the image and whose
// first WIN_CERTIFICATE has a dwLength from 8 to the directory's size; then `content` and
// `contentSize` give the entry's bytes behind its 8-byte header.
bool LocateCertificateEntry(const uint8_t* image, uint32_t imageSize, const uint8_t** content,
                            uint32_t* contentSize);
// Length of the DER element at `der` (its header included; definite lengths of up to four
// bytes), or 0 when it does not fit in `size`.
uint32_t DerElementSize(const uint8_t* der, uint32_t size);

#ifdef _WIN32
// Registers the containers of the image's certificate extensions (see above).
Status FindCertificateSources(const uint8_t* image, uint32_t imageSize);
#endif
