// Package selection (see select.h): descriptors "arch\languages\productCode\productName".
#include "manifest/select.h"

#include <cstring>

#include "manifest/enum.h"
#include "manifest/idlist.h"
#include "manifest/keyword.h"

namespace {

// Descriptor fields: architecture, languages, product code, product name.
enum : uint32_t { DESCRIPTOR_FIELDS = 4, PRODUCT_NAME_FIELD = 3 };

bool FieldFits(const char* field) { return std::strlen(field) < DESCRIPTOR_FIELD_SIZE; }

bool LanguageMatches(uint32_t language, uint32_t lcid, uint32_t pass) {
  uint32_t mask = pass == SELECTION_PASS_PRIMARY ? 0xFFu : 0xFFFFu;
  return (language & mask) == (lcid & mask);
}

}  // namespace

bool MatchPackageEntry(int32_t sourceIndex, const ManifestFields* entry, void* userData) {
  PackageSelection* selection = static_cast<PackageSelection*>(userData);
  const uint32_t read = LeadingFields(entry, DESCRIPTOR_FIELDS);

  // The selection's text fields follow every descriptor read, as far as it reads and fits.
  char* targets[DESCRIPTOR_FIELDS] = {selection->architecture, selection->languages,
                                      selection->productCode, selection->productName};
  bool fits = true;
  for (uint32_t i = 0; i < read; ++i) {
    const char* field = EntryDisplayField(entry, i);
    if (!FieldFits(field)) {
      fits = false;
      break;
    }
    std::memcpy(targets[i], field, std::strlen(field) + 1);
  }
  if (read != DESCRIPTOR_FIELDS || !fits) return true;
  // Every field but the product name, which is only shown, must have converted exactly.
  for (uint32_t i = 0; i < DESCRIPTOR_FIELDS; ++i)
    if (i != PRODUCT_NAME_FIELD && !EntryField(entry, i)) return true;
  // The product code names the extraction folder: it must stay inside its parent.
  if (!EntryFieldIsPlainName(entry, 2)) return true;

  const char* architecture = selection->is64Bit ? "x64" : "Intel";
  for (const char* at = selection->languages; at;) {
    unsigned int language = 0;
    if (NextListNumber(&at, &language) &&
        LanguageMatches(language, selection->lcid, selection->pass) &&
        EqualsKeyword(selection->architecture, architecture)) {
      selection->sourceIndex = sourceIndex;
      selection->entryId = entry->id;
      ReadEntryDigest(entry, DESCRIPTOR_DIGEST_FIELD, &selection->digest);
      ReadEntrySize(entry, DESCRIPTOR_SIZE_FIELD, &selection->size);
      return false;
    }
  }
  return true;
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
