// File set assembly (see fileset.h): "main.msi" from the chosen entry's FileRecord, then the
// cabinets of the chosen source's lines "cab\ids\name[\sha256=...[\size=...]]" that list the
// chosen entry id.
#include "manifest/fileset.h"

#include <cstdio>
#include <cstring>

#include "common/format.h"
#include "manifest/enum.h"
#include "manifest/keyword.h"
#include "payload/record.h"
#include "payload/sources.h"

namespace {

enum : uint32_t { CABINET_FIELD_SIZE = 256 };

// One byte more than a field may use: a field that fills it is too long.
typedef char WideField[CABINET_FIELD_SIZE + 1];
const char CABINET_PATTERN[] = "%256[^\\]\\%256[^\\]\\%256[^\\]";

const char MSI_NAME[] = "main.msi";

// Grows the item array by one zero-filled item. Returns the (possibly moved) block, or null
// with the old block and count left as they were.
ExtractItem* GrowItems(ExtractItem* items, int32_t count) {
  size_t bytes = (static_cast<size_t>(count) + 1) * sizeof(ExtractItem);
  if (!items) return static_cast<ExtractItem*>(LocalAlloc(LMEM_ZEROINIT, bytes));
  return static_cast<ExtractItem*>(LocalReAlloc(items, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT));
}

}  // namespace

bool FillExtractItem(int32_t sourceIndex, uint32_t entryId, ExtractItem* item, const char* name,
                     const RecordDigest* expected, const RecordSize* size) {
  std::memset(item, 0, sizeof(*item));
  size_t length = std::strlen(name);
  bool fits = length < ITEM_PATH_SIZE;
  if (!fits) length = ITEM_PATH_SIZE - 1;
  std::memcpy(item->name, name, length);
  item->name[length] = '\0';
  if (!fits) return false;
  if (sourceIndex < 0 || static_cast<uint32_t>(sourceIndex) >= gSourceTable.sourceCount)
    return false;
  // A malformed digest field matches no record.
  if (expected && expected->state == DIGEST_MALFORMED) return false;
  const uint8_t* digest = expected && expected->state == DIGEST_PRESENT ? expected->bytes : nullptr;
  // A malformed size field is a corrupt entry; a present one bounds the decoding.
  if (size && size->state == SIZE_MALFORMED) return false;
  const uint32_t* exactSize = size && size->state == SIZE_PRESENT ? &size->bytes : nullptr;
  Status status = LoadBoundRecord(&gSourceTable.sources[sourceIndex], RECORD_TYPE_FILE, entryId,
                                  digest, exactSize, &item->data, &item->size);
  return StatusOk(status);
}

int AddCabinetItems(int32_t sourceIndex, uint32_t entryId, const char* text, void* userData) {
  CabinetCollector* collector = static_cast<CabinetCollector*>(userData);
  // Only the chosen package's own source can hold its cabinets.
  if (sourceIndex != collector->sourceIndex) return 1;
  WideField kind = {}, ids = {}, name = {};
  int read = std::sscanf(text, CABINET_PATTERN, kind, ids, name);
  if (read < 2 || !EqualsKeyword(kind, "cab")) return 1;
  // A field that fills its buffer is longer than a field may be (an ids field of 257 or more
  // characters also stops the reading before the name). Cut short, it could name the wrong
  // package or file.
  if (std::strlen(ids) >= CABINET_FIELD_SIZE ||
      (read == 3 && std::strlen(name) >= CABINET_FIELD_SIZE)) {
    collector->failed = 1;
    return 1;
  }
  if (read != 3) return 1;

  const char* token = ids;
  for (;;) {
    unsigned int id = 0;
    if (std::sscanf(token, "%u", &id) == 1 && id == collector->entryId) {
      if (!IsPlainFileName(name)) {
        // The cabinet would land outside the extraction folder.
        collector->failed = 1;
      } else {
        ExtractItem* grown = GrowItems(*collector->items, *collector->itemCount);
        if (!grown) {
          collector->failed = 1;
        } else {
          *collector->items = grown;
          RecordDigest expected;
          ReadRecordDigest(text, CABINET_DIGEST_FIELD, &expected);
          RecordSize size;
          ReadRecordSize(text, CABINET_SIZE_FIELD, &size);
          // The item stays in the array even when its record fails; clean-up releases it.
          if (!FillExtractItem(sourceIndex, entryId, &grown[*collector->itemCount], name,
                               &expected, &size))
            collector->failed = 1;
          ++*collector->itemCount;
        }
      }
    }
    const char* separator = std::strchr(token, ';');
    if (!separator) break;
    token = separator + 1;
  }
  return 1;
}

bool AssembleFileSet(const PackageSelection* selection, ExtractItem** items, int32_t* itemCount) {
  ExtractItem* first = GrowItems(*items, *itemCount);
  if (!first) return false;
  // Stored before the record is loaded, so that a failed item is released with the array.
  *items = first;
  ExtractItem* msi = &first[*itemCount];
  ++*itemCount;
  if (!FillExtractItem(selection->sourceIndex, selection->entryId, msi, MSI_NAME,
                       &selection->digest, &selection->size))
    return false;

  CabinetCollector collector = {items, itemCount, selection->sourceIndex, selection->entryId, 0};
  // A walk cut short by a malformed manifest or a failed allocation may have missed cabinet
  // lines: the file set would be incomplete.
  bool walked = EnumManifestEntries(AddCabinetItems, &collector);
  return walked && collector.failed == 0;
}
