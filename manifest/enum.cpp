// Manifest walk (see enum.h): entries are id (u32 LE), length (u32 LE) and length bytes of
// UTF-16LE text; the text is handed to the visitor in the active code page.
#include "manifest/enum.h"

#include "common/format.h"
#include "common/winseam.h"
#include "payload/sources.h"

namespace {

enum : uint32_t { INLINE_UNITS = 256 };

// Converts `unitCount` UTF-16LE code units stored at `bytes` (any alignment) into a new
// zero-filled LocalAlloc block of the converted size plus one byte, so it always ends in NUL.
// Returns null when a block cannot be allocated.
char* ConvertEntryText(const uint8_t* bytes, uint32_t unitCount) {
  // The stored units may sit at an odd offset: copy them out into a properly typed array.
  WCHAR inlineUnits[INLINE_UNITS];
  WCHAR* units = inlineUnits;
  if (unitCount > INLINE_UNITS) {
    units =
        static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, static_cast<size_t>(unitCount) * sizeof(WCHAR)));
    if (!units) return nullptr;
  }
  for (uint32_t i = 0; i < unitCount; ++i)
    units[i] = static_cast<WCHAR>(ReadLe16(bytes + 2 * static_cast<size_t>(i)));

  // unitCount is at most 0x7FFFFFFF (a 32-bit length halved), so it fits an int.
  int wideCount = static_cast<int>(unitCount);
  int size = wideCount > 0
                 ? WideCharToMultiByte(CP_ACP, 0, units, wideCount, nullptr, 0, nullptr, nullptr)
                 : 0;
  if (size < 0) size = 0;
  char* text = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, static_cast<size_t>(size) + 1));
  if (text && size > 0)
    WideCharToMultiByte(CP_ACP, 0, units, wideCount, text, size, nullptr, nullptr);
  if (units != inlineUnits) LocalFree(units);
  return text;
}

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
    char* text = ConvertEntryText(manifest + offset + MANIFEST_ENTRY_HEADER_SIZE, length / 2);
    if (!text) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    int goOn = visitor(sourceIndex, id, text, userData);
    LocalFree(text);
    if (goOn == 0) {
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
