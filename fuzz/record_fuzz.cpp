// Fuzz target: LoadRecord on an arbitrary container of a compressed and signed source.
//
// Input: 1 byte request type (0 manifest, else file), 4 bytes request id (LE), 1 byte
// allocation budget (0: no injected failure, n: the n-th allocation and all later ones
// fail), 1 byte source flags (XORed with 3, so 0 is the stub's compressed and signed
// source), then the container. On success the outputs hold a block of the reported size; on
// failure they stay untouched, the code is one of the documented ones and nothing stays
// allocated.
#include <cstring>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "payload/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t* type = in.Byte() == 0 ? RECORD_TYPE_MANIFEST : RECORD_TYPE_FILE;
  const uint32_t id = in.Le32();
  const uint8_t budget = in.Byte();
  const uint32_t flags = (in.Byte() ^ 3u) & 3u;
  if (in.size > 0xFFFFFFFFu) return 0;

  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerData = ExactCopy(in.data, in.size);
  source.containerSize = static_cast<uint32_t>(in.size);
  source.flags = flags;

  const long liveBefore = HostLiveAllocations();
  uint8_t* sentinel = reinterpret_cast<uint8_t*>(&source);
  uint8_t* out = sentinel;
  uint32_t outSize = 0xA5A5A5A5u;
  HostFailAllocationAfter(budget == 0 ? -1 : budget - 1);
  const Status status = LoadRecord(&source, type, id, &out, &outSize);
  HostFailAllocationAfter(-1);

  if (StatusOk(status)) {
    FUZZ_CHECK(out != nullptr && out != sentinel);
    FUZZ_CHECK(HostLiveAllocations() == liveBefore + 1);
    // Every reported byte is readable (ASan checks the range).
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < outSize; i += 4096) sink = sink ^ out[i];
    if (outSize) sink = sink ^ out[outSize - 1];
    LocalFree(out);
  } else {
    const uint32_t code = StatusCode(status);
    FUZZ_CHECK(code == ERROR_NOT_FOUND || code == ERROR_INVALID_DATA ||
               code == ERROR_FILE_CORRUPT || code == STATUS_NTE_BAD_KEY ||
               code == ERROR_NOT_ENOUGH_MEMORY);
    FUZZ_CHECK(out == sentinel && outSize == 0xA5A5A5A5u);
    FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  }
  std::free(source.containerData);
  return 0;
}
