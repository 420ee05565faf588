// Which users' languages a bundle serves (see coverage.h).
#include "pack/coverage.h"

#include <cstring>
#include <map>

#include "manifest/select.h"
#include "pack/locales.h"
#include "pack/text.h"

namespace {
// The stub's choice for `lcid` on x64: its passes in its order, each over every package.
LocaleChoice Choose(const std::vector<CoveragePackage>& packages, uint32_t lcid) {
  LocaleChoice choice{lcid, LocaleName(lcid), -1, 0, SELECTION_PASS_NONE};
  const struct {
    uint32_t pass;
    uint32_t lcid;
  } passes[] = {{SELECTION_PASS_EXACT, lcid}, {SELECTION_PASS_PRIMARY, lcid},
                {SELECTION_PASS_FALLBACK, FALLBACK_LCID}};
  for (const auto& p : passes) {
    if (p.pass == SELECTION_PASS_FALLBACK && lcid == FALLBACK_LCID) break;
    for (const CoveragePackage& package : packages) {
      PackageSelection selection;
      std::memset(&selection, 0, sizeof(selection));
      selection.pass = p.pass;
      selection.lcid = p.lcid;
      selection.is64Bit = 1;
      if (MatchPackageEntry(package.source, package.id, package.text.c_str(), &selection) != 0) continue;
      choice.source = package.source;
      choice.package = package.id;
      choice.pass = p.pass;
      return choice;
    }
  }
  return choice;
}

const char* PassName(uint32_t pass) {
  return pass == SELECTION_PASS_EXACT     ? "exact"
         : pass == SELECTION_PASS_PRIMARY ? "primary language"
         : pass == SELECTION_PASS_FALLBACK ? "fallback to 1033"
                                           : "none";
}

std::string Named(const LocaleChoice& c) {
  return c.name.empty() ? std::to_string(c.lcid) : c.name + " " + std::to_string(c.lcid);
}
}  // namespace

Coverage ComputeCoverage(const std::vector<CoveragePackage>& packages) {
  Coverage coverage;
  std::map<uint32_t, bool> seen;
  for (size_t i = 0; i < kLocaleCount; ++i) {
    seen[kLocales[i].lcid] = true;
    coverage.locales.push_back(Choose(packages, kLocales[i].lcid));
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
      coverage.locales.push_back(Choose(packages, l));
    }
  }
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
  JsonField(json, "fallback");
  if (coverage.fallback)
    JsonNumber(json, coverage.fallback);
  else
    JsonNull(json);
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
    JsonField(json, "package");
    if (c.package)
      JsonNumber(json, c.package);
    else
      JsonNull(json);
    JsonField(json, "source");
    if (c.package)
      JsonNumber(json, static_cast<uint64_t>(c.source));
    else
      JsonNull(json);
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
