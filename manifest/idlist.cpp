// Number lists in manifest texts (see idlist.h).
#include "manifest/idlist.h"

#include <cstdio>
#include <cstring>

bool NextListNumber(const char** cursor, unsigned int* value) {
  const char* entry = *cursor;
  // "%u" stops at the ';' that ends the entry, and fails on an empty one.
  const bool read = std::sscanf(entry, "%u", value) == 1;
  const char* separator = std::strchr(entry, ';');
  *cursor = separator ? separator + 1 : nullptr;
  return read;
}
