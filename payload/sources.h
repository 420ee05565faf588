// Payload sources: where the containers of an executable image are found, and how their
// records are reached.
//
// The SourceTable is process-wide (gSourceTable). FindCertificateSources registers one
// source per non-critical PAYLOAD_EXTENSION_OID extension of the certificates in the
// image's first WIN_CERTIFICATE (reading only the PE headers, the certificate table entry's
// header and the PKCS#7 element from the image); AddContainerSource registers a copy of a
// container, AdoptContainerSource a container block the caller hands over, and
// AddFileContainerSource a container that stays in a file (the whole image, when there is no
// certificate extension: only its trailers and manifest are read); AddDecodedContainerSource
// registers a container whose manifest the caller has already decoded and verified (the
// packaging tool, with its own key).
// Each registered source owns its container block (none for a file source; the file is the
// caller's and must stay open until FreeSources), its verified manifest (flags 3) and its
// record index: one walk of the trailers at registration gives every record's place, so
// LocateSourceRecord is a lookup. FreeSources releases all of them and empties the table.
// LocateCertificateEntry holds the PE32+ and certificate-table checks (no system calls), so
// it builds natively.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "payload/container.h"
#include "payload/record.h"

// The registered sources.
struct SourceTable {
  PayloadSource* sources;  // owned array, grown by one element per registration
  uint32_t sourceCount;
};

// The process's registered sources, in registration order.
extern SourceTable gSourceTable;

// Finds the record of `type` and `id` in `source` (the walk's rules of FindRecord; RecordPlace
// is in container.h): code 0 with `place` set, or 1168 (ERROR_NOT_FOUND). A lookup in the
// source's index when it has one; else one walk, its trailers read through ReadSourceBytes
// (then also the read's failure). Allocates nothing.
Status LocateSourceRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                          RecordPlace* place);
// Copies `size` bytes at container offset `offset` into `out`, from the source's memory or by
// a positioned read of the source's file (several threads may read one source at once).
// 13 (ERROR_INVALID_DATA) when the range lies outside the container, 30 (ERROR_READ_FAULT)
// when the file ends before the range does, or a failed read's own error.
Status ReadSourceBytes(const PayloadSource* source, uint32_t offset, uint32_t size, uint8_t* out);

// Gives `source` its record index (one walk of its trailers, read through ReadSourceBytes):
// code 0, 8 (no memory; the index holds one entry per file record trailer the walk meets)
// or the read's failure, with `source->index` left null.
Status IndexSourceRecords(PayloadSource* source);
// Releases the index of `source` (none is fine) and sets it to null.
void FreeSourceRecordIndex(PayloadSource* source);

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
// Registers the `size` bytes at `offset` in `file` as a source (flags 3) without reading them
// whole: its index is built from its trailers, and its manifest is read, decoded and verified
// with the built-in key (LoadRecord). The file stays the caller's (not owned, never closed
// here), opened for reading, and must not change while the source is registered. On failure
// nothing of it stays allocated.
Status AddFileContainerSource(HANDLE file, uint64_t offset, uint32_t size);
// Registers a copy of `container` as a source (flags 3) with a copy of `manifest` as its
// manifest, taken as it is: the caller has decoded the container's ManifestRecord and
// vouches for it (nothing is checked here, and the built-in key is not used). On failure
// (out of memory) nothing of it stays allocated.
Status AddDecodedContainerSource(const uint8_t* container, uint32_t containerSize,
                                 const uint8_t* manifest, uint32_t manifestSize);
// Releases every source's blocks and the table's array, leaving an empty table.
void FreeSources();

// An image as a source without manifest or index, for the reads of discovery: its bytes in
// memory, or `size` bytes of `file` from its start.
PayloadSource MemoryImage(const uint8_t* image, uint32_t imageSize);
PayloadSource FileImage(HANDLE file, uint32_t size);

// Code 0 when `image` is a PE32+ file whose security directory lies inside the image and whose
// first WIN_CERTIFICATE has a dwLength from 8 to the directory's size; then `contentOffset`
// and `contentSize` give the entry's bytes behind its 8-byte header. 1168 (ERROR_NOT_FOUND)
// when there is no such entry, or the failure of a read. Reads the DOS header, the PE
// headers and the entry's length field, nothing else.
Status LocateImageCertificateEntry(const PayloadSource* image, uint32_t* contentOffset,
                                   uint32_t* contentSize);
// The same checks on an image in memory: true with `content` pointing into it.
bool LocateCertificateEntry(const uint8_t* image, uint32_t imageSize, const uint8_t** content,
                            uint32_t* contentSize);
// Length of the DER element at `der` (its header included; definite lengths of up to four
// bytes), or 0 when it does not fit in `size`. Reads only the element's header: at most
// DER_HEADER_MAX bytes, and never more than `size`.
enum : uint32_t { DER_HEADER_MAX = 6 };
uint32_t DerElementSize(const uint8_t* der, uint32_t size);

#ifdef _WIN32
// Registers one source per non-critical payload extension of the image's signature. Only the
// PKCS#7 element of the first certificate table entry is read (DerElementSize); an entry that
// does not start with one is refused as the message decoder refuses it (0x80070057).
Status FindCertificateSources(const PayloadSource* image);
Status FindCertificateSources(const uint8_t* image, uint32_t imageSize);
#endif
