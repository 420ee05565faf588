// Fuzz input helpers: a cursor that takes header fields from the front of the input and
// leaves the rest as the body, and the check macro every target uses.
//
// FUZZ_CHECK aborts (a finding for libFuzzer, a failing test for the replay driver) when an
// invariant of the code under test does not hold.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);  \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

struct FuzzInput {
  const uint8_t* data;
  size_t size;

  // Missing bytes read as 0, so every input is usable.
  uint8_t Byte() {
    if (size == 0) return 0;
    const uint8_t b = *data++;
    --size;
    return b;
  }
  uint32_t Le32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
};

// The rest of the input as a block of exactly its size, so that any read past its end is
// caught by AddressSanitizer; free with std::free.
inline uint8_t* ExactCopy(const uint8_t* data, size_t size) {
  auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  return copy;
}
