// Payload sources: where the containers of an executable image are found.
//
// The SourceTable is process-wide (gSourceTable). FindCertificateSources registers one
// source per non-critical PAYLOAD_EXTENSION_OID extension of the certificates in the
// image's first WIN_CERTIFICATE; AddContainerSource registers a copy of a container, and
// AdoptContainerSource a container block the caller hands over (the whole image, when there
// is no certificate extension); AddDecodedContainerSource registers a container
// whose manifest the caller has already decoded and verified (the packaging tool, with its
// own key).
// Each registered source owns its container block and its verified manifest (flags 3).
// FreeSources releases all of them and empties the table. LocateCertificateEntry holds the
// PE32+ and certificate-table checks (no system calls), so it builds natively.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "payload/record.h"

// The registered sources.
struct SourceTable {
  PayloadSource* sources;  // owned array, grown by one element per registration
  uint32_t sourceCount;
};

// The process's registered sources, in registration order.
extern SourceTable gSourceTable;

// Where one record lies in its source's container: offsets from the container's start.
struct RecordPlace {
  uint32_t dataOffset;
  uint32_t dataSize;
  uint32_t signatureOffset;
  uint32_t signatureSize;
};

// Finds the record of `type` and `id` in `source` (the walk's rules of FindRecord): code 0
// with `place` set, or 1168 (ERROR_NOT_FOUND).
Status LocateSourceRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                          RecordPlace* place);
// Copies `size` bytes at container offset `offset` into `out`, from the source's memory or by
// a positioned read of the source's file (several threads may read one source at once).
// 13 (ERROR_INVALID_DATA) when the range lies outside the container, 30 (ERROR_READ_FAULT)
// or the read's own error when the file gives fewer bytes.
Status ReadSourceBytes(const PayloadSource* source, uint32_t offset, uint32_t size, uint8_t* out);

// Appends `source` to the table, which then owns its blocks; on failure (out of memory) the
// table is unchanged and the caller still owns them.
Status AppendSource(const PayloadSource* source);
// Registers a copy of `container` as a source (flags 3) once its manifest has loaded and
// verified with the built-in key (LoadRecord) in that copy; on failure nothing of it stays
// allocated. `container` is read once.
Status AddContainerSource(const uint8_t* container, uint32_t containerSize);
// Registers the LocalAlloc block `container` itself as a source (flags 3) once its manifest
// has loaded and verified with the built-in key; on code 0 the table owns the block, on any
// failure the caller still does and nothing else stays allocated.
Status AdoptContainerSource(uint8_t* container, uint32_t containerSize);
// Registers a copy of `container` as a source (flags 3) with a copy of `manifest` as its
// manifest, taken as it is: the caller has decoded the container's ManifestRecord and
// vouches for it (nothing is checked here, and the built-in key is not used). On failure
// (out of memory) nothing of it stays allocated.
Status AddDecodedContainerSource(const uint8_t* container, uint32_t containerSize,
                                 const uint8_t* manifest, uint32_t manifestSize);
// Releases every source's blocks and the table's array, leaving an empty table.
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
// Registers one source per non-critical payload extension of the image's signature.
Status FindCertificateSources(const uint8_t* image, uint32_t imageSize);
#endif
