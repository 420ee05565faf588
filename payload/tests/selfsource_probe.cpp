// Runs source discovery on its own executable file, as the bootstrap does (FindImageFileSources
// on the file held open with read sharing only): certificate sources first, the whole file
// when they yield none. Prints
//   code=<code> sources=<count>
//   manifest[<i>]=<manifest bytes as text>
// and exits 0 when it could open itself.
#include <cstdio>

#include "payload/sources.h"

int main() {
  char path[MAX_PATH];
  if (!GetModuleFileNameA(nullptr, path, MAX_PATH)) return 2;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return 4;

  const Status status =
      FindImageFileSources(&gSourceTable, file, static_cast<uint64_t>(size.QuadPart));
  std::printf("code=%u sources=%u\n", StatusCode(status), gSourceTable.sourceCount);
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i)
    std::printf("manifest[%u]=%.*s\n", i, static_cast<int>(gSourceTable.sources[i].manifestSize),
                reinterpret_cast<const char*>(gSourceTable.sources[i].manifest));
  FreeSources(&gSourceTable);
  CloseHandle(file);
  return 0;
}
