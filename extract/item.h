// The files of an extraction: one record per file of the file set.
//
// An ExtractFile holds the file's plan (moved out of the file set: name, source, record
// place, digest, size, index), its temporary file while it is written (staging handle, path
// and identity), the digest its bytes had as they were written, its hold once verified (a
// read handle with read sharing only) and its final path. NewExtractFiles moves every plan of
// the set into a new zero-filled array (code 0, or 8 with *files null and the set untouched);
// the set's array is then the caller's to free (FreeFileSet frees no index any more). The
// array is freed by FreeExtractFiles once every handle is closed (see cleanup.h).
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"
#include "manifest/staging.h"

// Volume serial number and file index: who a file is, outliving its handles.
struct FileIdentity {
  uint32_t known;  // 0: nothing recorded
  uint32_t volume;
  uint32_t indexHigh;
  uint32_t indexLow;
};

enum : uint32_t {
  FILE_PLANNED = 0,   // nothing on disk yet
  FILE_REUSED = 1,    // already in the folder with the planned digest and size: held
  FILE_STAGED = 2,    // its temporary file is created (and being written)
  FILE_VERIFIED = 3,  // written in full, record verified, still under its temporary name
  FILE_HELD = 4,      // renamed to its final name, read back and held
};

struct ExtractFile {
  FileSetItem plan;
  uint32_t state;                      // FILE_*
  uint32_t replaces;                   // an earlier release's other file has the final name
  char path[ITEM_PATH_SIZE];           // final path
  char stagingPath[ITEM_PATH_SIZE];    // temporary path (kept for the log once renamed)
  HANDLE staging;                      // the temporary file, write and delete access, or null
  HANDLE held;                         // read handle (read sharing only), or null
  FileIdentity identity;               // the file this run created or verified
  uint8_t written[RECORD_DIGEST_SIZE]; // SHA-256 of the bytes written (FILE_VERIFIED on)
  uint64_t writtenBytes;
};

Status NewExtractFiles(FileSetItem* set, int32_t count, ExtractFile** files);
