// Package selection.
//
// A package descriptor is "arch\languages\productCode\productName" (arch "x64" or "Intel",
// any case; languages decimal LCIDs separated by ';'). SelectPackage chooses for the given
// context (the user's LCID and the processor) in up to three walks with MatchPackageEntry:
// the low 16 bits of the user's LCID (SELECTION_PASS_EXACT), then the low 8 bits
// (SELECTION_PASS_PRIMARY), then 1033 when the user's LCID is not 1033
// (SELECTION_PASS_FALLBACK); `pass` tells which one chose. It returns success when a package
// is chosen (entryId != 0), the selection then holding the chosen descriptor's fields, and
// 13 (ERROR_INVALID_DATA) when none fits, or the walk's own failure (13 for a malformed
// manifest, 8 without memory) when a walk ended early without a choice. Descriptors with a
// field over 255 characters, or a product code that is not a plain file name (see entry.h), are
// never chosen, nor are descriptors whose architecture, languages or product code did not
// convert exactly to the active code page. The chosen descriptor's digest field (see
// digest.h) is kept in `digest`, its size field (see size.h) in `size`, for the file set
// assembly. The product name is only shown: it may carry '?' for what the code page lacks.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/digest.h"
#include "manifest/entry.h"
#include "manifest/size.h"

enum : uint32_t { DESCRIPTOR_FIELD_SIZE = 256, FALLBACK_LCID = 1033 };

enum : uint32_t {
  SELECTION_PASS_NONE = 0,
  SELECTION_PASS_EXACT = 1,     // the user's LCID (low 16 bits)
  SELECTION_PASS_PRIMARY = 2,   // its primary language (low 8 bits)
  SELECTION_PASS_FALLBACK = 3,  // 1033
};

// What the choice depends on, passed in by the caller.
struct SelectionContext {
  uint32_t userLcid;  // GetUserDefaultLCID() in the stub
  uint32_t is64Bit;   // x64 packages fit when set, Intel ones when clear
};

struct PackageSelection {
  uint32_t pass;       // SELECTION_PASS_*: the pass that chose, or the one running
  uint32_t lcid;       // the LCID the running pass compares with
  uint32_t is64Bit;    // from the context
  int32_t sourceIndex;
  uint32_t entryId;    // 0: nothing chosen
  char architecture[DESCRIPTOR_FIELD_SIZE];
  char languages[DESCRIPTOR_FIELD_SIZE];
  char productCode[DESCRIPTOR_FIELD_SIZE];
  char productName[DESCRIPTOR_FIELD_SIZE];
  RecordDigest digest;  // of the chosen package's MSI; set when it is chosen
  RecordSize size;      // the MSI's decoded size field (see size.h); set when it is chosen
};

// The walks' visitor: `userData` is the PackageSelection, its pass, lcid and is64Bit set.
bool MatchPackageEntry(int32_t sourceIndex, const ManifestFields* entry, void* userData);
Status SelectPackage(const SelectionContext* context, PackageSelection* selection);
