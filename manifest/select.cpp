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
