// The file set: the plan of the files a run extracts.
//
// AssembleFileSet plans the files of the chosen package: "main.msi" from the chosen entry's
// FileRecord first, then every cabinet line ("cab\ids\name", kind in any case) of the chosen
// source that lists the chosen entry id (once, however often it lists it), in manifest order.
// It decodes nothing: each item gets its name, its source, where its record lies
// (LocateSourceRecord), the entry's digest, decoded size and segment index (see digest.h,
// size.h, segments.h), and everything that can be checked without decoding is checked here,
// before any folder exists: a missing record (1168), a malformed digest field or, in a signed
// source, a signature that is not RECORD_SIGNATURE_SIZE bytes (1392), a malformed size or
// index field, an index without a size field or that does not fit the record's stored size
// (CheckSegmentIndex), a size no stream of the stored length can reach, a plain record whose
// length is not its size, an index on a plain record (13). With FILESET_REQUIRE_DIGESTS (the
// stub's default) an entry without a digest field fails too (13): a manifest that binds
// nothing would let any record signed with the same key stand in for another entry's file.
// What only decoding shows (a corrupt stream, another size, a wrong digest or signature) is
// found while the file is written (see fileread.h).
// The array grows by one zero-filled element per item. It returns the first failure: 8 for an
// allocation, 13 for a cabinet line whose file name is not a plain file name (see entry.h)
// or did not convert exactly, whose package ids did not convert exactly, names a file the set
// already has (main.msi included, letters of any case) or whose field does not fit, the item's
// own failure above, and the walk's Status when it ends early on a malformed manifest; the
// items added so far stay in the array for the caller's clean-up (FreeFileSet). The manifest
// is walked in `sources`, which must be the registered table (EnumManifestEntries walks it).
#pragma once
#include <cstdint>

#include "common/winseam.h"
#include "manifest/select.h"
#include "manifest/size.h"
#include "payload/segment.h"
#include "payload/sources.h"

enum : uint32_t { ITEM_PATH_SIZE = 261 };
// AssembleFileSet's flags.
enum : uint32_t { FILESET_REQUIRE_DIGESTS = 1 };
// FileSetItem flags: which of the entry's fields were there.
enum : uint32_t { FILE_HAS_DIGEST = 1, FILE_HAS_SIZE = 2 };

// The plan of one file: its name in the extraction folder and where its verified bytes come
// from.
struct FileSetItem {
  char name[ITEM_PATH_SIZE];
  int32_t sourceIndex;
  uint32_t recordId;
  RecordPlace place;        // the record in its source's container
  uint32_t flags;           // FILE_HAS_DIGEST | FILE_HAS_SIZE
  uint8_t digest[RECORD_DIGEST_SIZE];  // the manifest's digest (FILE_HAS_DIGEST)
  uint32_t size;            // the decoded size (FILE_HAS_SIZE), else 0
  SegmentIndex segments;    // checked index (owned), or count 0: the record has none
};

// The bytes a file counts for in the progress: its decoded size, or its stored size when
// the entry states none.
uint64_t PlannedBytes(const FileSetItem* item);

// Fills `item` with `name` and the plan of the entry's file record. `expected`: the entry's
// digest field, or null for none; `requireDigest`: none fails. `size`: the entry's size field,
// or null for none. `segments`: the index field's state and index (SEGMENTS_ABSENT when null);
// a present index is moved into the item (the caller's is left empty) whatever the outcome.
Status PlanFileSetItem(const SourceTable* sources, int32_t sourceIndex, uint32_t entryId,
                       FileSetItem* item, const char* name, const RecordDigest* expected,
                       const RecordSize* size, uint32_t segmentsState, SegmentIndex* segments,
                       bool requireDigest);
// Builds the file set (see above).
Status AssembleFileSet(const SourceTable* sources, const PackageSelection* selection,
                       FileSetItem** items, int32_t* itemCount, uint32_t flags);
// Frees every item's index and the array (null and 0 are fine).
void FreeFileSet(FileSetItem* items, int32_t itemCount);
