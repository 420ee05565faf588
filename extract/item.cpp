// NewExtractFiles (see item.h).
#include "extract/item.h"

#include <cstring>

Status NewExtractFiles(FileSetItem* set, int32_t count, ExtractFile** files) {
  *files = nullptr;
  const size_t n = count > 0 ? static_cast<size_t>(count) : 1;
  ExtractFile* made = static_cast<ExtractFile*>(LocalAlloc(LMEM_ZEROINIT, n * sizeof(ExtractFile)));
  if (!made) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  for (int32_t i = 0; i < count; ++i) {
    made[i].plan = set[i];
    std::memset(&set[i].segments, 0, sizeof set[i].segments);  // moved
  }
  *files = made;
  return STATUS(ERROR_SUCCESS);
}
