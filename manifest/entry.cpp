// Manifest entries (see entry.h): split in UTF-16, then each field converted on its own.
#include "manifest/entry.h"

#include <cstring>

#include "common/format.h"

#ifndef WC_NO_BEST_FIT_CHARS
#define WC_NO_BEST_FIT_CHARS 0x00000400u
#endif

namespace {

const WCHAR kSeparator = 0x5C;

// Converts `count` units into `out` (room for `outSize` bytes; null to measure) without
// best-fit mappings. Returns the converted size; *usedDefault tells whether a character had
// no counterpart. Where the code page refuses the default-character query (UTF-8 as the
// active code page), the conversion runs without it and the read-back decides.
int ConvertUnits(const WCHAR* units, int count, char* out, int outSize, bool* usedDefault) {
  *usedDefault = false;
  if (count == 0) return 0;
  BOOL defaulted = FALSE;
  int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, count, out, outSize,
                                 nullptr, &defaulted);
  if (size > 0) {
    *usedDefault = defaulted != FALSE;
    return size;
  }
  size = WideCharToMultiByte(CP_ACP, 0, units, count, out, outSize, nullptr, nullptr);
  return size > 0 ? size : 0;
}

// True when `text` (size bytes) reads back to exactly the `count` units; `scratch` has room
// for `count` units.
bool ReadsBack(const char* text, int size, const WCHAR* units, int count, WCHAR* scratch) {
  if (count == 0) return size == 0;
  if (size == 0) return false;
  const int back = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, size, scratch, count);
  return back == count && std::memcmp(scratch, units, sizeof(WCHAR) * static_cast<size_t>(count)) == 0;
}

WCHAR FoldUnit(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

// True when the name's stem (up to the first dot, trailing blanks dropped) is a device name:
// Windows opens the device for such a name in any folder, whatever its extension.
bool IsDeviceNameUnits(const WCHAR* name, uint32_t count) {
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  uint32_t stem = 0;
  while (stem < count && name[stem] != '.') ++stem;
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  for (const char* device : kDevices) {
    uint32_t i = 0;
    while (i < stem && device[i] && FoldUnit(name[i]) == static_cast<WCHAR>(device[i])) ++i;
    if (i == stem && device[i] == '\0') return true;
  }
  if (stem != 4) return false;
  const bool com = FoldUnit(name[0]) == 'C' && FoldUnit(name[1]) == 'O' && FoldUnit(name[2]) == 'M';
  const bool lpt = FoldUnit(name[0]) == 'L' && FoldUnit(name[1]) == 'P' && FoldUnit(name[2]) == 'T';
  const WCHAR digit = name[3];
  // Windows takes the superscript digits one to three for port numbers as well.
  const bool port = (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return (com || lpt) && port;
}

}  // namespace

Status ReadManifestFields(uint32_t id, const uint8_t* bytes, uint32_t byteCount,
                         ManifestFields* entry) {
  std::memset(entry, 0, sizeof(*entry));
  entry->id = id;
  uint32_t unitCount = byteCount / 2;
  for (uint32_t i = 0; i < unitCount; ++i)
    if (ReadLe16(bytes + 2 * static_cast<size_t>(i)) == 0) {
      unitCount = i;
      break;
    }

  // Field boundaries, found in the UTF-16 text itself.
  uint32_t starts[ENTRY_MAX_FIELDS] = {};
  uint32_t ends[ENTRY_MAX_FIELDS] = {};
  uint32_t fieldCount = 1;
  for (uint32_t i = 0; i < unitCount; ++i) {
    if (ReadLe16(bytes + 2 * static_cast<size_t>(i)) != kSeparator) continue;
    if (fieldCount <= ENTRY_MAX_FIELDS) ends[fieldCount - 1] = i;
    if (fieldCount < ENTRY_MAX_FIELDS) starts[fieldCount] = i + 1;
    ++fieldCount;
  }
  if (fieldCount <= ENTRY_MAX_FIELDS) ends[fieldCount - 1] = unitCount;
  const uint32_t kept = fieldCount < ENTRY_MAX_FIELDS ? fieldCount : ENTRY_MAX_FIELDS;
  const uint32_t keptUnits = ends[kept - 1];

  // One block: the units (an aligned copy), a scratch array for the read-back, then the
  // texts, each with its NUL. No code page takes more than four bytes for one unit.
  const size_t unitBytes = sizeof(WCHAR) * (static_cast<size_t>(keptUnits) + 1);
  const size_t textBytes = 4 * static_cast<size_t>(keptUnits) + kept;
  uint8_t* block = static_cast<uint8_t*>(LocalAlloc(LMEM_ZEROINIT, 2 * unitBytes + textBytes));
  if (!block) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  WCHAR* kept16 = reinterpret_cast<WCHAR*>(block);
  for (uint32_t i = 0; i < keptUnits; ++i)
    kept16[i] = static_cast<WCHAR>(ReadLe16(bytes + 2 * static_cast<size_t>(i)));
  WCHAR* scratch = reinterpret_cast<WCHAR*>(block + unitBytes);
  char* text = reinterpret_cast<char*>(block + 2 * unitBytes);
  char* textEnd = text + textBytes;

  entry->block = block;
  entry->fieldCount = fieldCount;
  for (uint32_t f = 0; f < kept; ++f) {
    const WCHAR* field = kept16 + starts[f];
    const int count = static_cast<int>(ends[f] - starts[f]);
    bool defaulted = false;
    const int room = static_cast<int>(textEnd - text) - 1;
    int size = ConvertUnits(field, count, text, room, &defaulted);
    if (size < 0 || size > room) size = 0;
    text[size] = '\0';
    entry->text[f] = text;
    entry->units[f] = field;
    entry->unitCount[f] = static_cast<uint32_t>(count);
    if (!defaulted && ReadsBack(text, size, field, count, scratch)) entry->exact |= 1u << f;
    text += size + 1;
  }
  return STATUS(ERROR_SUCCESS);
}

void FreeManifestFields(ManifestFields* entry) {
  if (entry->block) LocalFree(entry->block);
  std::memset(entry, 0, sizeof(*entry));
}

const char* EntryField(const ManifestFields* entry, uint32_t index) {
  if (index >= entry->fieldCount || index >= ENTRY_MAX_FIELDS) return nullptr;
  return (entry->exact & (1u << index)) ? entry->text[index] : nullptr;
}

const char* EntryDisplayField(const ManifestFields* entry, uint32_t index) {
  if (index >= entry->fieldCount || index >= ENTRY_MAX_FIELDS) return nullptr;
  return entry->text[index];
}

uint32_t LeadingFields(const ManifestFields* entry, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit && n < entry->fieldCount && n < ENTRY_MAX_FIELDS && entry->unitCount[n] > 0) ++n;
  return n;
}

bool EntryFieldIsPlainName(const ManifestFields* entry, uint32_t index) {
  return EntryField(entry, index) &&
         IsPlainFileNameUnits(entry->units[index], entry->unitCount[index]);
}

bool IsPlainFileNameUnits(const WCHAR* name, uint32_t count) {
  if (!name || count == 0 || count > NAME_MAX_UNITS) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const WCHAR c = name[i];
    if (c == 0 || c < 0x20 || c == 0x7F) return false;
    if (c < 0x80 && std::strchr("<>:\"/\\|?*", static_cast<char>(c))) return false;
  }
  // Windows drops trailing dots and blanks from a path's last name: such a name would mean
  // another file, or the folder itself or its parent (".", "..", ". .").
  const WCHAR last = name[count - 1];
  if (last == '.' || last == ' ') return false;
  return !IsDeviceNameUnits(name, count);
}

bool IsPlainFileName(const char* name) {
  if (!name || !*name) return false;
  WCHAR units[NAME_MAX_UNITS + 1];
  const int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, units,
                                        NAME_MAX_UNITS + 1);
  return count > 1 && IsPlainFileNameUnits(units, static_cast<uint32_t>(count - 1));
}
