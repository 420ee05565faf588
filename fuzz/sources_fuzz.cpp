// Fuzz target: the certificate-table checks and the image source on an arbitrary image.
//
// Input: the image. LocateCertificateEntry must either refuse it or return an entry that
// lies inside the image; AddContainerSource must either register exactly one source with a copy
// of the image and its manifest, or register nothing and keep nothing allocated.
#include <cstring>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "payload/sources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* image = ExactCopy(data, size);
  const uint32_t imageSize = static_cast<uint32_t>(size);

  const uint8_t* content = nullptr;
  uint32_t contentSize = 0;
  if (LocateCertificateEntry(image, imageSize, &content, &contentSize)) {
    FUZZ_CHECK(content >= image + WIN_CERTIFICATE_HEADER_SIZE);
    FUZZ_CHECK(content <= image + imageSize);
    FUZZ_CHECK(static_cast<size_t>(image + imageSize - content) >= contentSize);
    // The entry's length field covers its header and the content.
    FUZZ_CHECK(ReadLe32(content - WIN_CERTIFICATE_HEADER_SIZE) ==
               contentSize + WIN_CERTIFICATE_HEADER_SIZE);
  }

  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  const long liveBefore = HostLiveAllocations();
  const Status status = AddContainerSource(&gSourceTable, image, imageSize);
  if (StatusOk(status)) {
    FUZZ_CHECK(gSourceTable.sourceCount == 1);
    const PayloadSource& s = gSourceTable.sources[0];
    FUZZ_CHECK(s.flags == (SOURCE_COMPRESSED | SOURCE_SIGNED));
    FUZZ_CHECK(s.containerSize == imageSize && s.containerData != image);
    FUZZ_CHECK(imageSize == 0 || std::memcmp(s.containerData, image, imageSize) == 0);
    FUZZ_CHECK(s.manifest != nullptr);
  } else {
    FUZZ_CHECK(gSourceTable.sourceCount == 0 && gSourceTable.sources == nullptr);
    FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  }
  FreeSources(&gSourceTable);
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  std::free(image);
  return 0;
}
