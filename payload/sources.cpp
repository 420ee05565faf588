// Payload sources: the SourceTable, registration of the whole image, and the PE32+ checks
// that find the first certificate table entry (see sources.h). Builds natively and for
// Windows; the signature decoding that needs the system lives in certsources.cpp.
#include "payload/sources.h"

#include <cstring>

SourceTable gSourceTable;

Status AppendSource(const PayloadSource* source) {
  const size_t bytes = (static_cast<size_t>(gSourceTable.sourceCount) + 1) * sizeof(PayloadSource);
  PayloadSource* grown =
      gSourceTable.sources
          ? static_cast<PayloadSource*>(
                LocalReAlloc(gSourceTable.sources, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT))
          : static_cast<PayloadSource*>(LocalAlloc(LMEM_ZEROINIT, bytes));
  if (!grown) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  gSourceTable.sources = grown;
  gSourceTable.sources[gSourceTable.sourceCount] = *source;
  ++gSourceTable.sourceCount;
  return STATUS(0);
}

Status AddDecodedContainerSource(const uint8_t* container, uint32_t containerSize,
                                 const uint8_t* manifest, uint32_t manifestSize) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  source.containerSize = containerSize;
  source.manifestSize = manifestSize;
  source.containerData = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, containerSize ? containerSize : 1));
  if (source.containerData)
    source.manifest = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, manifestSize ? manifestSize : 1));
  Status status = STATUS(0);
  if (!source.containerData || !source.manifest) {
    status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    if (containerSize) std::memcpy(source.containerData, container, containerSize);
    if (manifestSize) std::memcpy(source.manifest, manifest, manifestSize);
    status = AppendSource(&source);
  }
  if (!StatusOk(status)) {
    if (source.containerData) LocalFree(source.containerData);
    if (source.manifest) LocalFree(source.manifest);
  }
  return status;
}

Status AdoptContainerSource(uint8_t* container, uint32_t containerSize) {
  // The manifest is read and verified (with the built-in key) in the block the source will
  // own, and the block LoadRecord returns becomes the source's manifest as it is.
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  source.containerData = container;
  source.containerSize = containerSize;
  Status status = LoadRecord(&source, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, &source.manifest,
                             &source.manifestSize);
  if (!StatusOk(status)) return status;
  status = AppendSource(&source);
  if (!StatusOk(status)) LocalFree(source.manifest);
  return status;
}

Status AddContainerSource(const uint8_t* container, uint32_t containerSize) {
  // The copy is made first and verified in place: the caller's bytes are read once.
  uint8_t* copy = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, containerSize ? containerSize : 1));
  if (!copy) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  if (containerSize) std::memcpy(copy, container, containerSize);
  const Status status = AdoptContainerSource(copy, containerSize);
  if (!StatusOk(status)) LocalFree(copy);
  return status;
}

uint32_t DerElementSize(const uint8_t* der, uint32_t size) {
  if (size < 2) return 0;
  uint64_t length = der[1];
  uint64_t header = 2;
  if (length & 0x80) {
    const uint32_t count = der[1] & 0x7F;
    if (count == 0 || count > 4 || size < 2 + count) return 0;
    length = 0;
    for (uint32_t i = 0; i < count; ++i) length = (length << 8) | der[2 + i];
    header += count;
  }
  return header + length <= size ? static_cast<uint32_t>(header + length) : 0;
}

void FreeSources() {
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i) {
    if (gSourceTable.sources[i].containerData) LocalFree(gSourceTable.sources[i].containerData);
    if (gSourceTable.sources[i].manifest) LocalFree(gSourceTable.sources[i].manifest);
  }
  if (gSourceTable.sources) LocalFree(gSourceTable.sources);
  gSourceTable.sources = nullptr;
  gSourceTable.sourceCount = 0;
}

bool LocateCertificateEntry(const uint8_t* image, uint32_t imageSize, const uint8_t** content,
                            uint32_t* contentSize) {
  if (!image || imageSize < PE_MIN_IMAGE_SIZE) return false;
  if (image[0] != 'M' || image[1] != 'Z') return false;
  const int32_t lfanew = static_cast<int32_t>(ReadLe32(image + PE_LFANEW_OFFSET));
  if (lfanew < 0) return false;
  const uint32_t pe = static_cast<uint32_t>(lfanew);
  if (static_cast<uint64_t>(pe) + PE_HEADERS_SIZE > imageSize) return false;
  if (std::memcmp(image + pe, "PE\0\0", 4) != 0) return false;
  if (ReadLe16(image + pe + PE_OPTIONAL_MAGIC_OFFSET) != PE_OPTIONAL_MAGIC_PE32PLUS) return false;

  const uint32_t tableOffset = ReadLe32(image + pe + PE_SECURITY_DIR_OFFSET);
  const uint32_t tableSize = ReadLe32(image + pe + PE_SECURITY_DIR_OFFSET + 4);
  if (tableSize < WIN_CERTIFICATE_HEADER_SIZE) return false;
  if (static_cast<uint64_t>(tableOffset) + tableSize > imageSize) return false;

  // The first WIN_CERTIFICATE must lie inside the table; an entry that claims less than its
  // own header or more than the table is treated like no table at all.
  const uint32_t entryLength = ReadLe32(image + tableOffset);
  if (entryLength < WIN_CERTIFICATE_HEADER_SIZE || entryLength > tableSize) return false;
  *content = image + tableOffset + WIN_CERTIFICATE_HEADER_SIZE;
  *contentSize = entryLength - WIN_CERTIFICATE_HEADER_SIZE;
  return true;
}
