// Which users' languages a bundle serves: for each common Windows locale (locales.h) and
// each language a package lists, the package the 64-bit stub would choose, chosen by the
// stub's own selection (manifest/select.h: the exact LCID, the primary language, then 1033)
// over the packages registered as the stub's sources (payload/sources.h; the process-wide
// table is emptied before and after, so nothing else may hold sources meanwhile). A bundle in which no x64 package lists 1033 leaves every
// other language without a package: the stub exits 13 there ("corrupted or does not
// support your processor architecture"). CoverageLines says it for people (one line per
// package and one warning line for the locales that get none), WriteCoverage as the JSON
// member "coverage": {"fallback": id or null, "locales": [{"lcid", "name", "package",
// "source", "match"}], "uncovered": [LCID, ...]} ("package" and "source" null, "match"
// "none" for a locale without a package).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/json.h"

// A package descriptor as the stub walks it.
struct CoveragePackage {
  int32_t source;
  uint32_t id;
  std::string text;  // "arch\languages\productCode\productName[\...]"
};

struct LocaleChoice {
  uint32_t lcid;
  std::string name;   // "" for an LCID that is no listed locale
  int32_t source;
  uint32_t package;   // 0: none
  uint32_t pass;      // SELECTION_PASS_*
};

struct Coverage {
  std::vector<LocaleChoice> locales;  // the listed locales, then other languages packages list
  uint32_t fallback = 0;              // the package 1033 users get, serving everyone else; 0 none
  std::vector<uint32_t> uncovered;    // LCIDs that get no package
};

// `packages` in the order the stub walks them (source by source, entry order).
Coverage ComputeCoverage(const std::vector<CoveragePackage>& packages);
// "languages: ..." lines; the last one a warning when some locales get no package.
std::vector<std::string> CoverageLines(const Coverage& coverage);
// The warning alone ("" when every language gets a package).
std::string CoverageWarning(const Coverage& coverage);
void WriteCoverage(JsonWriter* json, const Coverage& coverage);
