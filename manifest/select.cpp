// Package selection (see select.h): descriptors "arch\languages\productCode\productName".
#include "manifest/select.h"

#include <cstdio>
#include <cstring>

#include "manifest/enum.h"
#include "manifest/idlist.h"
#include "manifest/keyword.h"

namespace {

// One byte more than a selection field: a field that fills it is too long to keep.
typedef char WideField[DESCRIPTOR_FIELD_SIZE + 1];

// Width 256 (DESCRIPTOR_FIELD_SIZE) lets a field of 256 characters be seen as too long.
const char DESCRIPTOR_PATTERN[] = "%256[^\\]\\%256[^\\]\\%256[^\\]\\%256[^\\]";

bool FieldFits(const char* field) { return std::strlen(field) < DESCRIPTOR_FIELD_SIZE; }

bool LanguageMatches(uint32_t language, uint32_t lcid, uint32_t pass) {
  uint32_t mask = pass == SELECTION_PASS_PRIMARY ? 0xFFu : 0xFFFFu;
  return (language & mask) == (lcid & mask);
}

}  // namespace

namespace {
char UpperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// True when the name's stem (up to the first dot, trailing blanks dropped) is a device name:
// Windows opens the device for such a name in any folder, whatever its extension.
bool IsDeviceName(const char* name) {
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  size_t stem = 0;
  while (name[stem] && name[stem] != '.') ++stem;
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  char upper[8];
  if (stem >= sizeof(upper)) return false;
  for (size_t i = 0; i < stem; ++i) upper[i] = UpperAsciiChar(name[i]);
  upper[stem] = 0;
  for (const char* device : kDevices)
    if (std::strcmp(upper, device) == 0) return true;
  return stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
         upper[3] >= '0' && upper[3] <= '9';
}
}  // namespace

bool IsPlainFileName(const char* name) {
  if (!name || !*name) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
    if (*p < 0x20 || *p == 0x7F || std::strchr("<>:\"/\\|?*", *p)) return false;
  // Windows drops trailing dots and blanks from a path's last name: such a name would mean
  // another file, or the folder itself or its parent (".", "..", ". .").
  const char last = name[std::strlen(name) - 1];
  if (last == '.' || last == ' ') return false;
  return !IsDeviceName(name);
}

int MatchPackageEntry(int32_t sourceIndex, uint32_t entryId, const char* text, void* userData) {
  PackageSelection* selection = static_cast<PackageSelection*>(userData);
  WideField fields[4] = {};
  int read = std::sscanf(text, DESCRIPTOR_PATTERN, fields[0], fields[1], fields[2], fields[3]);
  if (read < 0) read = 0;

  // The selection's text fields follow every descriptor read, as far as it reads and fits.
  char* targets[4] = {selection->architecture, selection->languages, selection->productCode,
                      selection->productName};
  bool fits = true;
  for (int i = 0; i < read; ++i) {
    if (!FieldFits(fields[i])) {
      fits = false;
      break;
    }
    std::memcpy(targets[i], fields[i], std::strlen(fields[i]) + 1);
  }
  if (read != 4 || !fits) return 1;
  // The product code names the extraction folder: it must stay inside its parent.
  if (!IsPlainFileName(selection->productCode)) return 1;

  const char* architecture = selection->is64Bit ? "x64" : "Intel";
  for (const char* at = selection->languages; at;) {
    unsigned int language = 0;
    if (NextListNumber(&at, &language) &&
        LanguageMatches(language, selection->lcid, selection->pass) &&
        EqualsKeyword(selection->architecture, architecture)) {
      selection->sourceIndex = sourceIndex;
      selection->entryId = entryId;
      ReadRecordDigest(text, DESCRIPTOR_DIGEST_FIELD, &selection->digest);
      ReadRecordSize(text, DESCRIPTOR_SIZE_FIELD, &selection->size);
      return 0;
    }
  }
  return 1;
}

Status SelectPackage(const SelectionContext* context, PackageSelection* selection) {
  std::memset(selection, 0, sizeof(*selection));
  selection->is64Bit = context->is64Bit;
  // A choice made before a malformed entry stands; a walk that ended early without one keeps
  // its cause.
  Status walked = STATUS(ERROR_SUCCESS);
  const struct {
    uint32_t pass;
    uint32_t lcid;
  } passes[] = {{SELECTION_PASS_EXACT, context->userLcid},
                {SELECTION_PASS_PRIMARY, context->userLcid},
                {SELECTION_PASS_FALLBACK, FALLBACK_LCID}};
  for (const auto& p : passes) {
    if (p.pass == SELECTION_PASS_FALLBACK && context->userLcid == FALLBACK_LCID) break;
    selection->pass = p.pass;
    selection->lcid = p.lcid;
    Status status = EnumManifestEntries(MatchPackageEntry, selection);
    if (selection->entryId != 0) return STATUS(ERROR_SUCCESS);
    if (StatusOk(walked)) walked = status;
  }
  selection->pass = SELECTION_PASS_NONE;
  return StatusOk(walked) ? STATUS(ERROR_INVALID_DATA) : walked;
}
