// Compressing one segment of a segmented record (the layout is payload/segment.h's).
//
// A SegmentCompressor belongs to one thread: libdeflate at the record's level, and a zlib
// inflater that finds where the segment's final block begins. CompressSegment compresses
// `size` bytes (0 only for the one segment of an empty record) on their own as raw deflate
// data into `out`, which it replaces: the zlib header goes in front when `first`; unless
// `last`, the final block's BFINAL bit is cleared and an empty stored block that is not
// final (ending 00 00 FF FF) is appended, so the segment ends on a byte boundary and the
// next one continues the stream. The Adler-32 trailer of the last segment is the caller's
// (ZlibTrailer): it covers all segments. The bytes depend on the data, the level and the
// two flags alone, so the same record comes out the same on any number of threads.
// ZlibHeader gives the two header bytes libdeflate writes at `level` (78 01, 5E, 9C or DA).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "pack/fileio.h"

struct SegmentCompressor;

// Null with `error` set when memory runs out or the level is not 0 to 12.
SegmentCompressor* NewSegmentCompressor(int level, std::string* error);
void FreeSegmentCompressor(SegmentCompressor* compressor);

bool CompressSegment(SegmentCompressor* compressor, const uint8_t* data, size_t size, bool first,
                     bool last, Bytes* out, std::string* error);

void ZlibHeader(int level, uint8_t header[2]);
// The 4-byte big-endian Adler-32 that ends a zlib stream.
void ZlibTrailer(uint32_t adler, uint8_t trailer[4]);
