// NewExtractItems (see item.h).
#include "extract/item.h"

Status NewExtractItems(const FileSetItem* set, int32_t count, ExtractItem** items) {
  *items = nullptr;
  const size_t n = count > 0 ? static_cast<size_t>(count) : 1;
  ExtractItem* made = static_cast<ExtractItem*>(LocalAlloc(LMEM_ZEROINIT, n * sizeof(ExtractItem)));
  if (!made) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  for (int32_t i = 0; i < count; ++i) made[i].content = &set[i];
  *items = made;
  return STATUS(ERROR_SUCCESS);
}
