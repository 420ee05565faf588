// Fuzz target: FindRecord on an arbitrary container, and LocateSourceRecord on it as a source
// in memory, with and without its record index.
//
// Input: 1 byte request type (0 manifest, 1 file, else a foreign GUID), 4 bytes request id
// (LE), then the container. A found span must lie inside the container, directly in front
// of a trailer that carries the requested type and id; the only failure is 1168.
// LocateSourceRecord answers as FindRecord does either way, and ReadSourceBytes of the place
// it gives yields the span's bytes.
#include <cstring>

#include "fuzz/fuzz_input.h"
#include "payload/container.h"
#include "payload/sources.h"

namespace {
const uint8_t kForeignType[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                  0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t selector = in.Byte();
  const uint32_t id = in.Le32();
  const uint8_t* type = selector == 0   ? RECORD_TYPE_MANIFEST
                        : selector == 1 ? RECORD_TYPE_FILE
                                        : kForeignType;
  if (in.size > 0xFFFFFFFFu) return 0;
  uint8_t* container = ExactCopy(in.data, in.size);
  const uint32_t containerSize = static_cast<uint32_t>(in.size);

  RecordSpan span;
  std::memset(&span, 0xA5, sizeof(span));
  const Status status = FindRecord(container, containerSize, type, id, &span);
  if (StatusOk(status)) {
    FUZZ_CHECK(type != kForeignType);
    const uint8_t* end = container + containerSize;
    FUZZ_CHECK(span.data >= container && span.data <= end);
    FUZZ_CHECK(static_cast<size_t>(end - span.data) >= span.dataSize);
    FUZZ_CHECK(span.signature == span.data + span.dataSize);
    FUZZ_CHECK(static_cast<size_t>(end - span.signature) >=
               static_cast<size_t>(span.signatureSize) + RECORD_TRAILER_SIZE);
    const uint8_t* trailer = span.signature + span.signatureSize;
    FUZZ_CHECK(std::memcmp(trailer + TRAILER_TYPE_OFFSET, type, 16) == 0);
    FUZZ_CHECK(ReadLe32(trailer + TRAILER_ID_OFFSET) == id);
    FUZZ_CHECK(ReadLe32(trailer + TRAILER_SIGNATURE_SIZE_OFFSET) == span.signatureSize);
    FUZZ_CHECK(ReadLe32(trailer + TRAILER_DATA_SIZE_OFFSET) == span.dataSize);
  } else {
    FUZZ_CHECK(StatusCode(status) == ERROR_NOT_FOUND);
  }

  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerData = container;
  source.containerSize = containerSize;
  for (int indexed = 0; indexed < 2; ++indexed) {
    if (indexed) FUZZ_CHECK(StatusOk(IndexSourceRecords(&source)));
    RecordPlace place;
    const Status located = LocateSourceRecord(&source, type, id, &place);
    FUZZ_CHECK(StatusCode(located) == StatusCode(status));
    if (StatusOk(located)) {
      FUZZ_CHECK(place.dataOffset == static_cast<uint32_t>(span.data - container));
      FUZZ_CHECK(place.dataSize == span.dataSize);
      FUZZ_CHECK(place.signatureOffset == static_cast<uint32_t>(span.signature - container));
      FUZZ_CHECK(place.signatureSize == span.signatureSize);
      uint8_t* bytes = static_cast<uint8_t*>(std::malloc(place.dataSize + 1));
      FUZZ_CHECK(StatusOk(ReadSourceBytes(&source, place.dataOffset, place.dataSize, bytes)));
      FUZZ_CHECK(place.dataSize == 0 || std::memcmp(bytes, span.data, place.dataSize) == 0);
      std::free(bytes);
    }
    FreeSourceRecordIndex(&source);
  }
  std::free(container);
  return 0;
}
