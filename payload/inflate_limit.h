// Internal to payload/: the inflation loop behind InflateRecord with an explicit output cap.
//
// InflateRecordLimited behaves as InflateRecord (record.h) and additionally fails with 13,
// nothing allocated, as soon as the inflated output would exceed `limit` bytes. InflateRecord
// calls it with the most its stored length can inflate to (at most 0xFFFFFFFF, the largest
// size a 32-bit count can report); tests use small caps.
#pragma once
#include <cstdint>

#include "common/status.h"

Status InflateRecordLimited(const uint8_t* stored, uint32_t storedSize, uint8_t** out,
                         uint32_t* outSize, uint32_t limit);
