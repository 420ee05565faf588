// File set assembly.
//
// AssembleFileSet builds the item array for the chosen package: "main.msi" from the chosen
// entry's FileRecord first, then every cabinet line ("cab\ids\name", kind in any case) of
// the chosen source that lists the chosen entry id (once, however often it lists it), in
// manifest order, each decoded and verified with LoadRecord; an entry that carries a digest
// field (see digest.h) also needs its record to match it, and an entry with a malformed one
// fails; an entry that carries a size field (see size.h) gets its record decoded into one
// block of exactly that size, and fails when the record decodes to any other length or the
// field is malformed. With FILESET_REQUIRE_DIGESTS (the stub's default) an entry without a
// digest field fails too: a manifest that binds nothing would let any record signed with the
// same key stand in for another entry's file. With FILESET_RELEASE_RECORDS, and when no two
// entries of the chosen source share an id (so no record of the set is decoded twice), each
// record's stored data is given back to the system (ReleaseRecordData) as soon as it has
// decoded and verified: the peak holds the decoded files and only the records still to come,
// and the source's container no longer serves those records afterwards. The array grows by one zero-filled element per
// item. It returns the first failure: 8 for an allocation, the record's own Status (1168
// missing, 1392 bad signature or digest, 13 corrupt or of another size, 8), 13 for a cabinet
// line whose file name is not a plain file name (see entry.h) or did not convert exactly, whose
// package ids did not convert exactly, names a file the set already has (main.msi
// included, letters of any case) or whose field does not fit, 1392 for a malformed digest
// field, 13 for a malformed size field or a missing digest where digests are required, and
// the walk's Status when it ends early on a malformed manifest; the items added so far stay
// in the array for the caller's clean-up.
#pragma once
#include <cstdint>

#include "common/winseam.h"
#include "manifest/select.h"
#include "manifest/size.h"

enum : uint32_t { ITEM_PATH_SIZE = 261 };
// AssembleFileSet's flags.
enum : uint32_t { FILESET_REQUIRE_DIGESTS = 1, FILESET_RELEASE_RECORDS = 2 };

// One file of the set: its name in the extraction folder and its verified bytes.
struct FileSetItem {
  char name[ITEM_PATH_SIZE];
  uint8_t* data;     // decoded content, owned (LocalFree)
  uint32_t size;
};

struct CabinetCollector {
  FileSetItem** items;
  int32_t* itemCount;
  int32_t sourceIndex;
  uint32_t entryId;
  Status failed;  // the first failure of the walk, or success
  uint32_t requireDigests;
  uint32_t releaseRecords;  // give each record's stored data back once it is decoded
};

// Fills `item` with `name` and the entry's file record, decoded and verified.
// `expected`: the entry's digest field, or null for none; `requireDigest`: none fails.
// `size`: the entry's size field (see size.h), or null for none; a present size is the exact
// decoded size the record must have, a malformed one fails the item.
Status FillFileSetItem(int32_t sourceIndex, uint32_t entryId, FileSetItem* item, const char* name,
                       const RecordDigest* expected, const RecordSize* size, bool requireDigest);
// EnumManifestEntries callback: adds the item of a cabinet line of the collector's source
// that lists its entry id; the first failure is kept in the collector.
bool AddCabinetItems(int32_t sourceIndex, const ManifestFields* entry, void* userData);
// Builds the file set (see above).
Status AssembleFileSet(const PackageSelection* selection, FileSetItem** items, int32_t* itemCount,
                       uint32_t flags);
// Frees every item's data and the array (null and 0 are fine).
void FreeFileSet(FileSetItem* items, int32_t itemCount);
