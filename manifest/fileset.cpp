// The file set's plan (see fileset.h): "main.msi" from the chosen entry's FileRecord, then
// the cabinets of the chosen source's lines "cab\ids\name[\sha256=...[\size=...[\segments=...]]]"
// that list the chosen entry id. Nothing is decoded here.
#include "manifest/fileset.h"

#include <cstdio>
#include <cstring>

#include "common/format.h"
#include "manifest/enum.h"
#include "manifest/idlist.h"
#include "manifest/keyword.h"
#include "manifest/segments.h"
#include "payload/record.h"

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

struct CabinetCollector {
  const SourceTable* sources;
  FileSetItem** items;
  int32_t* itemCount;
  int32_t sourceIndex;
  uint32_t entryId;
  Status failed;  // the first failure of the walk, or success
  bool requireDigests;
};

// The first failure of the cabinet walk is the one reported.
void KeepFirstFailure(CabinetCollector* collector, Status status) {
  if (StatusOk(collector->failed) && !StatusOk(status)) collector->failed = status;
}

// Finds the chosen package's descriptor again: the first entry of its source and id that
// the selection's pass chooses (the walk the selection made stops there too), and reads its
// index field.
struct DescriptorIndex {
  PackageSelection probe;  // the selection's pass, language and processor
  int32_t sourceIndex;
  uint32_t entryId;
  bool found;
  uint32_t state;
  SegmentIndex index;
};

bool FindDescriptorIndex(int32_t sourceIndex, const ManifestFields* entry, void* userData) {
  DescriptorIndex* wanted = static_cast<DescriptorIndex*>(userData);
  if (sourceIndex != wanted->sourceIndex || entry->id != wanted->entryId) return true;
  wanted->probe.entryId = 0;
  if (MatchPackageEntry(sourceIndex, entry, &wanted->probe)) return true;
  wanted->found = true;
  ReadEntrySegments(entry, DESCRIPTOR_SEGMENTS_FIELD, &wanted->state, &wanted->index);
  return false;
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
          uint32_t segmentsState = SEGMENTS_ABSENT;
          SegmentIndex segments = {};
          ReadEntrySegments(entry, CABINET_SEGMENTS_FIELD, &segmentsState, &segments);
          // The item stays in the array even when its plan fails; clean-up releases it.
          const Status planned = PlanFileSetItem(
              collector->sources, sourceIndex, entry->id, &grown[*collector->itemCount], name,
              &expected, &size, segmentsState, &segments, collector->requireDigests);
          KeepFirstFailure(collector, planned);
          ++*collector->itemCount;
        }
      }
      break;  // a line names one file, however often it lists the package
    }
  }
  return true;
}

// The checks of a located record against the entry's size and index.
Status CheckPlannedRecord(const PayloadSource* source, const FileSetItem* item) {
  const bool sized = (item->flags & FILE_HAS_SIZE) != 0;
  if ((source->flags & SOURCE_SIGNED) && item->place.signatureSize != RECORD_SIGNATURE_SIZE)
    return STATUS(ERROR_FILE_CORRUPT);
  if (!(source->flags & SOURCE_COMPRESSED)) {
    // A plain record is its bytes: no index, and exactly its size.
    if (item->segments.count) return STATUS(ERROR_INVALID_DATA);
    if (sized && item->size != item->place.dataSize) return STATUS(ERROR_INVALID_DATA);
    return STATUS(ERROR_SUCCESS);
  }
  if (item->segments.count) {
    if (!sized) return STATUS(ERROR_INVALID_DATA);
    return CheckSegmentIndex(&item->segments, item->place.dataSize, item->size);
  }
  if (sized && item->size > MostInflatedBytes(item->place.dataSize))
    return STATUS(ERROR_INVALID_DATA);
  return STATUS(ERROR_SUCCESS);
}

}  // namespace

uint64_t PlannedBytes(const FileSetItem* item) {
  return (item->flags & FILE_HAS_SIZE) ? item->size : item->place.dataSize;
}

Status PlanFileSetItem(const SourceTable* sources, int32_t sourceIndex, uint32_t entryId,
                       FileSetItem* item, const char* name, const RecordDigest* expected,
                       const RecordSize* size, uint32_t segmentsState, SegmentIndex* segments,
                       bool requireDigest) {
  std::memset(item, 0, sizeof(*item));
  item->sourceIndex = sourceIndex;
  item->recordId = entryId;
  if (segments && segmentsState == SEGMENTS_PRESENT) {
    item->segments = *segments;
    std::memset(segments, 0, sizeof(*segments));
  }
  size_t length = std::strlen(name);
  bool fits = length < ITEM_PATH_SIZE;
  if (!fits) length = ITEM_PATH_SIZE - 1;
  std::memcpy(item->name, name, length);
  item->name[length] = '\0';
  if (!fits) return STATUS(ERROR_INVALID_DATA);
  if (sourceIndex < 0 || static_cast<uint32_t>(sourceIndex) >= sources->sourceCount)
    return STATUS(ERROR_INVALID_DATA);
  // A malformed digest field matches no record; a missing one binds nothing, which only a
  // stub that accepts unbound manifests allows.
  if (expected && expected->state == DIGEST_MALFORMED) return STATUS(ERROR_FILE_CORRUPT);
  if (requireDigest && (!expected || expected->state != DIGEST_PRESENT))
    return STATUS(ERROR_INVALID_DATA);
  if (expected && expected->state == DIGEST_PRESENT) {
    item->flags |= FILE_HAS_DIGEST;
    std::memcpy(item->digest, expected->bytes, RECORD_DIGEST_SIZE);
  }
  // A malformed size or index field is a corrupt entry.
  if (size && size->state == SIZE_MALFORMED) return STATUS(ERROR_INVALID_DATA);
  if (size && size->state == SIZE_PRESENT) {
    item->flags |= FILE_HAS_SIZE;
    item->size = size->bytes;
  }
  if (segmentsState == SEGMENTS_MALFORMED) return STATUS(ERROR_INVALID_DATA);
  const PayloadSource* source = &sources->sources[sourceIndex];
  const Status located = LocateSourceRecord(source, RECORD_TYPE_FILE, entryId, &item->place);
  if (!StatusOk(located)) return located;
  return CheckPlannedRecord(source, item);
}

Status AssembleFileSet(const SourceTable* sources, const PackageSelection* selection,
                       FileSetItem** items, int32_t* itemCount, uint32_t flags) {
  const bool requireDigests = (flags & FILESET_REQUIRE_DIGESTS) != 0;
  FileSetItem* first = GrowItems(*items, *itemCount);
  if (!first) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  // Stored before the record is planned, so that a failed item is released with the array.
  *items = first;
  FileSetItem* msi = &first[*itemCount];
  ++*itemCount;

  // The descriptor's index field; a walk that cannot find the descriptor again (cut short)
  // leaves the set incomplete.
  DescriptorIndex descriptor = {};
  descriptor.probe = *selection;
  descriptor.sourceIndex = selection->sourceIndex;
  descriptor.entryId = selection->entryId;
  Status status = EnumManifestEntries(FindDescriptorIndex, &descriptor);
  if (StatusOk(status) && !descriptor.found) status = STATUS(ERROR_INVALID_DATA);
  if (!StatusOk(status)) {
    FreeSegmentIndex(&descriptor.index);
    std::snprintf(msi->name, sizeof msi->name, "%s", MANIFEST_MSI_NAME);
    return status;
  }
  status = PlanFileSetItem(sources, selection->sourceIndex, selection->entryId, msi,
                           MANIFEST_MSI_NAME, &selection->digest, &selection->size,
                           descriptor.state, &descriptor.index, requireDigests);
  FreeSegmentIndex(&descriptor.index);
  if (!StatusOk(status)) return status;

  CabinetCollector collector = {sources,
                                items,
                                itemCount,
                                selection->sourceIndex,
                                selection->entryId,
                                STATUS(ERROR_SUCCESS),
                                requireDigests};
  // A walk cut short by a malformed manifest or a failed allocation may have missed cabinet
  // lines: the file set would be incomplete.
  status = EnumManifestEntries(AddCabinetItems, &collector);
  return StatusOk(status) ? collector.failed : status;
}

void FreeFileSet(FileSetItem* items, int32_t itemCount) {
  if (!items) return;
  for (int32_t i = 0; i < itemCount; ++i) FreeSegmentIndex(&items[i].segments);
  LocalFree(items);
}
