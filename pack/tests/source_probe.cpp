// Runs the stub's payload discovery on a file and prints what it found:
//   status <code>
//   source <index> container <bytes> manifest <bytes>
// Discovery as the stub runs it: certificate extensions first, the whole image when they
// yield nothing. Exit code 0 when the file could be read.
#include <cstdio>
#include <cstring>

#include "payload/sources.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: source_probe FILE\n");
    return 2;
  }
  FILE* f = std::fopen(argv[1], "rb");
  if (!f) {
    std::fprintf(stderr, "source_probe: cannot open %s\n", argv[1]);
    return 2;
  }
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  uint8_t* image = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, size > 0 ? size : 1));
  if (!image || std::fread(image, 1, size, f) != static_cast<size_t>(size)) {
    std::fprintf(stderr, "source_probe: cannot read %s\n", argv[1]);
    return 2;
  }
  std::fclose(f);

  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  Status status = FindCertificateSources(&gSourceTable, image, static_cast<uint32_t>(size));
  if (StatusOk(status) && gSourceTable.sourceCount == 0)
    status = AddContainerSource(&gSourceTable, image, static_cast<uint32_t>(size));
  LocalFree(image);
  std::printf("status %u\n", StatusCode(status));
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i)
    std::printf("source %u container %u manifest %u\n", i, gSourceTable.sources[i].containerSize,
                gSourceTable.sources[i].manifestSize);
  FreeSources(&gSourceTable);
  return 0;
}
