// Package selection (see select.h): descriptors "arch\languages\productCode\productName".
#include "manifest/select.h"

#include <cstdio>
#include <cstring>

#include "manifest/enum.h"
#include "manifest/keyword.h"
#include "payload/sources.h"

namespace {

enum : uint32_t { FALLBACK_LCID = 1033 };

// One byte more than a selection field: a field that fills it is too long to keep.
typedef char WideField[DESCRIPTOR_FIELD_SIZE + 1];

// Width 256 (DESCRIPTOR_FIELD_SIZE) lets a field of 256 characters be seen as too long.
const char DESCRIPTOR_PATTERN[] = "%256[^\\]\\%256[^\\]\\%256[^\\]\\%256[^\\]";

bool FieldFits(const char* field) { return std::strlen(field) < DESCRIPTOR_FIELD_SIZE; }

bool LanguageMatches(uint32_t language, uint32_t userLcid, uint32_t matchMode) {
  uint32_t mask = matchMode == 0 ? 0xFFFFu : 0xFFu;
  return (language & mask) == (userLcid & mask);
}

}  // namespace

bool IsPlainFileName(const char* name) {
  if (!name || !*name) return false;
  bool onlyDotsAndBlanks = true;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':' || *p < 0x20 || *p == 0x7F) return false;
    if (*p != '.' && *p != ' ') onlyDotsAndBlanks = false;
  }
  // Windows drops trailing dots and blanks from a path's last name: such a name would mean
  // the folder itself or its parent.
  return !onlyDotsAndBlanks;
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

  const char* architecture = gSourceTable.is64Bit ? "x64" : "Intel";
  const char* token = selection->languages;
  for (;;) {
    unsigned int language = 0;
    // "%u" stops at the ';' that ends the token, and fails on an empty token.
    if (std::sscanf(token, "%u", &language) == 1 &&
        LanguageMatches(language, gSourceTable.userLcid, selection->matchMode) &&
        EqualsKeyword(selection->architecture, architecture)) {
      selection->sourceIndex = sourceIndex;
      selection->entryId = entryId;
      ReadRecordDigest(text, DESCRIPTOR_DIGEST_FIELD, &selection->digest);
      ReadRecordSize(text, DESCRIPTOR_SIZE_FIELD, &selection->size);
      return 0;
    }
    const char* separator = std::strchr(token, ';');
    if (!separator) break;
    token = separator + 1;
  }
  return 1;
}

bool SelectPackage(PackageSelection* selection) {
  std::memset(selection, 0, sizeof(*selection));
  // The walks' results are not consulted: a choice made before a malformed entry stands.
  EnumManifestEntries(MatchPackageEntry, selection);
  if (selection->entryId == 0) {
    selection->matchMode = 1;
    EnumManifestEntries(MatchPackageEntry, selection);
  }
  if (selection->entryId == 0 && gSourceTable.userLcid != FALLBACK_LCID) {
    selection->matchMode = 0;
    gSourceTable.userLcid = FALLBACK_LCID;
    EnumManifestEntries(MatchPackageEntry, selection);
  }
  return selection->entryId != 0;
}
