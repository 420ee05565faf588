// Package selection.
//
// A package descriptor is "arch\languages\productCode\productName" (arch "x64" or "Intel",
// any case; languages decimal LCIDs separated by ';'). SelectPackage runs up to three walks
// with MatchPackageEntry: low 16 bits of the user's LCID, then low 8 bits, then 1033 (when
// the user's LCID is not 1033; gSourceTable.userLcid becomes 1033). It returns true when a
// package is chosen (entryId != 0); the selection then holds the chosen descriptor's fields.
// Descriptors with a field over 255 characters, or a product code that is not a plain file
// name, are never chosen. The chosen descriptor's digest field (see digest.h) is kept in
// `digest` for the file set assembly.
#pragma once
#include <cstdint>

#include "manifest/digest.h"

enum : uint32_t { DESCRIPTOR_FIELD_SIZE = 256 };

struct PackageSelection {
  uint32_t matchMode;  // 0: low 16 bits of the LCID; 1: low 8 bits
  int32_t sourceIndex;
  uint32_t entryId;    // 0: nothing chosen
  char architecture[DESCRIPTOR_FIELD_SIZE];
  char languages[DESCRIPTOR_FIELD_SIZE];
  char productCode[DESCRIPTOR_FIELD_SIZE];
  char productName[DESCRIPTOR_FIELD_SIZE];
  RecordDigest digest;  // of the chosen package's MSI; set when it is chosen
};

int MatchPackageEntry(int32_t sourceIndex, uint32_t entryId, const char* text, void* userData);
bool SelectPackage(PackageSelection* selection);

// True when `name` can name a file inside a folder, as Windows would create it there: not
// empty; free of control characters (0x01-0x1F, 0x7F) and of < > : " / \ | ? *; not ending in
// a dot or a blank (which also rules out names of dots and blanks only, such as "." and
// ".."); and not a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9,
// in any case, alone or with an extension: "nul.txt", "Com1.cab"). The one rule for product
// codes (extraction folders) and cabinet names, in the stub and the packaging tool alike.
bool IsPlainFileName(const char* name);
