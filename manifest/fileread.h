// Reading a planned file: its record's bytes, piece by piece, and the checks at its end.
//
// Nothing here holds a whole record. ReadStoredSegment copies segment `i`'s stored bytes of
// an item with an index (see payload/segment.h) into `buffer`, which has room for
// SegmentStoredSize(i) + SEGMENT_INPUT_SLACK bytes, ready for DecodeSegment. A record without
// an index is read by an UnindexedReader: a compressed one inflated through RecordInflater
// (limit: the entry's size, else the most its stored length can make), a plain one copied;
// each UnindexedReaderStep puts the next 1 to `outSize` decoded bytes into `out`, `*ended`
// true once the record has ended (13 for a corrupt or truncated stream, the read's own error
// for the source). FinishPlannedFile makes the checks of a record whose `decoded` bytes were
// hashed into `hash` (finished here, the digest left in `digest`): the entry's size (13), the
// entry's digest (1392) and, in a signed source, the record's RSA signature over that digest,
// read from the source (VerifyRecordDigest: 1392, or 0x80090003).
// ReadPlannedFile does all of it on one thread, handing each verified-so-far piece to `sink`
// (false from the sink stops it with 1223): the bytes are the record's only if it returns 0.
// All of these read item->place in `sources`; they build natively and for Windows.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"
#include "payload/record.h"

enum : uint32_t { UNINDEXED_INPUT_SIZE = 1u << 16 };

Status ReadStoredSegment(const SourceTable* sources, const FileSetItem* item, uint32_t i,
                         uint8_t* buffer);

struct UnindexedReader {
  const PayloadSource* source;
  const FileSetItem* item;
  struct RecordInflater* inflater;  // null for a plain record
  uint8_t* input;                   // UNINDEXED_INPUT_SIZE bytes (LocalAlloc), or null
  uint32_t inputUsed, inputFill;
  uint32_t readOffset;              // stored bytes read so far
  bool ended;
};
Status OpenUnindexedReader(const SourceTable* sources, const FileSetItem* item,
                           UnindexedReader* reader);
Status UnindexedReaderStep(UnindexedReader* reader, uint8_t* out, uint32_t outSize,
                           uint32_t* produced, bool* ended);
void CloseUnindexedReader(UnindexedReader* reader);

Status FinishPlannedFile(const SourceTable* sources, const FileSetItem* item, RecordHash* hash,
                         uint64_t decoded, uint8_t digest[RECORD_DIGEST_SIZE]);

typedef bool (*PlannedFileSink)(void* user, const uint8_t* data, uint32_t size);
Status ReadPlannedFile(const SourceTable* sources, const FileSetItem* item, PlannedFileSink sink,
                       void* user);
