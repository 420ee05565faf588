// Packing files into signed, segmented FileRecords, segment by segment.
//
// PackFiles reads each input in order, one segment (options.segmentSize bytes) at a time,
// hashing it (SHA-256 for the signature and the manifest's digest) and handing it to
// `options.jobs` compressing threads (0: one per core); the segments come back in order and
// are appended to `records` (the container's FileRecords, stored bytes, signature and
// trailer, one file after the other), and each file's facts go to `packed`. Memory stays at
// a few segments per thread whatever the files' sizes. The stored bytes depend only on the
// inputs, the level and the segment size, never on the number of threads. `progress`, when
// given, hears on the calling thread how many of the inputs' total bytes are done. It fails
// at the first input that cannot be read, changes size while it is read or is larger than
// 4 GiB - 1, and as soon as `records` would pass `room` bytes.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/format.h"
#include "pack/fileio.h"
#include "pack/writer.h"
#include "payload/segment.h"

enum : uint32_t { DEFAULT_SEGMENT_SIZE = 1u << 20 };

struct PackInput {
  std::string path;
  uint32_t id;
};

struct PackedFile {
  uint32_t id;
  uint64_t size;                          // decoded bytes
  uint8_t digest[RECORD_DIGEST_SIZE];     // SHA-256 of the decoded bytes
  std::vector<uint32_t> segmentLengths;   // stored bytes of each segment
};

struct PackOptions {
  int level = DEFAULT_COMPRESSION_LEVEL;
  uint32_t segmentSize = DEFAULT_SEGMENT_SIZE;
  unsigned jobs = 0;                 // compressing threads; 0: one per core
  uint64_t room = 0xFFFFFFFFu;       // the most `records` may hold
};

// Told the bytes done of the total; `context` is the caller's.
struct PackProgress {
  void (*advanced)(uint64_t done, uint64_t total, void* context);
  void* context;
};

// Why a setup that passes its room fails.
extern const char kSetupTooLarge[];

// True for a power of two from SEGMENT_SIZE_MIN to SEGMENT_SIZE_MAX.
bool ValidSegmentSize(uint64_t size);

bool PackFiles(const std::vector<PackInput>& inputs, const PackOptions& options, EVP_PKEY* key,
               ScratchFile* records, std::vector<PackedFile>* packed,
               const PackProgress* progress, std::string* error);

// One record's content compressed into `stored` as a segmented stream in memory, on the
// calling thread (tests, and the tool's own small records); the segments' stored lengths go
// to `segmentLengths`.
bool CompressSegmentedRecord(const uint8_t* data, size_t size, int level, uint32_t segmentSize,
                             Bytes* stored, std::vector<uint32_t>* segmentLengths,
                             std::string* error);
