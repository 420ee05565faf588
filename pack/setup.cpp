// Packages and cabinets of a container (see setup.h).
#include "pack/setup.h"

#include <cstring>

#include "common/format.h"
#include "manifest/select.h"
#include "pack/json.h"
#include "pack/text.h"

namespace {
enum : size_t { FIELD_LIMIT = 255 };

bool ParseIdList(const std::string& text, std::vector<uint32_t>* ids) {
  ids->clear();
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(';', start);
    uint32_t id;
    if (!ParseUnsigned32(text.substr(start, end - start), &id)) return false;
    ids->push_back(id);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

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
  auto resolve = [&](const std::string& p) { return IsAbsolute(p) ? p : base + p; };
  const JsonValue* packages = root.Find("packages");
  const JsonValue* cabinets = root.Find("cabinets");
  if (!packages || packages->kind != JsonValue::ARRAY) {
    *error = path + ": \"packages\" must be a list";
    return false;
  }
  for (size_t i = 0; i < packages->items.size(); ++i) {
    const JsonValue& p = packages->items[i];
    const std::string where = path + ": packages[" + std::to_string(i) + "]";
    if (p.kind != JsonValue::OBJECT) {
      *error = where + " must be an object";
      return false;
    }
    PackageSpec package;
    if (!StringMember(p, "arch", true, &package.architecture, where, error) ||
        !NumberListMember(p, "languages", &package.languages, where, error) ||
        !StringMember(p, "productCode", true, &package.productCode, where, error) ||
        !StringMember(p, "productName", true, &package.productName, where, error) ||
        !StringMember(p, "msi", true, &package.msiPath, where, error))
      return false;
    package.msiPath = resolve(package.msiPath);
    setup->packages.push_back(package);
  }
  if (cabinets) {
    if (cabinets->kind != JsonValue::ARRAY) {
      *error = path + ": \"cabinets\" must be a list";
      return false;
    }
    for (size_t i = 0; i < cabinets->items.size(); ++i) {
      const JsonValue& c = cabinets->items[i];
      const std::string where = path + ": cabinets[" + std::to_string(i) + "]";
      if (c.kind != JsonValue::OBJECT) {
        *error = where + " must be an object";
        return false;
      }
      CabinetSpec cabinet;
      std::string ids;
      if (!StringMember(c, "path", true, &cabinet.path, where, error) ||
          !NumberListMember(c, "packages", &ids, where, error) ||
          !StringMember(c, "name", false, &cabinet.name, where, error))
        return false;
      if (!ParseIdList(ids, &cabinet.packageIds)) {
        *error = where + ": \"packages\" must list package ids such as 1000";
        return false;
      }
      cabinet.path = resolve(cabinet.path);
      setup->cabinets.push_back(cabinet);
    }
  }
  return true;
}

bool FinishSetup(SetupSpec* setup, std::string* error) {
  if (setup->packages.empty()) {
    *error = "no package given: add --package or a --config file with \"packages\"";
    return false;
  }
  uint32_t next = FIRST_PACKAGE_ID;
  for (PackageSpec& p : setup->packages) {
    p.id = next++;
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
  }
  for (CabinetSpec& c : setup->cabinets) {
    c.id = next++;
    if (c.name.empty()) c.name = BaseName(c.path);
    const std::string where = "cabinet " + std::to_string(c.id) + " (" + c.path + ")";
    if (!CheckField(where + ": the name", c.name, error)) return false;
    if (!IsPlainName(c.name) || EqualsNoCase(c.name, "main.msi")) {
      *error = where + ": \"" + c.name + "\" cannot be the name of a file next to main.msi (a "
               "plain file name: no \\ / : * ? \" < > |, no control characters, no trailing dot "
               "or blank, no device name such as CON)";
      return false;
    }
    for (uint32_t id : c.packageIds) {
      if (id < FIRST_PACKAGE_ID || id >= FIRST_PACKAGE_ID + setup->packages.size()) {
        *error = where + ": package id " + std::to_string(id) + " does not exist (packages are " +
                 std::to_string(FIRST_PACKAGE_ID) + " to " +
                 std::to_string(FIRST_PACKAGE_ID + setup->packages.size() - 1) + ")";
        return false;
      }
    }
    std::string ids;
    for (uint32_t id : c.packageIds) ids += (ids.empty() ? "" : ";") + std::to_string(id);
    if (!CheckField(where + ": the package list", ids, error)) return false;
  }
  // Two cabinets of one package with the same name would overwrite each other.
  for (size_t i = 0; i < setup->cabinets.size(); ++i) {
    for (size_t j = i + 1; j < setup->cabinets.size(); ++j) {
      const CabinetSpec& a = setup->cabinets[i];
      const CabinetSpec& b = setup->cabinets[j];
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

namespace {
std::string DigestField(const std::string& sha256) {
  return sha256.empty() ? "" : "\\" + std::string(RECORD_DIGEST_PREFIX) + sha256;
}

std::string DigestOf(const std::map<uint32_t, std::string>& sha256, uint32_t id) {
  const auto found = sha256.find(id);
  return found == sha256.end() ? "" : found->second;
}
}  // namespace

std::string PackageDescriptor(const PackageSpec& p, const std::string& sha256) {
  return p.architecture + "\\" + p.languages + "\\" + p.productCode + "\\" + p.productName +
         DigestField(sha256);
}

std::string CabinetLine(const CabinetSpec& c, const std::string& sha256) {
  std::string ids;
  for (uint32_t id : c.packageIds) ids += (ids.empty() ? "" : ";") + std::to_string(id);
  return "cab\\" + ids + "\\" + (c.name.empty() ? BaseName(c.path) : c.name) + DigestField(sha256);
}

std::vector<ManifestEntry> SetupManifest(const SetupSpec& setup,
                                         const std::map<uint32_t, std::string>& sha256) {
  std::vector<ManifestEntry> entries;
  for (const PackageSpec& p : setup.packages)
    entries.push_back({p.id, PackageDescriptor(p, DigestOf(sha256, p.id))});
  for (const CabinetSpec& c : setup.cabinets)
    entries.push_back({c.id, CabinetLine(c, DigestOf(sha256, c.id))});
  return entries;
}

bool BuildContainer(const SetupSpec& setup, EVP_PKEY* key, Bytes* container, std::string* error,
                    const BuildProgress* progress, std::vector<ManifestEntry>* manifestOut,
                    uint64_t room) {
  const std::string tooLarge =
      "the setup would exceed 4 GiB - 1 bytes (the stub reads itself with 32-bit sizes); "
      "split the packages over several setups";
  container->clear();
  // The FileRecords first: the manifest names each one's digest. The manifest record then
  // goes in front of them, where the stub's lookup ends. Its texts are checked before any
  // file is read, so a bad one fails at once.
  Bytes manifest, head;
  if (!EncodeManifest(SetupManifest(setup), &manifest, error)) return false;
  std::map<uint32_t, std::string> sha256;
  auto addFile = [&](const std::string& path, uint32_t id) {
    Bytes content;
    if (!ReadWholeFile(path, 0xFFFFFFFFu, &content, error)) return false;
    if (progress && progress->fileStarted) progress->fileStarted(path, content.size(), progress->context);
    uint8_t digest[RECORD_DIGEST_SIZE];
    if (!AppendSignedRecord(container, RECORD_TYPE_FILE, id, content, key, error, digest))
      return false;
    sha256[id] = HexText(digest, sizeof(digest));
    if (container->size() > room) {
      *error = path + ": " + tooLarge;
      return false;
    }
    return true;
  };
  for (const PackageSpec& p : setup.packages)
    if (!addFile(p.msiPath, p.id)) return false;
  for (const CabinetSpec& c : setup.cabinets)
    if (!addFile(c.path, c.id)) return false;

  const std::vector<ManifestEntry> entries = SetupManifest(setup, sha256);
  if (!EncodeManifest(entries, &manifest, error)) return false;
  if (!AppendSignedRecord(&head, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, key, error))
    return false;
  if (static_cast<uint64_t>(head.size()) + container->size() > room) {
    *error = tooLarge;
    return false;
  }
  container->insert(container->begin(), head.begin(), head.end());
  if (manifestOut) *manifestOut = entries;
  return true;
}
