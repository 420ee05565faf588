// Fuzz target: SplitCommandLine on an arbitrary UTF-16 command line, and the installer's
// command line built from its arguments.
//
// Input: 1 byte options (bit 0: the split's allocation fails; bit 1: the MSI path holds a
// space), then the line as UTF-16LE code units (cut at the first NUL). The table is
// null-terminated after `count` arguments that lie in the block; quotes only group, so no
// argument keeps one; a line of separators only has no argument, any other line has at
// least one. BuildInstallerCommandLine either fails with an empty line, or writes a line
// that fits its 1024 characters and that splits again into the installer, "/i", the MSI and the
// forwarded arguments (when these hold no TAB, CR or LF, which it does not quote, and none
// is empty).
#include <cstring>
#include <string>
#include <vector>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "stub/cmdline.h"
#include "stub/installer.h"

namespace {
bool IsSeparator(WCHAR c) { return c == 9 || c == 10 || c == 13 || c == 32; }

typedef std::basic_string<WCHAR> Wide;

Wide Widen(const char* ascii) { return Wide(ascii, ascii + std::strlen(ascii)); }

void CheckInstallerLine(WCHAR** args, int32_t count, bool spacedMsi) {
  const char* installer = "C:\\Windows\\system32\\msiexec.exe";
  const char* msi = spacedMsi ? "C:\\Users\\Some One\\Setup Files\\{P}\\main.msi"
                              : "C:\\Windows\\Installer\\{P}\\main.msi";
  auto* line = static_cast<WCHAR*>(std::malloc(COMMAND_LINE_SIZE * sizeof(WCHAR)));
  const long liveBefore = HostLiveAllocations();
  const Status status = BuildInstallerCommandLine(installer, msi, args, count, line);
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  if (!StatusOk(status)) {
    for (uint32_t i = 0; i < COMMAND_LINE_SIZE; ++i) FUZZ_CHECK(line[i] == 0);
    std::free(line);
    return;
  }
  size_t length = 0;
  while (length < COMMAND_LINE_SIZE && line[length]) ++length;
  FUZZ_CHECK(length < COMMAND_LINE_SIZE);

  // The arguments come back exactly, unit for unit: no code page stands between.
  std::vector<Wide> expected = {Widen(installer), Widen("/i"), Widen(msi)};
  bool comparable = true;
  for (int32_t i = 1; i < count; ++i) {
    for (const WCHAR* p = args[i]; *p; ++p) comparable = comparable && *p != 9 && *p != 10 && *p != 13;
    comparable = comparable && args[i][0] != 0;
    expected.push_back(Wide(args[i]));
  }
  if (comparable) {
    int32_t again = 0;
    WCHAR** split = SplitCommandLine(line, &again);
    FUZZ_CHECK(split != nullptr);
    FUZZ_CHECK(again == static_cast<int32_t>(expected.size()));
    for (int32_t i = 0; i < again; ++i) FUZZ_CHECK(Wide(split[i]) == expected[i]);
    LocalFree(split);
  }
  std::free(line);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t options = in.Byte();
  const bool failAllocation = (options & 1) != 0;
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
  CheckInstallerLine(args, count, (options & 2) != 0);
  LocalFree(args);
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  std::free(text);
  return 0;
}
