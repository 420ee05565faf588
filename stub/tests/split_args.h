// Test helper: a command line split as the stub splits it, freed with the holder.
#pragma once
#include <cstdint>

#include "stub/cmdline.h"

// Splits `line` as the stub does; the block is freed with the holder.
struct Args {
  explicit Args(const WCHAR* line) { args = SplitCommandLine(line, &count); }
  ~Args() { LocalFree(args); }
  WCHAR** args = nullptr;
  int32_t count = 0;
};
