// Segmented records: one zlib stream whose parts decode on their own.
//
// A FileRecord's stored bytes are always one zlib stream (2-byte header, raw deflate data,
// 4-byte big-endian Adler-32), so a reader that knows nothing of segments decodes it as
// before. The packaging tool cuts the decoded content into segments of `segmentSize` bytes
// (a power of two from SEGMENT_SIZE_MIN to SEGMENT_SIZE_MAX; the last segment holds the rest,
// 1 to segmentSize bytes; an empty record is one segment of 0 bytes; so a record of `size`
// bytes has max(1, ceil(size / segmentSize)) segments) and compresses each without reference
// to earlier data. Every segment but the last ends on a byte boundary with an empty stored
// block that is not final (its last four bytes are 00 00 FF FF) and holds no final block; the
// last segment ends the stream (final block, Adler-32). Segment i occupies the stored bytes
// [storedEnd[i-1], storedEnd[i]) (storedEnd[-1] = 0): the first one includes the zlib header,
// the last one the Adler-32, and storedEnd[count-1] is the record's stored size.
//
// The index (segmentSize and the stored ends) is carried by the signed manifest (see
// manifest/segments.h); it is checked against the record before anything is allocated from
// it. A segment decodes on its own: its raw deflate data (without the zlib header in the
// first, without the Adler-32 in the last), followed for every segment but the last by the
// two bytes 03 00 (an empty final block), must be consumed exactly and make exactly the
// segment's decoded length. The first segment's zlib header must be valid (method 8, window
// at most 32 KiB, check bits right, no preset dictionary) and the Adler-32 of all decoded
// bytes must equal the stream's. Anything else fails the record as corrupt (13).
//
// Builds natively and for Windows.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/status.h"

enum : uint32_t {
  SEGMENT_SIZE_MIN = 1u << 20,
  SEGMENT_SIZE_MAX = 1u << 23,
  SEGMENT_INPUT_SLACK = 2,  // bytes of room a caller leaves behind a segment's stored bytes
  ZLIB_HEADER_SIZE = 2,
  ZLIB_TRAILER_SIZE = 4,
};

struct SegmentIndex {
  uint32_t segmentSize;  // decoded bytes per segment but the last
  uint32_t count;        // segments, at least 1
  uint32_t* storedEnd;   // `count` ascending stored end offsets (LocalAlloc, owned), or null
};

// Frees the ends (null is fine) and zeroes the index.
void FreeSegmentIndex(SegmentIndex* index);

// The number of segments a record of `size` decoded bytes has at `segmentSize`.
uint32_t SegmentCountFor(uint32_t size, uint32_t segmentSize);

// Code 0 when `index` fits a record of `storedSize` stored and `size` decoded bytes: a
// power-of-two segment size in range, SegmentCountFor(size) segments, ends strictly
// ascending, the first at least ZLIB_HEADER_SIZE + 1 bytes in, the last exactly at
// `storedSize` and at least ZLIB_TRAILER_SIZE + 1 bytes behind the previous one; else 13.
Status CheckSegmentIndex(const SegmentIndex* index, uint32_t storedSize, uint32_t size);

// Decoded length of segment `i` of a checked index for a record of `size` bytes.
uint32_t SegmentDecodedSize(const SegmentIndex* index, uint32_t size, uint32_t i);
// First stored byte of segment `i` and its stored length.
uint32_t SegmentStoredStart(const SegmentIndex* index, uint32_t i);
uint32_t SegmentStoredSize(const SegmentIndex* index, uint32_t i);

// A decoder of single segments; one per thread. NewSegmentDecoder gives null when memory
// runs out.
struct SegmentDecoder;
SegmentDecoder* NewSegmentDecoder();
void FreeSegmentDecoder(SegmentDecoder* decoder);

// Decodes segment `i` of the checked `index` (record of `size` decoded bytes). `stored`
// holds the segment's SegmentStoredSize(i) stored bytes followed by SEGMENT_INPUT_SLACK
// bytes of room that are overwritten. On code 0, `out` holds exactly SegmentDecodedSize(i)
// bytes; for the last segment `*streamAdler` gets the stream's Adler-32 (unchanged for
// others), to be compared with the Adler-32 of all decoded bytes (UpdateAdler32). 13 for
// anything that does not decode as described above. Reentrant per decoder.
Status DecodeSegment(SegmentDecoder* decoder, const SegmentIndex* index, uint32_t size,
                     uint32_t i, uint8_t* stored, uint8_t* out, uint32_t* streamAdler);

// Adler-32 running over decoded bytes; start with ADLER32_INITIAL.
enum : uint32_t { ADLER32_INITIAL = 1 };
uint32_t UpdateAdler32(uint32_t adler, const uint8_t* data, size_t size);

// Decodes a whole segmented record held in memory into `out` (exactly `size` bytes), one
// segment after the other, with all of the checks above (CheckSegmentIndex included): code
// 0, 13 or 8 (no memory for the decoder or the slack copy).
Status DecodeSegmentedRecord(const uint8_t* stored, uint32_t storedSize,
                             const SegmentIndex* index, uint32_t size, uint8_t* out);

// A record without an index, decoded piece by piece through zlib into the caller's buffers:
// flat memory whatever the record's size. RecordInflaterStep consumes from `in` and writes
// to `out`, reporting how much of each it used; `*ended` becomes true once the stream has
// ended (Adler-32 checked; bytes behind it are ignored). Output past `limit` bytes in all
// (the most the stored length can make, or the entry's size), a corrupt or truncated stream
// (input exhausted at RecordInflaterFinish without the end) or a preset dictionary give 13;
// 8 when the inflater cannot start.
struct RecordInflater;
Status NewRecordInflater(uint32_t limit, RecordInflater** inflater);
Status RecordInflaterStep(RecordInflater* inflater, const uint8_t* in, uint32_t inSize,
                          uint32_t* consumed, uint8_t* out, uint32_t outSize,
                          uint32_t* produced, bool* ended);
// A step given input and room either uses some input, makes some output, ends or fails, so a
// caller may loop until its input is used up; after the end or a failure steps use nothing
// and return the same code. RecordInflaterFinish, once the caller's input is exhausted: code 0
// when the stream has ended, else 13 (truncated), or a failed step's code again.
Status RecordInflaterFinish(const RecordInflater* inflater);
void FreeRecordInflater(RecordInflater* inflater);
