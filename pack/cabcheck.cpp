// Whether each external cabinet holds the files its MSI places in it (see cabcheck.h).
#include "pack/cabcheck.h"

#include <map>

#include "pack/text.h"

#ifdef MSISTUB_PACK_HAVE_LIBGCAB
#include <gio/gio.h>
#include <libgcab.h>
#endif

bool CabinetReadingAvailable() {
#ifdef MSISTUB_PACK_HAVE_LIBGCAB
  return true;
#else
  return false;
#endif
}

bool ListCabinetFiles(const CabinetInput& cabinet, std::vector<std::string>* names,
                      std::string* error) {
  names->clear();
#ifndef MSISTUB_PACK_HAVE_LIBGCAB
  (void)cabinet;
  *error = "this build of msistub-pack cannot read cabinets (it has no libgcab)";
  return false;
#else
  GError* e = nullptr;
  GInputStream* stream = nullptr;
  GFile* file = nullptr;
  if (cabinet.bytes) {
    stream = g_memory_input_stream_new_from_data(cabinet.bytes->data(),
                                                 static_cast<gssize>(cabinet.bytes->size()), nullptr);
  } else {
    file = g_file_new_for_path(cabinet.path.c_str());
    stream = G_INPUT_STREAM(g_file_read(file, nullptr, &e));
  }
  GCabCabinet* cab = gcab_cabinet_new();
  bool ok = stream && gcab_cabinet_load(cab, stream, nullptr, &e);
  if (ok) {
    GPtrArray* folders = gcab_cabinet_get_folders(cab);
    for (guint i = 0; folders && i < folders->len; ++i) {
      GSList* files = gcab_folder_get_files(GCAB_FOLDER(g_ptr_array_index(folders, i)));
      for (GSList* f = files; f; f = f->next) names->push_back(gcab_file_get_name(GCAB_FILE(f->data)));
      g_slist_free(files);
    }
  } else {
    *error = std::string("not a readable cabinet (") + (e && e->message ? e->message : "unknown error") + ")";
  }
  g_clear_error(&e);
  g_object_unref(cab);
  if (stream) g_object_unref(stream);
  if (file) g_object_unref(file);
  return ok;
#endif
}

namespace {
std::string Range(uint32_t first, uint32_t last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}
}  // namespace

bool CheckCabinetContents(const std::string& msiName, const MsiFacts& facts,
                          const std::vector<CabinetInput>& cabinets, std::string* error) {
  if (!CabinetReadingAvailable()) return true;
  uint32_t previous = 0;
  for (const MediaRow& row : facts.media) {
    const uint32_t first = previous + 1;
    if (row.lastSequence > previous) previous = row.lastSequence;
    if (row.cabinet.empty() || row.cabinet[0] == '#') continue;
    const CabinetInput* cabinet = nullptr;
    for (const CabinetInput& c : cabinets)
      if (EqualsNoCase(c.name, row.cabinet)) cabinet = &c;
    if (!cabinet) continue;
    std::vector<std::string> names;
    std::string why;
    if (!ListCabinetFiles(*cabinet, &names, &why)) {
      *error = msiName + ": cabinet \"" + row.cabinet + "\" of Media row " +
               std::to_string(row.diskId) + ": " + why;
      return false;
    }
    std::map<std::string, bool> held;
    for (const std::string& n : names) held[UpperAscii(n)] = true;
    std::vector<std::string> missing;
    for (const FileRow& f : facts.files)
      if (f.sequence >= first && f.sequence <= row.lastSequence && !held.count(UpperAscii(f.key)))
        missing.push_back(f.key);
    if (missing.empty()) continue;
    std::string list;
    for (size_t i = 0; i < missing.size() && i < 10; ++i) list += (i ? ", " : "") + ("\"" + missing[i] + "\"");
    if (missing.size() > 10) list += " and " + std::to_string(missing.size() - 10) + " more";
    *error = msiName + ": cabinet \"" + row.cabinet + "\" lacks " + std::to_string(missing.size()) +
             " of the files the MSI places in it (Media row " + std::to_string(row.diskId) +
             ", File sequences " + Range(first, row.lastSequence) + "): " + list +
             "; msiexec would fail with 1603 on the target machine. Build the cabinet with every "
             "file of the MSI's File table (the MSI and its cabinets from the same build)";
    return false;
  }
  return true;
}

bool CheckSetupCabinetContents(const SetupSpec& setup, std::string* error) {
  if (!CabinetReadingAvailable() || !MsiReadingAvailable()) return true;
  for (const PackageSpec& p : setup.packages) {
    MsiFacts facts;
    std::string why;
    if (!ReadMsiFacts(p.msiPath, &facts, &why)) continue;
    std::vector<CabinetInput> given;
    for (const CabinetSpec& c : setup.cabinets)
      for (uint32_t id : c.packageIds)
        if (id == p.id) given.push_back({c.name.empty() ? BaseName(c.path) : c.name, c.path, nullptr});
    if (!CheckCabinetContents("package " + std::to_string(p.id) + " (" + p.msiPath + ")", facts,
                              given, error))
      return false;
  }
  return true;
}
