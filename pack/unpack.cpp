// Taking the packages out of a setup (see unpack.h).
#include "pack/unpack.h"

#include <cstring>
#include <map>
#include <set>

#include "common/format.h"
#include "manifest/select.h"
#include "pack/keys.h"
#include "pack/text.h"
#include "payload/container.h"
#include "payload/record.h"

bool SafeFileName(const std::string& name) {
  // The stub's own rule, so the tool refuses exactly what the stub refuses.
  return name.size() <= 255 && name.find('\0') == std::string::npos && IsPlainFileName(name.c_str());
}

bool ReadVerifiedRecord(const FoundSource& source, bool manifest, uint32_t id, EVP_PKEY* key,
                        Bytes* decoded, std::string* error, const UnpackFile* file) {
  const std::string what = manifest ? "the manifest record"
                                    : "file record " + std::to_string(id) +
                                          (file ? " (" + file->name + ")" : std::string());
  const RecordInfo* record = LookUpRecord(source.index, manifest, id);
  if (!record) {
    *error = source.origin + ": " + what + " is missing (the stub would fail too)";
    return false;
  }
  const RecordSpan span = {source.data() + record->dataOffset, record->dataSize,
                           source.data() + record->signatureOffset, record->signatureSize};
  const bool decodedOk =
      file ? DecodeFileRecord(span.data, span.dataSize, file->segments, file->size, decoded, error)
           : DecodeRecord(span.data, span.dataSize, decoded, error);
  if (!decodedOk) {
    *error = source.origin + ": " + what + ": " + *error;
    return false;
  }
  // One SHA-256 of the content serves the signature and the entry's digest.
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(decoded->data(), static_cast<uint32_t>(decoded->size()), digest);
  if (key && !CheckRecordDigestSignature(key, digest, span.signature, span.signatureSize)) {
    *error = source.origin + ": " + what +
             ": the signature does not verify with this key (wrong key, or the setup was changed)";
    return false;
  }
  if (file && file->digest.state == DIGEST_PRESENT &&
      std::memcmp(digest, file->digest.bytes, RECORD_DIGEST_SIZE) != 0) {
    *error = source.origin + ": " + what +
             " does not match its manifest entry's digest (the record was replaced or "
             "relabelled; the stub would refuse it)";
    return false;
  }
  return true;
}

namespace {
// A cabinet line of a source: the packages it names and the file it becomes.
struct CabLine {
  size_t source;
  std::vector<uint32_t> packages;
  UnpackFile file;
};

// One manifest entry of source `s`: a package of the plan, or a cabinet line.
bool PlanEntry(size_t s, const std::string& origin, const ManifestText& e,
               std::vector<UnpackPackage>* plan, std::vector<CabLine>* cabinets,
               std::string* error) {
  const std::string where = origin + ", entry " + std::to_string(e.id);
  EntryShape shape;
  const bool known = ReadEntryShape(e, &shape);
  const std::vector<std::string>& f = shape.fields;
  const UnpackFile file{e.id, shape.cabinet ? (known ? f[2] : "") : MANIFEST_MSI_NAME, shape.digest,
                        shape.size, shape.segments};
  if (known && shape.cabinet) {
    CabLine line{s, {}, file};
    if (!ParseIdList(f[1], &line.packages)) {
      *error = where + ": the cabinet line \"" + e.text + "\" has a bad package list";
      return false;
    }
    if (!SafeFileName(file.name)) {
      *error = where + ": refusing the cabinet name \"" + file.name +
               "\": not a plain file name (it could write outside the output folder)";
      return false;
    }
    cabinets->push_back(line);
  } else if (known) {
    UnpackPackage p{s, e.id, f[0], f[1], f[2], f[3], f[2], {file}};
    if (!SafeFileName(p.productCode)) {
      *error = where + ": refusing the product code \"" + p.productCode +
               "\" as a folder name: not a plain file name";
      return false;
    }
    plan->push_back(p);
  } else {
    *error = where + ": \"" + e.text + "\" is neither a package descriptor nor a cabinet line "
             "(their fields, then at most a " + RECORD_DIGEST_PREFIX + " field of 64 hex digits, a " +
             RECORD_SIZE_PREFIX + " field of decimal bytes and a " + RECORD_SEGMENTS_PREFIX +
             " field)";
    return false;
  }
  return true;
}

// Each cabinet goes to the packages of its source that its line names; a package may not
// get two files of one name. Linear in the number of entries and listed ids: a manifest is
// untrusted until verified, and a small one can list thousands of entries.
bool AddCabinets(const std::vector<CabLine>& cabinets, std::vector<UnpackPackage>* plan,
                 std::string* error) {
  std::map<std::pair<size_t, uint32_t>, size_t> byId;
  for (size_t i = 0; i < plan->size(); ++i) byId[{(*plan)[i].source, (*plan)[i].id}] = i;
  std::vector<std::set<std::string>> names(plan->size());
  for (size_t i = 0; i < plan->size(); ++i) names[i].insert("MAIN.MSI");
  for (const CabLine& c : cabinets) {
    for (uint32_t id : c.packages) {
      const auto found = byId.find({c.source, id});
      if (found == byId.end()) continue;
      UnpackPackage& p = (*plan)[found->second];
      if (!names[found->second].insert(UpperAscii(c.file.name)).second) {
        *error = "package " + std::to_string(p.id) + " lists \"" + c.file.name + "\" twice";
        return false;
      }
      p.files.push_back(c.file);
    }
  }
  return true;
}

// Folders: the product code, made unique where packages share one.
void NameFolders(std::vector<UnpackPackage>* plan) {
  std::map<std::string, size_t> sharing;
  for (const UnpackPackage& p : *plan) ++sharing[UpperAscii(p.productCode)];
  std::set<std::string> folders;
  for (UnpackPackage& p : *plan) {
    if (sharing[UpperAscii(p.productCode)] > 1) {
      std::string langs = p.languages;
      for (char& c : langs)
        if (c == ';') c = ',';
      p.folder = p.productCode + "-" + p.architecture + "-" + langs;
      if (!SafeFileName(p.folder)) p.folder = p.productCode + "-" + std::to_string(p.id);
    }
    if (!folders.insert(UpperAscii(p.folder)).second) {
      p.folder += "-" + std::to_string(p.source) + "-" + std::to_string(p.id);
      folders.insert(UpperAscii(p.folder));
    }
  }
}
}  // namespace

bool PlanUnpack(const std::vector<FoundSource>& sources, std::vector<UnpackPackage>* plan,
                std::string* error) {
  plan->clear();
  std::vector<CabLine> cabinets;
  for (size_t s = 0; s < sources.size(); ++s) {
    Bytes manifest;
    std::vector<ManifestText> entries;
    if (!ReadVerifiedRecord(sources[s], true, MANIFEST_RECORD_ID, nullptr, &manifest, error))
      return false;
    if (!ParseManifest(manifest, &entries, error)) {
      *error = sources[s].origin + ": " + *error;
      return false;
    }
    for (const ManifestText& e : entries)
      if (!PlanEntry(s, sources[s].origin, e, plan, &cabinets, error)) return false;
  }
  if (plan->empty()) {
    *error = "the setup holds no package";
    return false;
  }
  if (!AddCabinets(cabinets, plan, error)) return false;
  NameFolders(plan);
  return true;
}
