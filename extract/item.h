// The items of an extraction: one per file of the file set.
//
// An ExtractItem refers to its file-set item (name, verified bytes, size; owned by the file
// set) and holds what extraction adds: the open output file, the bytes written so far and the
// full path. NewExtractItems allocates one zero-filled ExtractItem per file-set item (code 0,
// or 8 with *items null); the array is LocalFree'd by its owner once every file is closed
// (see CleanUpExtraction). An item whose file is null after the folder is prepared was there
// already with the right bytes and is not written.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"

struct ExtractItem {
  const FileSetItem* content;  // name, decoded bytes, size (the file set's)
  HANDLE file;                 // open output file, or null
  uint32_t written;
  char path[ITEM_PATH_SIZE];
};

Status NewExtractItems(const FileSetItem* set, int32_t count, ExtractItem** items);
