// File set assembly.
//
// AssembleFileSet builds the item array for the chosen package: "main.msi" from the chosen
// entry's FileRecord first, then every cabinet line ("cab\ids\name", kind in any case) of
// the chosen source that lists the chosen entry id, in manifest order, each decoded and
// verified with LoadRecord; an entry that carries a digest field (see digest.h) also needs
// its record to match it, and an entry with a malformed one fails; an entry that carries a
// size field (see size.h) gets its record decoded into one block of exactly that size, and
// fails when the record decodes to any other length or the field is malformed. The array
// grows by one zero-filled element per item. It returns
// false when an allocation, a record or a cabinet line fails (a cabinet file name that is not
// a plain file name, or a field that does not fit, fails it too) or when the cabinet walk
// ends early on a malformed manifest; the items added so far stay in the array for the
// caller's clean-up (FreeExtractItems).
#pragma once
#include <cstdint>

#include "common/winseam.h"
#include "manifest/select.h"
#include "manifest/size.h"

enum : uint32_t { ITEM_PATH_SIZE = 261 };

struct ExtractItem {
  char name[ITEM_PATH_SIZE];
  uint8_t* data;     // decoded content, owned (LocalFree)
  uint32_t size;
  HANDLE file;       // open output file, or null
  uint32_t written;
  char path[ITEM_PATH_SIZE];
};

struct CabinetCollector {
  ExtractItem** items;
  int32_t* itemCount;
  int32_t sourceIndex;
  uint32_t entryId;
  uint32_t failed;
};

// `expected`: the entry's digest field, or null for none. `size`: the entry's size field
// (see size.h), or null for none; a present size is the exact decoded size the record must
// have, a malformed one fails the item.
bool FillExtractItem(int32_t sourceIndex, uint32_t entryId, ExtractItem* item, const char* name,
                     const RecordDigest* expected, const RecordSize* size);
int AddCabinetItems(int32_t sourceIndex, uint32_t entryId, const char* text, void* userData);
bool AssembleFileSet(const PackageSelection* selection, ExtractItem** items, int32_t* itemCount);
