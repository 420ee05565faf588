// Record decoding and signature check.
//
// LoadRecord is the one way to read a record of a source whole: LocateSourceRecord (a file
// source's stored bytes and signature are then read into a block of their own), then inflate
// (SOURCE_COMPRESSED) or copy, then verify the RSA-2048 PKCS#1 v1.5 SHA-256 signature over
// the decoded bytes against the built-in public key (SOURCE_SIGNED). On code 0 the outputs
// hold a new LocalAlloc block owned by the caller and the content size; on any failure
// (1168, 13, 1392, 0x80090003, 8 when memory for a plain copy or a file record's bytes runs
// out, a read's failure; a record that does not inflate is 13 whatever the cause, memory
// included) the outputs are left untouched
// and nothing stays allocated. A signed source never hands out bytes whose signature was not
// checked.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/format.h"
#include "common/status.h"

// The record index of a source (sources.h: IndexSourceRecords, LocateSourceRecord).
struct SourceRecordIndex;

// A container in memory (`containerData`) or, when that is null, `containerSize` bytes at
// `fileOffset` in `file`; its bytes are read through ReadSourceBytes (sources.h).
struct PayloadSource {
  uint8_t* containerData;  // owned (LocalFree), or null for a file source
  uint32_t containerSize;
  uint8_t* manifest;       // owned (LocalFree)
  uint32_t manifestSize;
  uint32_t flags;          // SOURCE_COMPRESSED | SOURCE_SIGNED
  HANDLE file;             // not owned: the file a file source reads, opened by its caller
  uint64_t fileOffset;     // the container's first byte in `file`
  SourceRecordIndex* index;  // owned, or null: LocateSourceRecord then walks the trailers
};

Status LoadRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                  uint8_t** data, uint32_t* size);

// LoadRecord with one more check when `expectedDigest` (RECORD_DIGEST_SIZE bytes) is not
// null: the SHA-256 of the decoded bytes must equal it, else 1392 (ERROR_FILE_CORRUPT) and
// nothing is handed out. The digest is computed once and serves the signature check too.
// When `expectedSize` is not null the record must decode to exactly that many bytes, else 13
// (ERROR_INVALID_DATA): a compressed record is inflated by InflateSizedRecord into one block
// of that size, a plain one must have that many data bytes.
Status LoadBoundRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                       const uint8_t* expectedDigest, const uint32_t* expectedSize,
                       uint8_t** data, uint32_t* size);

// The most bytes a zlib stream of `storedSize` bytes can inflate to: 1032 per stored byte,
// never more than a 32-bit size counts (4 GiB - 1).
uint32_t MostInflatedBytes(uint32_t storedSize);

// Inflates a whole zlib stream into one growing LocalAlloc block. Returns code 0 (outputs
// set), 13 (ERROR_INVALID_DATA: corrupt, truncated, preset dictionary, too large) or 8
// (ERROR_NOT_ENOUGH_MEMORY, also when the inflater cannot start) with the outputs null and 0
// and nothing allocated.
// The block starts at 256 bytes (small records) or an eighth of the stored length and
// doubles whenever it is full, up to the most a stream of `storedSize` bytes can make (1032
// bytes per stored byte, the bound InflateSizedRecord applies to a given size) or 4 GiB - 1,
// whichever is less; output past that is refused with 13. The block may be up to twice the
// content's size, never larger than that bound.
Status InflateRecord(const uint8_t* stored, uint32_t storedSize, uint8_t** out, uint32_t* outSize);

// Inflates a whole zlib stream of a record whose decoded size is known into one LocalAlloc
// block of exactly `size` bytes (at least one byte is allocated for an empty record), in one
// call of libdeflate's zlib decompressor. Returns code 0 (`*out` set) when the stream ends
// after exactly `size` bytes, else 13 (corrupt, truncated, dictionary, or any other length; a
// size that no stream of `storedSize` bytes can reach is refused before anything is
// allocated) or 8 (no memory), with `*out` null and nothing allocated. Bytes behind the stream's end are ignored, as by
// InflateRecord; the streams on which the two differ (none a compressor writes) are listed in
// docs/design.md.
Status InflateSizedRecord(const uint8_t* stored, uint32_t storedSize, uint32_t size,
                          uint8_t** out);

// Checks `signature` over SHA-256 of `data`: code 0, 1392 (ERROR_FILE_CORRUPT) or
// 0x80090003 (NTE_BAD_KEY). VerifyRecordDigest does the same for an already computed
// SHA-256 (DigestRecordBytes).
Status VerifyRecord(const uint8_t* data, uint32_t dataSize, const uint8_t* signature,
                    uint32_t signatureSize);
Status VerifyRecordDigest(const uint8_t digest[RECORD_DIGEST_SIZE], const uint8_t* signature,
                          uint32_t signatureSize);
void DigestRecordBytes(const uint8_t* data, uint32_t dataSize, uint8_t digest[RECORD_DIGEST_SIZE]);

// SHA-256 over bytes that arrive piece by piece: Begin, any number of Updates, Finish (the
// digest DigestRecordBytes gives for all of them at once). Allocates nothing.
struct RecordHash {
  uint64_t state[16];  // the hash's context
};
void BeginRecordHash(RecordHash* hash);
void UpdateRecordHash(RecordHash* hash, const uint8_t* data, size_t size);
void FinishRecordHash(RecordHash* hash, uint8_t digest[RECORD_DIGEST_SIZE]);

// Writes the 276 bytes of the built-in PUBLICKEYBLOB into `out` (generated at build time).
void AssemblePayloadPublicKey(uint8_t out[PAYLOAD_PUBLIC_KEY_SIZE]);
