// Manifest entries: fields, conversions and the file name rule.
//
// A manifest entry's text is UTF-16LE and runs to its length or to its first U+0000; its
// fields are separated by U+005C. ReadManifestFields splits the UTF-16 text into fields first
// and only then converts each field to the active code page (WC_NO_BEST_FIT_CHARS), so no
// character of any code page can move a field boundary: neither a best-fit mapping (U+FF3C
// becomes '\' in code page 1252) nor a double-byte character whose trail byte is 0x5C
// (code page 932). A field converts exactly when no default character was used and the
// converted text reads back to the very same UTF-16 units; the entry records which ones did.
// Every field that is used as a name on disk, a product code, a keyword, a number, a digest
// or a size must have converted exactly (EntryField); a product name is only shown, and
// EntryDisplayField hands it over with '?' for what the code page lacks.
//
// ReadManifestFields fills `entry` from `byteCount` bytes of UTF-16LE text at `bytes` (any
// alignment; an odd last byte is ignored); the entry owns one LocalAlloc block, freed by
// FreeManifestFields. It fails only with 8 when that block cannot be allocated. Only the first
// ENTRY_MAX_FIELDS fields are kept; `fieldCount` still counts them all. An empty text has one
// empty field.
//
// The one file name rule of the stub and the packaging tool: IsPlainFileNameUnits is true
// when the UTF-16 name can name a file inside a folder, as Windows would create it there: 1 to
// 255 units (NAME_MAX_UNITS); free of control characters (U+0001-U+001F, U+007F) and of < > : " / \ | ? *; not
// ending in a dot or a blank (which also rules out "." and ".."); and not a device name (CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9 and the superscript forms COM¹-COM³,
// LPT¹-LPT³, in any case, alone or with an extension: "nul.txt", "Com1.cab").
// IsPlainFileName applies it to a text in the active code page (UTF-8 natively).
#pragma once
#include <cstdint>

#include "common/status.h"
#include "common/winseam.h"

enum : uint32_t { ENTRY_MAX_FIELDS = 8, NAME_MAX_UNITS = 255 };

// The name of the chosen package's MSI in the extraction folder.
static const char MANIFEST_MSI_NAME[] = "main.msi";

struct ManifestFields {
  uint32_t id;
  uint32_t fieldCount;                       // fields of the text (all of them)
  const char* text[ENTRY_MAX_FIELDS];        // each kept field converted, NUL-terminated
  const WCHAR* units[ENTRY_MAX_FIELDS];      // its UTF-16 units (not terminated)
  uint32_t unitCount[ENTRY_MAX_FIELDS];
  uint32_t exact;                            // bit i: field i converted exactly
  void* block;                               // owned (LocalFree), holds all of the above
};

Status ReadManifestFields(uint32_t id, const uint8_t* bytes, uint32_t byteCount,
                         ManifestFields* entry);
void FreeManifestFields(ManifestFields* entry);

// Field `index` when the entry has it and it converted exactly; null otherwise.
const char* EntryField(const ManifestFields* entry, uint32_t index);
// Field `index` as converted (exactly or not), for showing; null when the entry lacks it.
const char* EntryDisplayField(const ManifestFields* entry, uint32_t index);
// How many fields from the first one are there and not empty, at most `limit`: the fields a
// reader of "field\field\..." patterns gets before the first empty or missing one.
uint32_t LeadingFields(const ManifestFields* entry, uint32_t limit);
// True when field `index` converted exactly and is a plain file name (see above).
bool EntryFieldIsPlainName(const ManifestFields* entry, uint32_t index);

bool IsPlainFileNameUnits(const WCHAR* name, uint32_t count);
bool IsPlainFileName(const char* name);
