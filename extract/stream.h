// Streaming the files: records decoded while they are written.
//
// An ExtractJob writes every FILE_STAGED file of its array, in order, into its temporary file
// (see item.h), in bounded steps driven by the progress dialog (see progress.h). A file with a
// segment index (see payload/segment.h) is decoded by worker threads (one fewer than the
// processors, which leaves one for the step; at least 1, at most 4; started at the first
// step, each with its own SegmentDecoder and a stored-bytes buffer the size of the job's
// largest stored segment) into a ring of slots (one more than workers; each slot's decoded
// buffer holds the largest segment and is reused across segments and files), which a worker
// fills only once the step has given the slot back. Slots, then workers, are fewer where the
// largest segments would make the buffers pass 32 MiB, down to one worker and two slots (one
// decoding, one being written); the step takes the segments
// strictly in order, updates the Adler-32 and the SHA-256 and writes them. A file without an
// index is inflated on the step's own thread into one reused buffer (see fileread.h). No
// record is ever held whole. When a file's record ends, its stream's Adler-32, decoded size,
// the entry's digest and the record's signature are checked (FinishPlannedFile); it is then
// FILE_VERIFIED with the digest it was written with, and stays under its temporary name.
//
// ExtractJobStep performs one bounded step (at most `stepSize` bytes written, or a wait of at
// most a few milliseconds for the next segment); the Status code is 234 (ERROR_MORE_DATA)
// more to do, 0 every file written and verified, 29 (ERROR_WRITE_FAULT) the step's WriteFile
// failed or wrote short (the next step resumes after the last byte written: Retry), or any
// other code for a failure that ends the job (13 corrupt record or index, 1392 wrong digest
// or signature, 8, a read error of the source), which is also kept in `failure`.
// `completed`/`total` count decoded bytes written of all files (files already there count as
// written at once). StopExtractJob ends the workers and frees the ring (the job can be
// stopped at any point, and again); the files are the caller's.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/item.h"
#include "payload/sources.h"

enum : uint32_t { EXTRACT_STEP_SIZE = 0x80000, EXTRACT_WAIT_MILLISECONDS = 4 };

struct ExtractPipeline;

struct ExtractJob {
  const SourceTable* sources;
  ExtractFile* files;
  int32_t fileCount;
  uint32_t stepSize;
  int32_t position;     // the file being written; -1 before the first step
  uint64_t total;       // bytes of all files (PlannedBytes)
  uint64_t completed;   // bytes written (or there already)
  Status failure;       // the failure that ended the job, or success
  ExtractPipeline* pipeline;  // workers and ring, or null
};

// A job over `files` (count `fileCount`) of `sources`, before its first step.
void InitExtractJob(ExtractJob* job, const SourceTable* sources, ExtractFile* files,
                    int32_t fileCount);
Status ExtractJobStep(ExtractJob* job);
void StopExtractJob(ExtractJob* job);
