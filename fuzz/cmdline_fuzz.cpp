// Fuzz target: SplitCommandLine on an arbitrary UTF-16 command line.
//
// Input: 1 byte allocation budget (0: no injected failure, else the allocation fails), then
// the line as UTF-16LE code units (cut at the first NUL). The table is null-terminated after
// `count` arguments that lie in the block; quotes only group, so no argument keeps one;
// a line of separators only has no argument, any other line has at least one.
#include <cstring>
#include <vector>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "stub/cmdline.h"

namespace {
bool IsSeparator(WCHAR c) { return c == 9 || c == 10 || c == 13 || c == 32; }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const bool failAllocation = in.Byte() != 0;
  std::vector<WCHAR> line;
  for (size_t i = 0; i + 1 < in.size; i += 2) {
    const WCHAR c = static_cast<WCHAR>(in.data[i] | (in.data[i + 1] << 8));
    if (c == 0) break;
    line.push_back(c);
  }
  line.push_back(0);
  const size_t length = line.size() - 1;
  // An exact-size copy: reading past the terminator is caught.
  auto* text = reinterpret_cast<WCHAR*>(ExactCopy(reinterpret_cast<const uint8_t*>(line.data()),
                                             line.size() * sizeof(WCHAR)));

  const long liveBefore = HostLiveAllocations();
  int32_t count = -7;
  HostFailAllocationAfter(failAllocation ? 0 : -1);
  WCHAR** args = SplitCommandLine(text, &count);
  HostFailAllocationAfter(-1);
  if (!args) {
    FUZZ_CHECK(failAllocation);
    FUZZ_CHECK(count == -7);
    FUZZ_CHECK(HostLiveAllocations() == liveBefore);
    std::free(text);
    return 0;
  }

  bool onlySeparators = true;
  for (size_t i = 0; i < length; ++i) onlySeparators = onlySeparators && IsSeparator(text[i]);
  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK((count == 0) == onlySeparators);
  FUZZ_CHECK(args[count] == nullptr);
  size_t total = 0;
  for (int32_t a = 0; a < count; ++a) {
    FUZZ_CHECK(args[a] != nullptr);
    size_t n = 0;
    for (; args[a][n]; ++n) FUZZ_CHECK(args[a][n] != u'"');
    total += n + 1;
  }
  FUZZ_CHECK(total <= length + 1);
  LocalFree(args);
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  std::free(text);
  return 0;
}
