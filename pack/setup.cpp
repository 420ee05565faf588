// Packages and cabinets of a container (see setup.h).
#include "pack/setup.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/format.h"
#include "manifest/segments.h"
#include "manifest/select.h"
#include "manifest/size.h"
#include "pack/json.h"
#include "pack/text.h"

namespace {
enum : size_t { FIELD_LIMIT = 255 };

// A name that can stand for a file inside a folder: the stub's own rule.
bool IsPlainName(const std::string& name) {
  return name.find('\0') == std::string::npos && IsPlainFileName(name.c_str());
}

bool CheckField(const std::string& what, const std::string& value, std::string* error) {
  if (value.empty()) {
    *error = what + " is empty";
    return false;
  }
  if (value.size() > FIELD_LIMIT) {
    *error = what + " is longer than 255 bytes: the stub would not read it";
    return false;
  }
  if (value.find('\\') != std::string::npos) {
    *error = what + " \"" + value + "\" contains a backslash, the manifest's field separator";
    return false;
  }
  return true;
}

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 1 && path[1] == ':');
}

bool StringMember(const JsonValue& object, const char* key, bool required, std::string* out,
                  const std::string& where, std::string* error) {
  const JsonValue* v = object.Find(key);
  if (!v) {
    if (!required) return true;
    *error = where + ": \"" + key + "\" is missing";
    return false;
  }
  if (v->kind != JsonValue::STRING) {
    *error = where + ": \"" + key + "\" must be a string";
    return false;
  }
  *out = v->text;
  return true;
}

// A list of numbers: a JSON array of numbers or a string "1033;1031".
bool NumberListMember(const JsonValue& object, const char* key, std::string* out,
                      const std::string& where, std::string* error) {
  const JsonValue* v = object.Find(key);
  if (!v) {
    *error = where + ": \"" + key + "\" is missing";
    return false;
  }
  if (v->kind == JsonValue::STRING) {
    *out = v->text;
    return true;
  }
  if (v->kind == JsonValue::NUMBER) {
    *out = v->text;
    return true;
  }
  if (v->kind != JsonValue::ARRAY || v->items.empty()) {
    *error = where + ": \"" + key + "\" must be a list of numbers";
    return false;
  }
  out->clear();
  for (const JsonValue& item : v->items) {
    if (item.kind != JsonValue::NUMBER) {
      *error = where + ": \"" + key + "\" must be a list of numbers";
      return false;
    }
    if (!out->empty()) out->push_back(';');
    *out += item.text;
  }
  return true;
}
}  // namespace

bool ParsePackageArgument(const std::string& arg, PackageSpec* package, std::string* error) {
  size_t cut[4];
  size_t from = 0;
  for (size_t& c : cut) {
    c = arg.find(':', from);
    if (c == std::string::npos) {
      *error = "--package " + arg + ": expected ARCH:LANGS:CODE:NAME:PATH";
      return false;
    }
    from = c + 1;
  }
  package->architecture = arg.substr(0, cut[0]);
  package->languages = arg.substr(cut[0] + 1, cut[1] - cut[0] - 1);
  package->productCode = arg.substr(cut[1] + 1, cut[2] - cut[1] - 1);
  package->productName = arg.substr(cut[2] + 1, cut[3] - cut[2] - 1);
  package->msiPath = arg.substr(cut[3] + 1);
  return true;
}

bool ParseCabinetArgument(const std::string& arg, CabinetSpec* cabinet, std::string* error) {
  const size_t cut = arg.rfind(':');
  if (cut == std::string::npos || cut == 0 ||
      !ParseIdList(arg.substr(cut + 1), &cabinet->packageIds)) {
    *error = "--cab " + arg + ": expected PATH:IDS, for example main.cab:1000 or main.cab:1000;1001";
    return false;
  }
  cabinet->path = arg.substr(0, cut);
  cabinet->name.clear();
  return true;
}

namespace {
// A path of the description, taken from the description's folder `base` unless absolute.
std::string ResolveConfigPath(const std::string& base, const std::string& path) {
  return IsAbsolute(path) ? path : base + path;
}

// packages[i] of the description.
bool ReadConfigPackage(const JsonValue& p, const std::string& where, const std::string& base,
                       PackageSpec* package, std::string* error) {
  if (p.kind != JsonValue::OBJECT) {
    *error = where + " must be an object";
    return false;
  }
  if (!StringMember(p, "arch", true, &package->architecture, where, error) ||
      !NumberListMember(p, "languages", &package->languages, where, error) ||
      !StringMember(p, "productCode", true, &package->productCode, where, error) ||
      !StringMember(p, "productName", true, &package->productName, where, error) ||
      !StringMember(p, "msi", true, &package->msiPath, where, error))
    return false;
  package->msiPath = ResolveConfigPath(base, package->msiPath);
  return true;
}

// cabinets[i] of the description.
bool ReadConfigCabinet(const JsonValue& c, const std::string& where, const std::string& base,
                       CabinetSpec* cabinet, std::string* error) {
  if (c.kind != JsonValue::OBJECT) {
    *error = where + " must be an object";
    return false;
  }
  std::string ids;
  if (!StringMember(c, "path", true, &cabinet->path, where, error) ||
      !NumberListMember(c, "packages", &ids, where, error) ||
      !StringMember(c, "name", false, &cabinet->name, where, error))
    return false;
  if (!ParseIdList(ids, &cabinet->packageIds)) {
    *error = where + ": \"packages\" must list package ids such as 1000";
    return false;
  }
  cabinet->path = ResolveConfigPath(base, cabinet->path);
  return true;
}
}  // namespace

bool LoadSetupConfig(const std::string& path, SetupSpec* setup, std::string* error) {
  Bytes bytes;
  if (!ReadWholeFile(path, 16u << 20, &bytes, error)) return false;
  JsonValue root;
  if (!ParseJson(std::string(bytes.begin(), bytes.end()), &root, error)) {
    *error = path + ": " + *error;
    return false;
  }
  if (root.kind != JsonValue::OBJECT) {
    *error = path + ": the document must be an object with \"packages\" and \"cabinets\"";
    return false;
  }
  for (const auto& m : root.members) {
    if (m.first != "packages" && m.first != "cabinets") {
      *error = path + ": unknown member \"" + m.first + "\" (known: packages, cabinets)";
      return false;
    }
  }
  const std::string base = DirName(path);
  const JsonValue* packages = root.Find("packages");
  const JsonValue* cabinets = root.Find("cabinets");
  if (!packages || packages->kind != JsonValue::ARRAY) {
    *error = path + ": \"packages\" must be a list";
    return false;
  }
  for (size_t i = 0; i < packages->items.size(); ++i) {
    PackageSpec package;
    const std::string where = path + ": packages[" + std::to_string(i) + "]";
    if (!ReadConfigPackage(packages->items[i], where, base, &package, error)) return false;
    setup->packages.push_back(package);
  }
  if (cabinets && cabinets->kind != JsonValue::ARRAY) {
    *error = path + ": \"cabinets\" must be a list";
    return false;
  }
  for (size_t i = 0; cabinets && i < cabinets->items.size(); ++i) {
    CabinetSpec cabinet;
    const std::string where = path + ": cabinets[" + std::to_string(i) + "]";
    if (!ReadConfigCabinet(cabinets->items[i], where, base, &cabinet, error)) return false;
    setup->cabinets.push_back(cabinet);
  }
  return true;
}

namespace {
// A package's fields, as the stub will read them from its descriptor.
bool CheckPackage(const PackageSpec& p, std::string* error) {
  const std::string where = "package " + std::to_string(p.id) + " (" + p.msiPath + ")";
  if (!EqualsNoCase(p.architecture, "x64") && !EqualsNoCase(p.architecture, "Intel")) {
    *error = where + ": architecture \"" + p.architecture + "\" must be x64 or Intel";
    return false;
  }
  std::vector<uint32_t> languages;
  if (!ParseIdList(p.languages, &languages)) {
    *error = where + ": languages \"" + p.languages +
             "\" must be decimal LCIDs separated by ';', for example 1033;1031";
    return false;
  }
  if (!CheckField(where + ": the languages", p.languages, error) ||
      !CheckField(where + ": the product code", p.productCode, error) ||
      !CheckField(where + ": the product name", p.productName, error))
    return false;
  if (!IsPlainName(p.productCode)) {
    *error = where + ": the product code \"" + p.productCode +
             "\" names the extraction folder and must be a plain file name (no \\ / : * ? \" < > |, "
             "no control characters, no trailing dot or blank, no device name such as CON)";
    return false;
  }
  return true;
}

// A cabinet's name (defaulted to its file name) and the packages it names.
bool CheckCabinet(CabinetSpec* c, size_t packages, std::string* error) {
  if (c->name.empty()) c->name = BaseName(c->path);
  const std::string where = "cabinet " + std::to_string(c->id) + " (" + c->path + ")";
  if (!CheckField(where + ": the name", c->name, error)) return false;
  if (!IsPlainName(c->name) || EqualsNoCase(c->name, MANIFEST_MSI_NAME)) {
    *error = where + ": \"" + c->name + "\" cannot be the name of a file next to main.msi (a "
             "plain file name: no \\ / : * ? \" < > |, no control characters, no trailing dot "
             "or blank, no device name such as CON)";
    return false;
  }
  for (uint32_t id : c->packageIds) {
    if (id < FIRST_PACKAGE_ID || id >= FIRST_PACKAGE_ID + packages) {
      *error = where + ": package id " + std::to_string(id) + " does not exist (packages are " +
               std::to_string(FIRST_PACKAGE_ID) + " to " +
               std::to_string(FIRST_PACKAGE_ID + packages - 1) + ")";
      return false;
    }
  }
  std::string ids;
  for (uint32_t id : c->packageIds) ids += (ids.empty() ? "" : ";") + std::to_string(id);
  return CheckField(where + ": the package list", ids, error);
}

// Two cabinets of one package with the same name would overwrite each other.
bool CheckCabinetNames(const std::vector<CabinetSpec>& cabinets, std::string* error) {
  for (size_t i = 0; i < cabinets.size(); ++i) {
    for (size_t j = i + 1; j < cabinets.size(); ++j) {
      const CabinetSpec& a = cabinets[i];
      const CabinetSpec& b = cabinets[j];
      if (!EqualsNoCase(a.name, b.name.c_str())) continue;
      for (uint32_t x : a.packageIds) {
        for (uint32_t y : b.packageIds) {
          if (x == y) {
            *error = "cabinets " + std::to_string(a.id) + " and " + std::to_string(b.id) +
                     " are both written as \"" + a.name + "\" for package " + std::to_string(x);
            return false;
          }
        }
      }
    }
  }
  return true;
}
}  // namespace

bool FinishSetup(SetupSpec* setup, std::string* error) {
  if (setup->packages.empty()) {
    *error = "no package given: add --package or a --config file with \"packages\"";
    return false;
  }
  uint32_t next = FIRST_PACKAGE_ID;
  for (PackageSpec& p : setup->packages) {
    p.id = next++;
    if (!CheckPackage(p, error)) return false;
  }
  for (CabinetSpec& c : setup->cabinets) {
    c.id = next++;
    if (!CheckCabinet(&c, setup->packages.size(), error)) return false;
  }
  return CheckCabinetNames(setup->cabinets, error);
}

namespace {
// The digest field and, behind it, the size field and the segments field; none without a
// digest, no segments without a size.
std::string BindingFields(const std::string& sha256, int64_t size, const std::string& segments) {
  if (sha256.empty()) return "";
  std::string fields = "\\" + std::string(RECORD_DIGEST_PREFIX) + sha256;
  if (size >= 0) fields += "\\" + std::string(RECORD_SIZE_PREFIX) + std::to_string(size);
  if (size >= 0 && !segments.empty()) fields += "\\" + segments;
  return fields;
}

template <typename T>
T FactOf(const std::map<uint32_t, T>& facts, uint32_t id, T none) {
  const auto found = facts.find(id);
  return found == facts.end() ? none : found->second;
}
}  // namespace

std::string SegmentsField(uint32_t segmentSize, const std::vector<uint32_t>& lengths) {
  std::string field(SegmentsFieldLength(segmentSize, lengths.data(),
                                        static_cast<uint32_t>(lengths.size())), '\0');
  field.resize(FormatSegmentsField(segmentSize, lengths.data(), static_cast<uint32_t>(lengths.size()),
                                   &field[0], field.size()));
  return field;
}

std::string PackageDescriptor(const PackageSpec& p, const std::string& sha256, int64_t size,
                              const std::string& segments) {
  return p.architecture + "\\" + p.languages + "\\" + p.productCode + "\\" + p.productName +
         BindingFields(sha256, size, segments);
}

std::string CabinetLine(const CabinetSpec& c, const std::string& sha256, int64_t size,
                        const std::string& segments) {
  std::string ids;
  for (uint32_t id : c.packageIds) ids += (ids.empty() ? "" : ";") + std::to_string(id);
  return "cab\\" + ids + "\\" + (c.name.empty() ? BaseName(c.path) : c.name) +
         BindingFields(sha256, size, segments);
}

std::vector<ManifestEntry> SetupManifest(const SetupSpec& setup,
                                         const std::map<uint32_t, std::string>& sha256,
                                         const std::map<uint32_t, int64_t>& sizes,
                                         const std::map<uint32_t, std::string>& segments) {
  std::vector<ManifestEntry> entries;
  for (const PackageSpec& p : setup.packages)
    entries.push_back({p.id, PackageDescriptor(p, FactOf<std::string>(sha256, p.id, ""),
                                               FactOf<int64_t>(sizes, p.id, -1),
                                               FactOf<std::string>(segments, p.id, ""))});
  for (const CabinetSpec& c : setup.cabinets)
    entries.push_back({c.id, CabinetLine(c, FactOf<std::string>(sha256, c.id, ""),
                                         FactOf<int64_t>(sizes, c.id, -1),
                                         FactOf<std::string>(segments, c.id, ""))});
  return entries;
}

bool BuildContainerParts(const SetupSpec& setup, EVP_PKEY* key, const std::string& scratchNear,
                         ContainerParts* parts, std::string* error, const PackProgress* progress,
                         std::vector<ManifestEntry>* manifestOut, uint64_t room) {
  parts->head.clear();
  CloseScratchFile(&parts->records);
  // The FileRecords first: the manifest names each one's digest and segments. The manifest
  // record then goes in front of them, where the stub's lookup ends. Its texts are checked
  // before any file is read, so a bad one fails at once.
  Bytes manifest;
  if (!EncodeManifest(SetupManifest(setup), &manifest, error)) return false;
  if (setup.compressionLevel < 0 || setup.compressionLevel > MAX_COMPRESSION_LEVEL) {
    *error = "compression level " + std::to_string(setup.compressionLevel) +
             " is not between 0 and " + std::to_string(MAX_COMPRESSION_LEVEL);
    return false;
  }
  std::vector<PackInput> inputs;
  for (const PackageSpec& p : setup.packages) inputs.push_back({p.msiPath, p.id});
  for (const CabinetSpec& c : setup.cabinets) inputs.push_back({c.path, c.id});
  PackOptions options;
  options.level = setup.compressionLevel;
  options.segmentSize = setup.segmentSize;
  options.jobs = setup.threads;
  options.room = room;
  std::vector<PackedFile> packed;
  if (!OpenScratchFile(scratchNear, &parts->records, error) ||
      !PackFiles(inputs, options, key, &parts->records, &packed, progress, error))
    return false;

  std::map<uint32_t, std::string> sha256;
  std::map<uint32_t, int64_t> sizes;
  std::map<uint32_t, std::string> segments;
  for (const PackedFile& f : packed) {
    sha256[f.id] = HexText(f.digest, sizeof(f.digest));
    sizes[f.id] = static_cast<int64_t>(f.size);
    segments[f.id] = SegmentsField(setup.segmentSize, f.segmentLengths);
  }
  const std::vector<ManifestEntry> entries = SetupManifest(setup, sha256, sizes, segments);
  if (!EncodeManifest(entries, &manifest, error)) return false;
  if (!AppendSignedRecord(&parts->head, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, key,
                          error, nullptr, setup.compressionLevel))
    return false;
  if (parts->size() > room) {
    *error = kSetupTooLarge;
    return false;
  }
  if (manifestOut) *manifestOut = entries;
  return true;
}

bool ReadContainerParts(const ContainerParts& parts, uint64_t offset, uint8_t* out, size_t size,
                        std::string* error) {
  if (offset < parts.head.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, parts.head.size() - offset));
    std::memcpy(out, parts.head.data() + offset, n);
    out += n, size -= n, offset += n;
  }
  return size == 0 || ReadScratch(parts.records, offset - parts.head.size(), out, size, error);
}

bool BuildContainer(const SetupSpec& setup, EVP_PKEY* key, Bytes* container, std::string* error,
                    const PackProgress* progress, std::vector<ManifestEntry>* manifestOut,
                    uint64_t room) {
  container->clear();
  ContainerParts parts;
  if (!BuildContainerParts(setup, key, "", &parts, error, progress, manifestOut, room)) return false;
  try {
    container->resize(static_cast<size_t>(parts.size()));
  } catch (const std::bad_alloc&) {
    *error = "out of memory for a container of " + std::to_string(parts.size()) + " bytes";
    return false;
  }
  return ReadContainerParts(parts, 0, container->data(), container->size(), error);
}
