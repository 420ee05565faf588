// File set assembly (see fileset.h): "main.msi" from the chosen entry's FileRecord, then the
// cabinets of the chosen source's lines "cab\ids\name[\sha256=...[\size=...]]" that list the
// chosen entry id.
#include "manifest/fileset.h"

#include <algorithm>
#include <cstring>

#include "common/format.h"
#include "manifest/enum.h"
#include "manifest/idlist.h"
#include "manifest/keyword.h"
#include "payload/record.h"
#include "payload/sources.h"

namespace {

// Cabinet line fields: kind, package ids, file name; a field may hold 255 characters.
enum : uint32_t { CABINET_FIELDS = 3, CABINET_FIELD_SIZE = 256 };

// Grows the item array by one zero-filled item. Returns the (possibly moved) block, or null
// with the old block and count left as they were.
FileSetItem* GrowItems(FileSetItem* items, int32_t count) {
  size_t bytes = (static_cast<size_t>(count) + 1) * sizeof(FileSetItem);
  if (!items) return static_cast<FileSetItem*>(LocalAlloc(LMEM_ZEROINIT, bytes));
  return static_cast<FileSetItem*>(LocalReAlloc(items, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT));
}

// True when an item of the set already has this file name.
bool NameTaken(const FileSetItem* items, int32_t count, const char* name) {
  for (int32_t i = 0; i < count; ++i)
    if (EqualsIgnoringAsciiCase(items[i].name, name)) return true;
  return false;
}

// The ids of one source's manifest entries, gathered by a walk.
struct EntryIds {
  int32_t sourceIndex;
  uint32_t* ids;  // owned (LocalFree)
  uint32_t count;
  uint32_t capacity;
  bool complete;
};

bool GatherEntryId(int32_t sourceIndex, const ManifestFields* entry, void* userData) {
  EntryIds* gathered = static_cast<EntryIds*>(userData);
  if (sourceIndex != gathered->sourceIndex) return true;
  if (gathered->count == gathered->capacity) {
    const uint32_t capacity = gathered->capacity ? gathered->capacity * 2 : 64;
    const size_t bytes = static_cast<size_t>(capacity) * sizeof(uint32_t);
    uint32_t* grown = static_cast<uint32_t*>(
        gathered->ids ? LocalReAlloc(gathered->ids, bytes, LMEM_MOVEABLE) : LocalAlloc(LMEM_FIXED, bytes));
    if (!grown) {
      gathered->complete = false;
      return false;
    }
    gathered->ids = grown;
    gathered->capacity = capacity;
  }
  gathered->ids[gathered->count++] = entry->id;
  return true;
}

// True when no two entries of the source share an id: then no record of the file set is
// decoded twice. Anything that keeps the answer open (a walk cut short, no memory) is false.
bool EntryIdsUnique(int32_t sourceIndex) {
  EntryIds gathered = {sourceIndex, nullptr, 0, 0, true};
  bool unique = StatusOk(EnumManifestEntries(GatherEntryId, &gathered)) && gathered.complete;
  if (unique && gathered.count > 1) {
    std::sort(gathered.ids, gathered.ids + gathered.count);
    unique = std::adjacent_find(gathered.ids, gathered.ids + gathered.count) ==
             gathered.ids + gathered.count;
  }
  if (gathered.ids) LocalFree(gathered.ids);
  return unique;
}

// After a record has decoded and verified, its stored data is given back when asked for.
void ReleaseDecoded(Status filled, bool release, int32_t sourceIndex, uint32_t id) {
  if (release && StatusOk(filled))
    ReleaseRecordData(&gSourceTable.sources[sourceIndex], RECORD_TYPE_FILE, id);
}

// The first failure of the cabinet walk is the one reported.
void KeepFirstFailure(CabinetCollector* collector, Status status) {
  if (StatusOk(collector->failed) && !StatusOk(status)) collector->failed = status;
}

}  // namespace

Status FillFileSetItem(int32_t sourceIndex, uint32_t entryId, FileSetItem* item, const char* name,
                       const RecordDigest* expected, const RecordSize* size, bool requireDigest) {
  std::memset(item, 0, sizeof(*item));
  size_t length = std::strlen(name);
  bool fits = length < ITEM_PATH_SIZE;
  if (!fits) length = ITEM_PATH_SIZE - 1;
  std::memcpy(item->name, name, length);
  item->name[length] = '\0';
  if (!fits) return STATUS(ERROR_INVALID_DATA);
  if (sourceIndex < 0 || static_cast<uint32_t>(sourceIndex) >= gSourceTable.sourceCount)
    return STATUS(ERROR_INVALID_DATA);
  // A malformed digest field matches no record; a missing one binds nothing, which only a
  // stub that accepts unbound manifests allows.
  if (expected && expected->state == DIGEST_MALFORMED) return STATUS(ERROR_FILE_CORRUPT);
  if (requireDigest && (!expected || expected->state != DIGEST_PRESENT))
    return STATUS(ERROR_INVALID_DATA);
  const uint8_t* digest = expected && expected->state == DIGEST_PRESENT ? expected->bytes : nullptr;
  // A malformed size field is a corrupt entry; a present one bounds the decoding.
  if (size && size->state == SIZE_MALFORMED) return STATUS(ERROR_INVALID_DATA);
  const uint32_t* exactSize = size && size->state == SIZE_PRESENT ? &size->bytes : nullptr;
  return LoadBoundRecord(&gSourceTable.sources[sourceIndex], RECORD_TYPE_FILE, entryId, digest,
                         exactSize, &item->data, &item->size);
}

bool AddCabinetItems(int32_t sourceIndex, const ManifestFields* entry, void* userData) {
  CabinetCollector* collector = static_cast<CabinetCollector*>(userData);
  // Only the chosen package's own source can hold its cabinets.
  if (sourceIndex != collector->sourceIndex) return true;
  const uint32_t read = LeadingFields(entry, CABINET_FIELDS);
  const char* kind = EntryField(entry, 0);
  if (read < 2 || !kind || !EqualsKeyword(kind, "cab")) return true;
  // A field longer than a field may be could, cut short, name the wrong package or file; an
  // ids field that did not convert exactly cannot be read for certain.
  const char* ids = EntryField(entry, 1);
  const char* name = read == CABINET_FIELDS ? EntryDisplayField(entry, 2) : nullptr;
  if (!ids || std::strlen(ids) >= CABINET_FIELD_SIZE ||
      (name && std::strlen(name) >= CABINET_FIELD_SIZE)) {
    KeepFirstFailure(collector, STATUS(ERROR_INVALID_DATA));
    return true;
  }
  if (!name) return true;

  for (const char* at = ids; at;) {
    unsigned int id = 0;
    if (NextListNumber(&at, &id) && id == collector->entryId) {
      if (!EntryFieldIsPlainName(entry, 2)) {
        // The cabinet would land outside the extraction folder, or under another name than
        // the manifest gives it.
        KeepFirstFailure(collector, STATUS(ERROR_INVALID_DATA));
      } else if (NameTaken(*collector->items, *collector->itemCount, name)) {
        // Two files of one name (main.msi included) cannot both be extracted.
        KeepFirstFailure(collector, STATUS(ERROR_INVALID_DATA));
      } else {
        FileSetItem* grown = GrowItems(*collector->items, *collector->itemCount);
        if (!grown) {
          KeepFirstFailure(collector, STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY));
        } else {
          *collector->items = grown;
          RecordDigest expected;
          ReadEntryDigest(entry, CABINET_DIGEST_FIELD, &expected);
          RecordSize size;
          ReadEntrySize(entry, CABINET_SIZE_FIELD, &size);
          // The item stays in the array even when its record fails; clean-up releases it.
          const Status filled =
              FillFileSetItem(sourceIndex, entry->id, &grown[*collector->itemCount], name,
                              &expected, &size, collector->requireDigests != 0);
          KeepFirstFailure(collector, filled);
          ReleaseDecoded(filled, collector->releaseRecords != 0, sourceIndex, entry->id);
          ++*collector->itemCount;
        }
      }
      break;  // a line names one file, however often it lists the package
    }
  }
  return true;
}

Status AssembleFileSet(const PackageSelection* selection, FileSetItem** items, int32_t* itemCount,
                       uint32_t flags) {
  const bool requireDigests = (flags & FILESET_REQUIRE_DIGESTS) != 0;
  const bool release =
      (flags & FILESET_RELEASE_RECORDS) != 0 && EntryIdsUnique(selection->sourceIndex);
  FileSetItem* first = GrowItems(*items, *itemCount);
  if (!first) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  // Stored before the record is loaded, so that a failed item is released with the array.
  *items = first;
  FileSetItem* msi = &first[*itemCount];
  ++*itemCount;
  Status status = FillFileSetItem(selection->sourceIndex, selection->entryId, msi, MANIFEST_MSI_NAME,
                                  &selection->digest, &selection->size, requireDigests);
  if (!StatusOk(status)) return status;
  ReleaseDecoded(status, release, selection->sourceIndex, selection->entryId);

  CabinetCollector collector = {items,
                                itemCount,
                                selection->sourceIndex,
                                selection->entryId,
                                STATUS(ERROR_SUCCESS),
                                requireDigests ? 1u : 0u,
                                release ? 1u : 0u};
  // A walk cut short by a malformed manifest or a failed allocation may have missed cabinet
  // lines: the file set would be incomplete.
  status = EnumManifestEntries(AddCabinetItems, &collector);
  return StatusOk(status) ? collector.failed : status;
}

void FreeFileSet(FileSetItem* items, int32_t itemCount) {
  if (!items) return;
  for (int32_t i = 0; i < itemCount; ++i)
    if (items[i].data) LocalFree(items[i].data);
  LocalFree(items);
}
