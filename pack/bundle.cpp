// Whether the stub can use a bundle (see bundle.h).
#include "pack/bundle.h"

#include <cstdint>
#include <set>

#include "pack/inputs.h"
#include "pack/text.h"

namespace {
std::string Describe(const PackageSpec& p) {
  return "package " + std::to_string(p.id) + " (" + p.msiPath + ", " + p.architecture + ", " +
         p.languages + ", " + p.productCode + ")";
}

// The languages as the stub's first pass compares them (low 16 bits); empty tokens skipped.
std::set<uint32_t> Languages(const std::string& list) {
  std::set<uint32_t> out;
  for (const std::string& token : SplitText(list, ';')) {
    uint32_t value;
    if (ParseUnsigned32(token, &value)) out.insert(value & 0xFFFFu);
  }
  return out;
}
}  // namespace

bool CheckSetupFiles(const SetupSpec& setup, std::string* error) {
  for (const PackageSpec& p : setup.packages)
    if (!CheckInputFile(p.msiPath, 0xFFFFFFFFu, MSI_FILE_MAGIC, sizeof(MSI_FILE_MAGIC),
                        "an MSI package (a Windows Installer database)", error))
      return false;
  for (const CabinetSpec& c : setup.cabinets)
    if (!CheckInputFile(c.path, 0xFFFFFFFFu, CABINET_FILE_MAGIC, sizeof(CABINET_FILE_MAGIC),
                        "a Microsoft cabinet (\"MSCF\")", error))
      return false;
  return true;
}

bool CheckBundle(const SetupSpec& setup, bool forStub, std::vector<std::string>* notes,
                 std::string* error) {
  bool anyX64 = false;
  for (const PackageSpec& p : setup.packages) anyX64 = anyX64 || EqualsNoCase(p.architecture, "x64");
  if (forStub && !anyX64) {
    *error = "no package is for x64: the stub is a 64-bit program and chooses only x64 "
             "packages, so every user would get exit code 13. A 32-bit (Intel) MSI installs on "
             "64-bit Windows too: give --arch x64 to offer it there";
    return false;
  }
  for (size_t i = 0; i < setup.packages.size(); ++i) {
    const PackageSpec& later = setup.packages[i];
    const std::set<uint32_t> languages = Languages(later.languages);
    for (size_t j = 0; j < i; ++j) {
      const PackageSpec& earlier = setup.packages[j];
      if (!EqualsNoCase(earlier.architecture, later.architecture)) continue;
      const std::set<uint32_t> covered = Languages(earlier.languages);
      bool all = !languages.empty();
      for (uint32_t l : languages) all = all && covered.count(l) != 0;
      if (!all) continue;
      *error = Describe(later) + " could never be chosen: " + Describe(earlier) +
               " comes first with the same architecture and every language it lists" +
               (EqualsNoCase(earlier.productCode, later.productCode) ? " (the same package twice?)"
                                                                     : "") +
               ". Remove it, or give it a language no earlier package of its architecture lists";
      return false;
    }
    if (forStub && anyX64 && EqualsNoCase(later.architecture, "Intel"))
      notes->push_back("note: " + Describe(later) + " is for Intel: this 64-bit stub never "
                       "chooses it (a 32-bit stub would)");
  }
  return true;
}

bool IsBracedGuid(const std::string& text) {
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (kShape[i] != 'X') {
      if (c != kShape[i]) return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}
