// Which users' languages a bundle serves (see coverage.h).
#include "pack/coverage.h"

#include <cstring>
#include <map>

#include "manifest/select.h"
#include "pack/locales.h"
#include "pack/text.h"
#include "pack/writer.h"
#include "payload/sources.h"

namespace {
// The stub's choice for `lcid` on x64, made by its own selection over the registered sources.
LocaleChoice Choose(uint32_t lcid) {
  LocaleChoice choice{lcid, LocaleName(lcid), -1, 0, SELECTION_PASS_NONE};
  const SelectionContext context = {lcid, 1};
  PackageSelection selection;
  std::memset(&selection, 0, sizeof(selection));
  if (StatusOk(SelectPackage(&context, &selection))) {
    choice.source = selection.sourceIndex;
    choice.package = selection.entryId;
    choice.pass = selection.pass;
  }
  return choice;
}

// Registers one source per source index up to the highest, each holding the manifest of its
// packages (an empty one where a source has none), as the stub's table would hold them.
bool RegisterPackages(const std::vector<CoveragePackage>& packages) {
  int32_t sources = 0;
  for (const CoveragePackage& p : packages) sources = p.source + 1 > sources ? p.source + 1 : sources;
  for (int32_t s = 0; s < sources; ++s) {
    std::vector<ManifestEntry> entries;
    for (const CoveragePackage& p : packages)
      if (p.source == s) entries.push_back({p.id, p.text});
    Bytes manifest;
    std::string error;
    if (!EncodeManifest(entries, &manifest, &error) ||
        !StatusOk(AddDecodedContainerSource(&gSourceTable, nullptr, 0, manifest.data(),
                                            static_cast<uint32_t>(manifest.size()))))
      return false;
  }
  return true;
}

const char* PassName(uint32_t pass) {
  return pass == SELECTION_PASS_EXACT     ? "exact"
         : pass == SELECTION_PASS_PRIMARY ? "primary language"
         : pass == SELECTION_PASS_FALLBACK ? "fallback to 1033"
                                           : "none";
}

void NumberOrNull(JsonWriter* json, const char* name, bool present, uint64_t value) {
  JsonField(json, name);
  if (present)
    JsonNumber(json, value);
  else
    JsonNull(json);
}

std::string Named(const LocaleChoice& c) {
  return c.name.empty() ? std::to_string(c.lcid) : c.name + " " + std::to_string(c.lcid);
}
}  // namespace

Coverage ComputeCoverage(const std::vector<CoveragePackage>& packages) {
  Coverage coverage;
  FreeSources(&gSourceTable);
  if (!RegisterPackages(packages)) {
    FreeSources(&gSourceTable);
    return coverage;
  }
  std::map<uint32_t, bool> seen;
  for (size_t i = 0; i < kLocaleCount; ++i) {
    seen[kLocales[i].lcid] = true;
    coverage.locales.push_back(Choose(kLocales[i].lcid));
  }
  // The languages the packages list, where no listed locale has them.
  for (const CoveragePackage& p : packages) {
    const std::vector<std::string> fields = SplitText(p.text, '\\');
    if (fields.size() < 2) continue;
    std::vector<uint32_t> languages;
    ParseIdList(fields[1], &languages);
    for (uint32_t l : languages) {
      if (l == 0 || seen[l]) continue;
      seen[l] = true;
      coverage.locales.push_back(Choose(l));
    }
  }
  FreeSources(&gSourceTable);
  for (const LocaleChoice& c : coverage.locales) {
    if (c.lcid == FALLBACK_LCID) coverage.fallback = c.pass == SELECTION_PASS_EXACT ? c.package : 0;
    if (c.package == 0) coverage.uncovered.push_back(c.lcid);
  }
  return coverage;
}

std::string CoverageWarning(const Coverage& coverage) {
  if (coverage.uncovered.empty()) return "";
  std::string names;
  size_t shown = 0;
  for (const LocaleChoice& c : coverage.locales) {
    if (c.package != 0 || shown == 6) continue;
    names += (shown++ ? ", " : "") + Named(c);
  }
  if (coverage.uncovered.size() > shown)
    names += " and " + std::to_string(coverage.uncovered.size() - shown) + " more";
  const bool any = coverage.uncovered.size() < coverage.locales.size();
  return "no package for users whose language is " + names +
         (any ? " (no exact, primary-language or 1033 match): the stub exits 13 on their machines "
                "(\"corrupted or does not support your processor architecture\"). Add a package "
                "that lists 1033, the language the stub falls back to (--languages "
                "1033;... on one MSI), or a package for each of them"
              : " (no x64 package at all)");
}

std::vector<std::string> CoverageLines(const Coverage& coverage) {
  // Per package: its exact languages, then the ones it gets by primary language.
  std::map<uint32_t, std::string> exact, primary;
  std::vector<uint32_t> order;
  for (const LocaleChoice& c : coverage.locales) {
    if (c.package == 0 || c.pass == SELECTION_PASS_FALLBACK) continue;
    if (!exact.count(c.package) && !primary.count(c.package)) order.push_back(c.package);
    std::string& list = c.pass == SELECTION_PASS_EXACT ? exact[c.package] : primary[c.package];
    list += (list.empty() ? "" : ", ") + Named(c);
  }
  std::vector<std::string> lines;
  for (uint32_t id : order) {
    std::string line = "languages: package " + std::to_string(id) + " serves ";
    if (exact.count(id)) line += exact[id] + " (exact)";
    if (exact.count(id) && primary.count(id)) line += "; ";
    if (primary.count(id)) line += primary[id] + " (primary language)";
    lines.push_back(line);
  }
  if (coverage.fallback)
    lines.push_back("languages: package " + std::to_string(coverage.fallback) +
                    " serves every other language (fallback to 1033)");
  const std::string warning = CoverageWarning(coverage);
  if (!warning.empty()) lines.push_back("warning: " + warning);
  return lines;
}

void WriteCoverage(JsonWriter* json, const Coverage& coverage) {
  JsonField(json, "coverage");
  JsonObject(json);
  NumberOrNull(json, "fallback", coverage.fallback != 0, coverage.fallback);
  JsonField(json, "locales");
  JsonArray(json);
  for (const LocaleChoice& c : coverage.locales) {
    JsonObject(json);
    JsonField(json, "lcid");
    JsonNumber(json, c.lcid);
    JsonField(json, "name");
    if (c.name.empty())
      JsonNull(json);
    else
      JsonString(json, c.name);
    NumberOrNull(json, "package", c.package != 0, c.package);
    NumberOrNull(json, "source", c.package != 0, static_cast<uint64_t>(c.source));
    JsonField(json, "match");
    JsonString(json, PassName(c.pass));
    JsonEnd(json);
  }
  JsonEnd(json);
  JsonField(json, "uncovered");
  JsonArray(json);
  for (uint32_t l : coverage.uncovered) JsonNumber(json, l);
  JsonEnd(json);
  JsonEnd(json);
}
