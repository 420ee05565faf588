// Chunked file writer.
//
// ExtractJobStep performs one bounded step over the job's items; the Status code is 234
// (ERROR_MORE_DATA) more to do, 0 all items written and closed, or 29 (ERROR_WRITE_FAULT)
// the step's WriteFile failed or wrote short (the next step resumes after the last byte
// written). The first call only enters item 0. `percent` (optional) gets the current item's
// progress, 0 to 100. An item without a file counts as already written.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/item.h"

enum : uint32_t { EXTRACT_STEP_SIZE = 0x80000 };

struct ExtractJob {
  ExtractItem* items;
  int32_t itemCount;
  int32_t position;   // -1 before the first step
  uint32_t stepSize;
};

Status ExtractJobStep(ExtractJob* job, uint32_t* percent);
