// Taking the packages out of a setup (see unpack.h).
#include "pack/unpack.h"

#include <cstring>

#include "common/format.h"
#include "pack/keys.h"
#include "pack/text.h"
#include "payload/container.h"
#include "payload/record.h"

bool SafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c)) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  const std::string stem = UpperAscii(name.substr(0, name.find('.')));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* d : kDevices)
    if (stem == d) return false;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    return false;
  return true;
}

bool ReadVerifiedRecord(const FoundSource& source, bool manifest, uint32_t id, EVP_PKEY* key,
                        Bytes* decoded, std::string* error, const RecordDigest* expected) {
  const std::string what = manifest ? "the manifest record" : "file record " + std::to_string(id);
  RecordSpan span;
  if (!StatusOk(FindRecord(source.data(), source.size(),
                           manifest ? RECORD_TYPE_MANIFEST : RECORD_TYPE_FILE, id, &span))) {
    *error = source.origin + ": " + what + " is missing (the stub would fail too)";
    return false;
  }
  if (!DecodeRecord(span.data, span.dataSize, decoded, error)) {
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
  if (expected && expected->state == DIGEST_PRESENT &&
      std::memcmp(digest, expected->bytes, RECORD_DIGEST_SIZE) != 0) {
    *error = source.origin + ": " + what +
             " does not match its manifest entry's digest (the record was replaced or "
             "relabelled; the stub would refuse it)";
    return false;
  }
  return true;
}

bool PlanUnpack(const std::vector<FoundSource>& sources, std::vector<UnpackPackage>* plan,
                std::string* error) {
  plan->clear();
  struct CabLine {
    size_t source;
    std::vector<uint32_t> packages;
    UnpackFile file;
  };
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
    for (const ManifestText& e : entries) {
      const std::string where = sources[s].origin + ", entry " + std::to_string(e.id);
      EntryShape shape;
      const bool known = ReadEntryShape(e.text, &shape);
      const std::vector<std::string>& f = shape.fields;
      const UnpackFile file{e.id, shape.cabinet ? (known ? f[2] : "") : "main.msi", shape.digest};
      if (known && shape.cabinet) {
        CabLine line{s, {}, file};
        for (const std::string& id : SplitText(f[1], ';')) {
          uint32_t v;
          if (!ParseUnsigned32(id, &v)) {
            *error = where + ": the cabinet line \"" + e.text + "\" has a bad package list";
            return false;
          }
          line.packages.push_back(v);
        }
        if (!SafeFileName(file.name)) {
          *error = where + ": refusing the cabinet name \"" + file.name +
                   "\": not a plain file name (it could write outside the output folder)";
          return false;
        }
        cabinets.push_back(line);
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
                 "(their fields, then at most a " + RECORD_DIGEST_PREFIX + " field of 64 hex digits and a " +
                 RECORD_SIZE_PREFIX + " field of decimal bytes)";
        return false;
      }
    }
  }
  if (plan->empty()) {
    *error = "the setup holds no package";
    return false;
  }
  for (const CabLine& c : cabinets) {
    for (uint32_t id : c.packages) {
      for (UnpackPackage& p : *plan) {
        if (p.source != c.source || p.id != id) continue;
        for (const UnpackFile& f : p.files) {
          if (UpperAscii(f.name) == UpperAscii(c.file.name)) {
            *error = "package " + std::to_string(p.id) + " lists \"" + c.file.name + "\" twice";
            return false;
          }
        }
        p.files.push_back(c.file);
      }
    }
  }
  // Folders: the product code, made unique where packages share one.
  for (UnpackPackage& p : *plan) {
    size_t same = 0;
    for (const UnpackPackage& q : *plan) same += UpperAscii(q.productCode) == UpperAscii(p.productCode);
    if (same > 1) {
      std::string langs = p.languages;
      for (char& c : langs)
        if (c == ';') c = ',';
      p.folder = p.productCode + "-" + p.architecture + "-" + langs;
      if (!SafeFileName(p.folder)) p.folder = p.productCode + "-" + std::to_string(p.id);
    }
  }
  for (size_t i = 0; i < plan->size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (UpperAscii((*plan)[i].folder) == UpperAscii((*plan)[j].folder))
        (*plan)[i].folder += "-" + std::to_string((*plan)[i].source) + "-" +
                             std::to_string((*plan)[i].id);
    }
  }
  return true;
}
