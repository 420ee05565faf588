// Manifest walk (see enum.h): entries are id (u32 LE), length (u32 LE) and length bytes of
// UTF-16LE text, handed to the visitor read into fields (see entry.h).
#include "manifest/enum.h"

#include "common/format.h"
#include "common/winseam.h"
#include "payload/sources.h"

namespace {

// Walks one manifest; *stopped is set when the visitor stopped the walk.
Status WalkManifest(int32_t sourceIndex, const uint8_t* manifest, uint32_t manifestSize,
                    ManifestVisitor visitor, void* userData, bool* stopped) {
  uint64_t offset = 0;
  while (offset < manifestSize) {
    if (manifestSize - offset < MANIFEST_ENTRY_HEADER_SIZE) return STATUS(ERROR_INVALID_DATA);
    uint32_t id = ReadLe32(manifest + offset);
    uint32_t length = ReadLe32(manifest + offset + 4);
    uint64_t end = offset + MANIFEST_ENTRY_HEADER_SIZE + length;  // cannot wrap in 64 bits
    if (end > manifestSize) return STATUS(ERROR_INVALID_DATA);
    ManifestFields entry;
    const Status read =
        ReadManifestFields(id, manifest + offset + MANIFEST_ENTRY_HEADER_SIZE, length, &entry);
    if (!StatusOk(read)) return read;
    const bool goOn = visitor(sourceIndex, &entry, userData);
    FreeManifestFields(&entry);
    if (!goOn) {
      *stopped = true;
      return STATUS(ERROR_SUCCESS);
    }
    offset = end;
  }
  return STATUS(ERROR_SUCCESS);
}

}  // namespace

Status EnumManifestEntries(ManifestVisitor visitor, void* userData) {
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i) {
    const PayloadSource& source = gSourceTable.sources[i];
    if (source.manifestSize == 0) continue;
    bool stopped = false;
    Status status = WalkManifest(static_cast<int32_t>(i), source.manifest, source.manifestSize,
                                 visitor, userData, &stopped);
    if (!StatusOk(status) || stopped) return status;
  }
  return STATUS(ERROR_SUCCESS);
}
