// Runs source discovery on its own executable file, as the bootstrap does: certificate
// sources first, the whole image when they yield none. Prints
//   code=<code> sources=<count>
//   manifest[<i>]=<manifest bytes as text>
// and exits 0 when it could read itself.
#include <cstdio>
#include <vector>

#include "payload/sources.h"

int main() {
  char path[MAX_PATH];
  if (!GetModuleFileNameA(nullptr, path, MAX_PATH)) return 2;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 3;
  std::vector<uint8_t> image;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) image.insert(image.end(), chunk, chunk + n);
  std::fclose(f);

  Status status = FindCertificateSources(image.data(), static_cast<uint32_t>(image.size()));
  if (StatusOk(status) && gSourceTable.sourceCount == 0)
    status = AddContainerSource(image.data(), static_cast<uint32_t>(image.size()));
  std::printf("code=%u sources=%u\n", StatusCode(status), gSourceTable.sourceCount);
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i)
    std::printf("manifest[%u]=%.*s\n", i, static_cast<int>(gSourceTable.sources[i].manifestSize),
                reinterpret_cast<const char*>(gSourceTable.sources[i].manifest));
  FreeSources();
  return 0;
}
