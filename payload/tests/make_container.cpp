// Writes a signed, compressed container for the signed-executable test:
//   payload_make_container <out-file> <manifest text>
// The manifest record holds the text's bytes; a FileRecord 1000 follows it.
#include <cstdio>
#include <cstring>

#include "testkit.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s out-file manifest-text\n", argv[0]);
    return 2;
  }
  const Bytes manifest(argv[2], argv[2] + std::strlen(argv[2]));
  Bytes container;
  AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, 0, manifest);
  AppendSignedRecord(&container, RECORD_TYPE_FILE, 1000, TextBytes(4000, 1));
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(container.data(), 1, container.size(), f) != container.size() ||
      std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
