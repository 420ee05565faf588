// Package facts from MSI files (see msiinfo.h).
#include "pack/msiinfo.h"

#include <cstring>
#include <filesystem>
#include <map>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "pack/text.h"

#ifdef MSISTUB_PACK_HAVE_LIBMSI
#include <libmsi.h>
#endif

namespace {
bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The languages a Template lists ("1033,1031", blanks around items allowed), each item read
// as one number of a manifest list (ParseIdList); 0 (language neutral) and empty items name
// no language and are left out. False with the refused item.
bool TemplateLanguages(const std::string& text, std::vector<std::string>* listed,
                       std::string* refused) {
  for (std::string lcid : SplitText(text, ',')) {
    while (!lcid.empty() && lcid.front() == ' ') lcid.erase(0, 1);
    while (!lcid.empty() && lcid.back() == ' ') lcid.pop_back();
    if (lcid.empty() || lcid == "0") continue;
    std::vector<uint32_t> ids;
    if (!ParseIdList(lcid, &ids) || ids.size() != 1) {
      *refused = lcid;
      return false;
    }
    listed->push_back(lcid);
  }
  return true;
}

#ifdef MSISTUB_PACK_HAVE_LIBMSI
// An integer column as libmsi gives it in text; 0 for anything else (a null field).
uint32_t ReadRowNumber(const std::string& text) {
  uint32_t value = 0;
  return IsDecimal(text) && ParseUnsigned32(text, &value) ? value : 0;
}

// libmsi logs its own warnings ("open failed for ..."); the tool reports failures itself.
void QuietLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

std::string TakeError(GError** e) {
  std::string text = *e && (*e)->message ? (*e)->message
                                         : "it is no Windows Installer database";
  g_clear_error(e);
  return text;
}

// Runs `sql` and hands every row's string fields (1-based) to `row`. False when the query
// cannot be prepared (for example when the table does not exist).
template <typename Row>
bool QueryRows(LibmsiDatabase* db, const char* sql, unsigned columns, Row row, std::string* why) {
  GError* e = nullptr;
  LibmsiQuery* q = libmsi_query_new(db, sql, &e);
  if (!q || !libmsi_query_execute(q, nullptr, &e)) {
    *why = TakeError(&e);
    if (q) g_object_unref(q);
    return false;
  }
  for (;;) {
    LibmsiRecord* r = libmsi_query_fetch(q, &e);
    if (!r) break;
    std::vector<std::string> fields;
    for (unsigned i = 1; i <= columns; ++i) {
      gchar* s = libmsi_record_is_null(r, i) ? nullptr : libmsi_record_get_string(r, i);
      fields.push_back(s ? s : "");
      g_free(s);
    }
    g_object_unref(r);
    row(fields);
  }
  g_clear_error(&e);  // the end of the rows is reported as an error
  libmsi_query_close(q, nullptr);
  g_object_unref(q);
  return true;
}
#endif
}  // namespace

bool MsiReadingAvailable() {
#ifdef MSISTUB_PACK_HAVE_LIBMSI
  return true;
#else
  return false;
#endif
}

bool ReadMsiFacts(const std::string& path, MsiFacts* facts, std::string* error) {
  *facts = MsiFacts();
  if (!FileExists(path)) {
    *error = path + ": No such file (check the path)";
    return false;
  }
#ifndef MSISTUB_PACK_HAVE_LIBMSI
  *error = path + ": this build of msistub-pack cannot read MSI files (it has no libmsi); give "
           "the package as --package ARCH:LANGS:CODE:NAME:MSI and its cabinets with --cab";
  return false;
#else
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec)) {
    *error = path + ": not a regular file";
    return false;
  }
  GError* e = nullptr;
  const GLogFunc previous = g_log_set_default_handler(QuietLog, nullptr);
  LibmsiDatabase* db = libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &e);
  g_log_set_default_handler(previous, nullptr);
  if (!db) {
    *error = path + ": not an MSI package (" + TakeError(&e) + ")";
    return false;
  }
  std::string why;
  std::map<std::string, std::string> properties;
  const bool haveProperties = QueryRows(
      db, "SELECT `Property`, `Value` FROM `Property`", 2,
      [&](const std::vector<std::string>& f) { properties[f[0]] = f[1]; }, &why);
  if (!haveProperties) {
    g_object_unref(db);
    *error = path + ": not an MSI package: it has no Property table (" + why + ")";
    return false;
  }
  facts->productCode = properties["ProductCode"];
  facts->productName = properties["ProductName"];
  facts->productLanguage = properties["ProductLanguage"];
  // A package without files has no Media table: no cabinets then.
  QueryRows(db, "SELECT `DiskId`, `LastSequence`, `Cabinet` FROM `Media` ORDER BY `DiskId`", 3,
            [&](const std::vector<std::string>& f) {
              facts->media.push_back({ReadRowNumber(f[0]), ReadRowNumber(f[1]), f[2]});
              if (!f[2].empty()) facts->cabinets.push_back(f[2]);
            },
            &why);
  QueryRows(db, "SELECT `File`, `Sequence` FROM `File`", 2,
            [&](const std::vector<std::string>& f) {
              facts->files.push_back({f[0], ReadRowNumber(f[1])});
            },
            &why);
  LibmsiSummaryInfo* si = libmsi_summary_info_new(db, 0, &e);
  if (!si) {
    g_object_unref(db);
    *error = path + ": the summary information cannot be read (" + TakeError(&e) + ")";
    return false;
  }
  const gchar* templ = libmsi_summary_info_get_string(si, LIBMSI_PROPERTY_TEMPLATE, &e);
  g_clear_error(&e);
  const std::string text = templ ? templ : "";
  const size_t semicolon = text.find(';');
  facts->platform = text.substr(0, semicolon);
  facts->templateLanguages = semicolon == std::string::npos ? "" : text.substr(semicolon + 1);
  g_object_unref(si);
  g_object_unref(db);
  return true;
#endif
}

bool ReadMsiFactsFromBytes(const Bytes& msi, MsiFacts* facts, std::string* error) {
#if defined(MSISTUB_PACK_HAVE_LIBMSI) && !defined(_WIN32)
  std::error_code ec;
  std::string path = (std::filesystem::temp_directory_path(ec) / "msistub-pack-msi-XXXXXX").string();
  const int fd = mkstemp(&path[0]);  // owner-only, a new name
  if (fd < 0) {
    *error = "cannot create a temporary file for the MSI (" + path + ")";
    return false;
  }
  size_t written = 0;
  while (written < msi.size()) {
    const ssize_t n = write(fd, msi.data() + written, msi.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
  const bool ok = written == msi.size() && ReadMsiFacts(path, facts, error);
  if (written != msi.size()) *error = "cannot write a temporary file for the MSI (" + path + ")";
  unlink(path.c_str());
  return ok;
#else
  (void)msi;
  *facts = MsiFacts();
  *error = "this build of msistub-pack cannot read MSI files (it has no libmsi)";
  return false;
#endif
}

namespace {
// The MSI's own platform decides what Windows can install it; --arch may only offer a
// 32-bit package to 64-bit Windows (which installs it too), never the other way round.
bool ChooseArchitecture(const std::string& msiPath, const MsiFacts& facts,
                        const MsiOverrides& overrides, PackageSpec* package, std::string* error) {
  std::string platform;
  if (EqualsNoCase(facts.platform, "x64") || EqualsNoCase(facts.platform, "AMD64")) {
    platform = "x64";
  } else if (facts.platform.empty() || EqualsNoCase(facts.platform, "Intel")) {
    platform = "Intel";
  } else {
    *error = msiPath + ": its platform is \"" + facts.platform +
             "\"; the stub installs x64 packages (and Intel ones, which 64-bit Windows also "
             "installs), and Windows on an x64 processor cannot install this one. Build an x64 "
             "(or Intel) MSI of the product";
    return false;
  }
  package->architecture = overrides.architecture.empty() ? platform : overrides.architecture;
  if (platform == "x64" && EqualsNoCase(package->architecture, "Intel")) {
    *error = msiPath + ": it is an x64 package; --arch Intel would offer it to 32-bit Windows, "
             "which cannot install it";
    return false;
  }
  return true;
}

// The override, else the Template's languages or ProductLanguage (see msiinfo.h).
bool ChooseLanguages(const std::string& msiPath, const MsiFacts& facts,
                     const MsiOverrides& overrides, PackageSpec* package,
                     std::vector<std::string>* notes, std::string* error) {
  package->languages = overrides.languages;
  if (!package->languages.empty()) return true;
  std::vector<std::string> listed;
  std::string refused;
  if (!TemplateLanguages(facts.templateLanguages, &listed, &refused)) {
    *error = msiPath + ": the summary information's Template names the language \"" + refused +
             "\", which is no LCID (give --languages)";
    return false;
  }
  const bool productLanguage = IsDecimal(facts.productLanguage) && facts.productLanguage != "0";
  // A package built for several languages lists them all in its Template; a single
  // Template language is often just the authoring tool's default, and the product's own
  // ProductLanguage says better which users the package is for.
  if (listed.size() > 1 || (listed.size() == 1 && !productLanguage)) {
    for (const std::string& l : listed) package->languages += (package->languages.empty() ? "" : ";") + l;
  } else if (productLanguage) {
    package->languages = facts.productLanguage;
    if (listed.size() == 1 && listed[0] != facts.productLanguage)
      notes->push_back(msiPath + ": the Template says language " + listed[0] +
                       ", ProductLanguage says " + facts.productLanguage +
                       "; using ProductLanguage (give --languages to choose)");
  }
  if (package->languages.empty()) {
    *error = msiPath + ": neither the Template nor ProductLanguage names a language (the "
             "package is language neutral); give --languages, for example 1033";
    return false;
  }
  return true;
}

// A cabinet line for every external cabinet of the Media table, for package `id`: a new one
// in `added`, or the package joins the line of a cabinet file another package named.
bool AddMediaCabinets(const std::string& msiPath, const MsiFacts& facts, uint32_t id,
                      SetupSpec* setup, std::vector<CabinetSpec>* added,
                      std::vector<std::string>* notes, std::string* error) {
  std::vector<std::string> used;
  for (const std::string& cabinet : facts.cabinets) {
    if (cabinet[0] == '#') {
      notes->push_back(msiPath + ": cabinet \"" + cabinet.substr(1) +
                       "\" is embedded in the MSI; no file needed");
      continue;
    }
    const std::string path = DirName(msiPath) + cabinet;
    if (!FileExists(path)) {
      *error = msiPath + ": its Media table names the cabinet \"" + cabinet +
               "\", which is missing (looked for " + (DirName(msiPath).empty() ? "./" : "") + path +
               "); put the cabinet next to the MSI";
      return false;
    }
    // A Media table may name one cabinet on several disks: one line for it.
    bool seen = false;
    for (const std::string& earlier : used) seen = seen || earlier == cabinet;
    if (seen) continue;
    used.push_back(cabinet);
    bool shared = false;
    for (CabinetSpec& c : setup->cabinets) {
      if (c.path == path && c.name == cabinet) {
        c.packageIds.push_back(id);
        shared = true;
      }
    }
    if (!shared) {
      CabinetSpec spec;
      spec.path = path;
      spec.name = cabinet;
      spec.packageIds.push_back(id);
      added->push_back(spec);
    }
    notes->push_back(msiPath + ": cabinet " + path + (shared ? " (shared)" : ""));
  }
  return true;
}
}  // namespace

bool AddMsiPackage(const std::string& msiPath, const MsiOverrides& overrides, SetupSpec* setup,
                   std::vector<std::string>* details, std::vector<std::string>* notes,
                   std::string* error) {
  MsiFacts facts;
  if (!ReadMsiFacts(msiPath, &facts, error)) return false;
  PackageSpec package;
  package.msiPath = msiPath;
  if (!ChooseArchitecture(msiPath, facts, overrides, &package, error) ||
      !ChooseLanguages(msiPath, facts, overrides, &package, notes, error))
    return false;
  package.productCode = overrides.productCode.empty() ? facts.productCode : overrides.productCode;
  if (package.productCode.empty()) {
    *error = msiPath + ": its Property table has no ProductCode (give --code)";
    return false;
  }
  package.productName = overrides.productName.empty() ? facts.productName : overrides.productName;
  if (package.productName.empty()) {
    *error = msiPath + ": its Property table has no ProductName (give --name)";
    return false;
  }
  const uint32_t id = FIRST_PACKAGE_ID + static_cast<uint32_t>(setup->packages.size());
  std::vector<CabinetSpec> added;
  if (!AddMediaCabinets(msiPath, facts, id, setup, &added, details, error)) return false;
  setup->packages.push_back(package);
  setup->cabinets.insert(setup->cabinets.end(), added.begin(), added.end());
  return true;
}

bool CheckMediaCabinets(const SetupSpec& setup, std::string* error) {
  if (!MsiReadingAvailable()) return true;
  for (const PackageSpec& p : setup.packages) {
    MsiFacts facts;
    std::string why;
    if (!ReadMsiFacts(p.msiPath, &facts, &why)) continue;
    std::map<std::string, std::string> given;  // upper-case name -> name
    for (const CabinetSpec& c : setup.cabinets)
      for (uint32_t id : c.packageIds)
        if (id == p.id) given[UpperAscii(c.name)] = c.name;
    std::map<std::string, bool> named;
    for (const std::string& cabinet : facts.cabinets) {
      if (cabinet[0] == '#') continue;
      named[UpperAscii(cabinet)] = true;
      if (given.count(UpperAscii(cabinet))) continue;
      *error = "package " + std::to_string(p.id) + " (" + p.msiPath + "): its Media table names "
               "the cabinet \"" + cabinet + "\", which no --cab gives it (msiexec could not find "
               "it); add --cab " + DirName(p.msiPath) + cabinet + ":" + std::to_string(p.id);
      return false;
    }
    for (const auto& g : given) {
      if (named.count(g.first)) continue;
      *error = "cabinet \"" + g.second + "\" of package " + std::to_string(p.id) +
               " is not named by " + p.msiPath + "'s Media table: msiexec would never use it; "
               "give only the cabinets the MSI names (or fix its Media table)";
      return false;
    }
  }
  return true;
}
