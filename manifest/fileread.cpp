// Reading a planned file piece by piece, and the checks at its end (see fileread.h).
#include "manifest/fileread.h"

#include <cstring>

#include "payload/segment.h"

namespace {
enum : uint32_t { READ_OUTPUT_SIZE = 1u << 20 };

const PayloadSource* SourceOf(const SourceTable* sources, const FileSetItem* item) {
  if (item->sourceIndex < 0 || static_cast<uint32_t>(item->sourceIndex) >= sources->sourceCount)
    return nullptr;
  return &sources->sources[item->sourceIndex];
}

uint32_t InflateLimit(const FileSetItem* item) {
  return (item->flags & FILE_HAS_SIZE) ? item->size : MostInflatedBytes(item->place.dataSize);
}

// The segmented record, one segment after the other on this thread.
Status ReadSegmented(const SourceTable* sources, const FileSetItem* item, PlannedFileSink sink,
                     void* user, RecordHash* hash) {
  const SegmentIndex* index = &item->segments;
  uint32_t largest = 0;
  for (uint32_t i = 0; i < index->count; ++i)
    if (SegmentStoredSize(index, i) > largest) largest = SegmentStoredSize(index, i);
  uint8_t* stored = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, largest + SEGMENT_INPUT_SLACK));
  uint8_t* out = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, index->segmentSize));
  SegmentDecoder* decoder = NewSegmentDecoder();
  Status status = STATUS(ERROR_SUCCESS);
  if (!stored || !out || !decoder) status = STATUS(ERROR_NOT_ENOUGH_MEMORY);
  uint32_t adler = ADLER32_INITIAL;
  uint32_t streamAdler = 0;
  for (uint32_t i = 0; StatusOk(status) && i < index->count; ++i) {
    status = ReadStoredSegment(sources, item, i, stored);
    if (StatusOk(status))
      status = DecodeSegment(decoder, index, item->size, i, stored, out, &streamAdler);
    if (!StatusOk(status)) break;
    const uint32_t n = SegmentDecodedSize(index, item->size, i);
    adler = UpdateAdler32(adler, out, n);
    UpdateRecordHash(hash, out, n);
    if (sink && !sink(user, out, n)) status = STATUS(ERROR_CANCELLED);
  }
  if (StatusOk(status) && adler != streamAdler) status = STATUS(ERROR_INVALID_DATA);
  if (decoder) FreeSegmentDecoder(decoder);
  if (out) LocalFree(out);
  if (stored) LocalFree(stored);
  return status;
}

// A record without an index, through the reader.
Status ReadUnindexed(const SourceTable* sources, const FileSetItem* item, PlannedFileSink sink,
                     void* user, RecordHash* hash, uint64_t* decoded) {
  UnindexedReader reader;
  Status status = OpenUnindexedReader(sources, item, &reader);
  uint8_t* out = StatusOk(status) ? static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, READ_OUTPUT_SIZE))
                                  : nullptr;
  if (StatusOk(status) && !out) status = STATUS(ERROR_NOT_ENOUGH_MEMORY);
  bool ended = false;
  while (StatusOk(status) && !ended) {
    uint32_t produced = 0;
    status = UnindexedReaderStep(&reader, out, READ_OUTPUT_SIZE, &produced, &ended);
    if (!StatusOk(status) || produced == 0) continue;
    UpdateRecordHash(hash, out, produced);
    *decoded += produced;
    if (sink && !sink(user, out, produced)) status = STATUS(ERROR_CANCELLED);
  }
  if (out) LocalFree(out);
  CloseUnindexedReader(&reader);
  return status;
}
}  // namespace

Status ReadStoredSegment(const SourceTable* sources, const FileSetItem* item, uint32_t i,
                         uint8_t* buffer) {
  const PayloadSource* source = SourceOf(sources, item);
  if (!source || i >= item->segments.count) return STATUS(ERROR_INVALID_DATA);
  return ReadSourceBytes(source, item->place.dataOffset + SegmentStoredStart(&item->segments, i),
                         SegmentStoredSize(&item->segments, i), buffer);
}

Status OpenUnindexedReader(const SourceTable* sources, const FileSetItem* item,
                           UnindexedReader* reader) {
  std::memset(reader, 0, sizeof(*reader));
  reader->source = SourceOf(sources, item);
  reader->item = item;
  if (!reader->source) return STATUS(ERROR_INVALID_DATA);
  if (!(reader->source->flags & SOURCE_COMPRESSED)) return STATUS(ERROR_SUCCESS);
  reader->input = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, UNINDEXED_INPUT_SIZE));
  if (!reader->input) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  return NewRecordInflater(InflateLimit(item), &reader->inflater);
}

Status UnindexedReaderStep(UnindexedReader* reader, uint8_t* out, uint32_t outSize,
                           uint32_t* produced, bool* ended) {
  *produced = 0;
  *ended = reader->ended;
  if (reader->ended) return STATUS(ERROR_SUCCESS);
  const RecordPlace& place = reader->item->place;
  if (!reader->inflater) {
    // A plain record: its stored bytes are its content.
    uint32_t n = place.dataSize - reader->readOffset;
    if (n > outSize) n = outSize;
    if (n) {
      const Status read = ReadSourceBytes(reader->source, place.dataOffset + reader->readOffset, n, out);
      if (!StatusOk(read)) return read;
    }
    reader->readOffset += n;
    *produced = n;
    reader->ended = *ended = reader->readOffset == place.dataSize;
    return STATUS(ERROR_SUCCESS);
  }
  for (;;) {
    if (reader->inputUsed == reader->inputFill && reader->readOffset < place.dataSize) {
      uint32_t n = place.dataSize - reader->readOffset;
      if (n > UNINDEXED_INPUT_SIZE) n = UNINDEXED_INPUT_SIZE;
      const Status read =
          ReadSourceBytes(reader->source, place.dataOffset + reader->readOffset, n, reader->input);
      if (!StatusOk(read)) return read;
      reader->readOffset += n;
      reader->inputUsed = 0;
      reader->inputFill = n;
    }
    if (reader->inputUsed == reader->inputFill) {
      // Every stored byte given: the stream must have ended (13 when it stops short).
      const Status finished = RecordInflaterFinish(reader->inflater);
      if (!StatusOk(finished)) return finished;
      reader->ended = *ended = true;
      return STATUS(ERROR_SUCCESS);
    }
    uint32_t consumed = 0;
    bool done = false;
    const Status stepped = RecordInflaterStep(
        reader->inflater, reader->input + reader->inputUsed, reader->inputFill - reader->inputUsed,
        &consumed, out, outSize, produced, &done);
    if (!StatusOk(stepped)) return stepped;
    reader->inputUsed += consumed;
    if (done) {
      reader->ended = *ended = true;
      return STATUS(ERROR_SUCCESS);
    }
    if (*produced) return STATUS(ERROR_SUCCESS);
    // A step given input and room always moves; one that does not cannot go on.
    if (consumed == 0) return STATUS(ERROR_INVALID_DATA);
  }
}

void CloseUnindexedReader(UnindexedReader* reader) {
  if (reader->inflater) FreeRecordInflater(reader->inflater);
  if (reader->input) LocalFree(reader->input);
  std::memset(reader, 0, sizeof(*reader));
}

Status FinishPlannedFile(const SourceTable* sources, const FileSetItem* item, RecordHash* hash,
                         uint64_t decoded, uint8_t digest[RECORD_DIGEST_SIZE]) {
  FinishRecordHash(hash, digest);
  const PayloadSource* source = SourceOf(sources, item);
  if (!source) return STATUS(ERROR_INVALID_DATA);
  if ((item->flags & FILE_HAS_SIZE) && decoded != item->size) return STATUS(ERROR_INVALID_DATA);
  if ((item->flags & FILE_HAS_DIGEST) &&
      std::memcmp(digest, item->digest, RECORD_DIGEST_SIZE) != 0)
    return STATUS(ERROR_FILE_CORRUPT);
  if (!(source->flags & SOURCE_SIGNED)) return STATUS(ERROR_SUCCESS);
  if (item->place.signatureSize != RECORD_SIGNATURE_SIZE) return STATUS(ERROR_FILE_CORRUPT);
  uint8_t signature[RECORD_SIGNATURE_SIZE];
  const Status read =
      ReadSourceBytes(source, item->place.signatureOffset, RECORD_SIGNATURE_SIZE, signature);
  if (!StatusOk(read)) return read;
  return VerifyRecordDigest(digest, signature, RECORD_SIGNATURE_SIZE);
}

Status ReadPlannedFile(const SourceTable* sources, const FileSetItem* item, PlannedFileSink sink,
                       void* user) {
  RecordHash hash;
  BeginRecordHash(&hash);
  uint64_t decoded = 0;
  Status status;
  if (item->segments.count) {
    status = ReadSegmented(sources, item, sink, user, &hash);
    decoded = item->size;
  } else {
    status = ReadUnindexed(sources, item, sink, user, &hash, &decoded);
  }
  uint8_t digest[RECORD_DIGEST_SIZE];
  if (StatusOk(status)) status = FinishPlannedFile(sources, item, &hash, decoded, digest);
  return status;
}
