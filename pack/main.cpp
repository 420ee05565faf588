// msistub-pack: makes payload keys, builds signed payload containers, attaches them to a stub,
// and inspects, verifies and tries setups. Exit codes: 0 success, 1 failure, 2 usage error.
// Messages go to stderr; listings to stdout.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "pack/attach.h"
#include "pack/fileio.h"
#include "pack/keys.h"
#include "pack/reader.h"
#include "pack/setup.h"
#ifdef MSISTUB_PACK_HAVE_SELECT
#include "manifest/select.h"
#include "payload/container.h"
#include "payload/sources.h"
#endif

namespace {
const char kUsage[] =
    "usage: msistub-pack <command> [options]\n"
    "\n"
    "commands:\n"
    "  keygen   make a payload signing key pair\n"
    "  build    build a signed container from MSIs and cabinets (and attach it to a stub)\n"
    "  attach   put containers into a stub executable\n"
    "  inspect  list the sources, records and manifest entries of a setup or container\n"
    "  verify   check every record of a setup or container against a public key\n"
    "  select   show which package the stub would choose for a language\n"
    "\n"
    "'msistub-pack <command> --help' describes a command's options.\n";

const char kKeygenHelp[] =
    "usage: msistub-pack keygen --out PREFIX\n"
    "\n"
    "Makes a new RSA-2048 pair: PREFIX.private.pem (readable by you only), PREFIX.public.pem\n"
    "and PREFIX.public.blob (the 276-byte PUBLICKEYBLOB to build the stub with:\n"
    "-DMSISTUB_PUBLIC_KEY=PREFIX.public.blob). An existing private key is never replaced.\n";

const char kBuildHelp[] =
    "usage: msistub-pack build --key PRIVATE.pem [--public-key PUBLIC]\n"
    "           (--package ARCH:LANGS:CODE:NAME:MSI | --config SETUP.json)...\n"
    "           [--cab CAB:IDS]...\n"
    "           (--container OUT | --stub STUB.exe --out SETUP.exe [--mode MODE])\n"
    "\n"
    "  --package  an MSI package: architecture (x64 or Intel), languages (LCIDs separated\n"
    "             by ';'), product code, product name (no ':' here; use --config for that)\n"
    "             and the MSI path. Packages get entry ids 1000, 1001, ... in order.\n"
    "  --cab      a cabinet file and the ids of the packages that use it (1000;1001); it is\n"
    "             written under its own file name. Cabinets get ids after the packages.\n"
    "  --config   a JSON file: {\"packages\": [{\"arch\", \"languages\", \"productCode\",\n"
    "             \"productName\", \"msi\"}], \"cabinets\": [{\"path\", \"packages\", \"name\"}]}\n"
    "  --key      the private payload key (from keygen)\n"
    "  --public-key  refuse to build unless the private key belongs to this public key\n"
    "             (the one the stub was built with; PEM or .blob)\n"
    "  --container   write the container to this file\n"
    "  --stub, --out, --mode   attach the container to STUB.exe and write SETUP.exe\n"
    "             (see 'msistub-pack attach --help'; default mode cert-table)\n";

const char kAttachHelp[] =
    "usage: msistub-pack attach --stub STUB.exe --container FILE... --out SETUP.exe\n"
    "           [--mode cert-table|extension|append] [--key PUBLIC] [--one-certificate]\n"
    "\n"
    "  cert-table  (default) behind the PKCS#7 signature in the certificate table of a signed\n"
    "              stub; the signature stays valid. One container.\n"
    "  extension   each container as a certificate extension of an extra self-signed\n"
    "              certificate in the signature (--one-certificate: all in one certificate);\n"
    "              the signature stays valid. One or more containers.\n"
    "  append      behind the last byte of an unsigned stub. One container.\n"
    "  --key       check every container's records against this public key first\n"
    "  --critical  mark the extensions critical (the stub passes them over; for tests)\n"
    "A container already attached the same way is replaced. SETUP.exe may be STUB.exe.\n";

const char kInspectHelp[] =
    "usage: msistub-pack inspect FILE\n"
    "\n"
    "Lists the payload sources as the stub finds them (certificate extensions, else the whole\n"
    "file), each source's records (type, id, stored size, signature size) and its manifest\n"
    "entries.\n";

const char kVerifyHelp[] =
    "usage: msistub-pack verify --key PUBLIC FILE\n"
    "\n"
    "Inflates every record of every source and checks its signature with PUBLIC (PEM or\n"
    "276-byte .blob). Reports each record that would fail and why; exit 1 if any does.\n";

const char kSelectHelp[] =
    "usage: msistub-pack select --lcid N [--arch x64|Intel] [--key PUBLIC] FILE\n"
    "\n"
    "Shows the package the stub would choose for a user with locale N (for example 1031),\n"
    "using the stub's own selection code. --key also checks the manifests' signatures.\n";

struct Args {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> flags;
  std::vector<std::string> positional;
  bool help = false;
};

int Usage(const char* command, const std::string& message) {
  std::fprintf(stderr, "msistub-pack: %s\nTry 'msistub-pack %s--help'.\n", message.c_str(),
               command ? (std::string(command) + " ").c_str() : "");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "msistub-pack: %s\n", message.c_str());
  return 1;
}

// Splits argv into options with values, flags and positional arguments.
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, Args* args, std::string* error) {
  bool positionalOnly = false;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (positionalOnly || a.size() < 2 || a[0] != '-' || a == "-") {
      args->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      positionalOnly = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      args->help = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const size_t eq = a.find('=');
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      hasValue = true;
    }
    bool known = false;
    for (const std::string& v : valued) {
      if (a != v) continue;
      known = true;
      if (!hasValue) {
        if (i + 1 >= argc) {
          *error = "option " + a + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      args->options.push_back({a, value});
    }
    for (const std::string& f : flags) {
      if (a != f) continue;
      known = true;
      if (hasValue) {
        *error = "option " + a + " takes no value";
        return false;
      }
      args->flags.push_back(a);
    }
    if (!known) {
      *error = "unknown option " + a;
      return false;
    }
  }
  return true;
}

std::vector<std::string> All(const Args& args, const char* name) {
  std::vector<std::string> out;
  for (const auto& o : args.options)
    if (o.first == name) out.push_back(o.second);
  return out;
}

// The one value of an option that may appear at most once; "" when absent.
bool One(const Args& args, const char* name, std::string* value, std::string* error) {
  const std::vector<std::string> all = All(args, name);
  if (all.size() > 1) {
    *error = std::string("option ") + name + " given more than once";
    return false;
  }
  *value = all.empty() ? std::string() : all[0];
  return true;
}

bool Has(const Args& args, const char* flag) {
  for (const auto& f : args.flags)
    if (f == flag) return true;
  return false;
}

struct KeyHolder {
  EVP_PKEY* key = nullptr;
  ~KeyHolder() { EVP_PKEY_free(key); }
};

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", v);
  return text;
}

// Reads a setup or container (at most 4 GiB - 1 bytes, as the stub does).
bool ReadSetup(const std::string& path, Bytes* file, std::string* error) {
  return ReadWholeFile(path, 0xFFFFFFFFu, file, error);
}

bool CheckContainerKey(const Bytes& container, const std::string& name, EVP_PKEY* key,
                       std::string* error) {
  FoundSource source{name, Bytes(), &container};
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources({source}, key, &checked, &problems);
  if (problems.empty()) return true;
  *error = name + ": " + problems[0].what + " (check that it was built with the matching key)";
  return false;
}

bool AttachOne(const std::string& mode, Bytes* image, const std::vector<Bytes>& containers,
               const ExtensionOptions& ext, std::string* error) {
  if (mode == "extension") return AttachAsExtensions(image, containers, ext, error);
  if (containers.size() != 1) {
    *error = "mode " + mode + " carries exactly one container; use --mode extension for several";
    return false;
  }
  if (mode == "append") return AppendToImage(image, containers[0], error);
  return AttachToCertificateTable(image, containers[0], error);
}

int WriteAttached(const std::string& mode, const std::string& stubPath, const std::string& outPath,
                  const std::vector<Bytes>& containers, const ExtensionOptions& ext) {
  std::string error;
  Bytes image;
  if (!ReadWholeFile(stubPath, 0xFFFFFFFFu, &image, &error)) return Fail(error);
  if (!AttachOne(mode, &image, containers, ext, &error)) return Fail(stubPath + ": " + error);
  if (!WriteFileReplacing(outPath, image.data(), image.size(), false, false, &error))
    return Fail(error);
  std::printf("%s: %zu bytes, %zu container(s) attached (%s)\n", outPath.c_str(), image.size(),
              containers.size(), mode.c_str());
  return 0;
}

bool ValidMode(const std::string& mode) {
  return mode == "cert-table" || mode == "extension" || mode == "append";
}

int Keygen(int argc, char** argv) {
  Args args;
  std::string error, prefix;
  if (!ParseArgs(argc, argv, 2, {"--out"}, {}, &args, &error)) return Usage("keygen", error);
  if (args.help) return std::fputs(kKeygenHelp, stdout), 0;
  if (!One(args, "--out", &prefix, &error)) return Usage("keygen", error);
  if (prefix.empty()) return Usage("keygen", "--out PREFIX is required");
  if (!args.positional.empty()) return Usage("keygen", "unexpected argument " + args.positional[0]);
  if (!GenerateKeyFiles(prefix, &error)) return Fail(error);
  std::printf("wrote %s.private.pem, %s.public.pem and %s.public.blob\n", prefix.c_str(),
              prefix.c_str(), prefix.c_str());
  return 0;
}

int Build(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2,
                 {"--key", "--public-key", "--package", "--cab", "--config", "--container",
                  "--stub", "--out", "--mode"},
                 {}, &args, &error))
    return Usage("build", error);
  if (args.help) return std::fputs(kBuildHelp, stdout), 0;
  std::string keyPath, publicPath, config, containerPath, stubPath, outPath, mode;
  if (!One(args, "--key", &keyPath, &error) || !One(args, "--public-key", &publicPath, &error) ||
      !One(args, "--config", &config, &error) ||
      !One(args, "--container", &containerPath, &error) || !One(args, "--stub", &stubPath, &error) ||
      !One(args, "--out", &outPath, &error) || !One(args, "--mode", &mode, &error))
    return Usage("build", error);
  if (!args.positional.empty()) return Usage("build", "unexpected argument " + args.positional[0]);
  if (keyPath.empty()) return Usage("build", "--key PRIVATE.pem is required");
  if (containerPath.empty() && stubPath.empty())
    return Usage("build", "say where the result goes: --container OUT or --stub STUB.exe --out SETUP.exe");
  if (!stubPath.empty() && outPath.empty()) return Usage("build", "--stub needs --out SETUP.exe");
  if (stubPath.empty() && (!outPath.empty() || !mode.empty()))
    return Usage("build", "--out and --mode go with --stub");
  if (mode.empty()) mode = "cert-table";
  if (!ValidMode(mode)) return Usage("build", "unknown mode " + mode + " (cert-table, extension, append)");

  SetupSpec setup;
  if (!config.empty() && !LoadSetupConfig(config, &setup, &error)) return Fail(error);
  for (const std::string& p : All(args, "--package")) {
    PackageSpec package;
    if (!ParsePackageArgument(p, &package, &error)) return Usage("build", error);
    setup.packages.push_back(package);
  }
  for (const std::string& c : All(args, "--cab")) {
    CabinetSpec cabinet;
    if (!ParseCabinetArgument(c, &cabinet, &error)) return Usage("build", error);
    setup.cabinets.push_back(cabinet);
  }
  if (!FinishSetup(&setup, &error)) return Fail(error);

  KeyHolder key, expected;
  if (!(key.key = LoadPrivateKey(keyPath, &error))) return Fail(error);
  if (!publicPath.empty()) {
    if (!(expected.key = LoadPublicKey(publicPath, &error))) return Fail(error);
    if (!KeysMatch(key.key, expected.key))
      return Fail(keyPath + " does not belong to the public key " + publicPath +
                  ": the stub would reject every record; use the matching private key");
  }
  Bytes container;
  if (!BuildContainer(setup, key.key, &container, &error)) return Fail(error);
  for (const ManifestEntry& e : SetupManifest(setup))
    std::printf("entry %u: %s\n", e.id, e.text.c_str());
  if (!containerPath.empty()) {
    if (!WriteFileReplacing(containerPath, container.data(), container.size(), false, false, &error))
      return Fail(error);
    std::printf("%s: container of %zu bytes\n", containerPath.c_str(), container.size());
  }
  if (!stubPath.empty()) return WriteAttached(mode, stubPath, outPath, {container}, ExtensionOptions());
  return 0;
}

int Attach(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2, {"--stub", "--out", "--container", "--mode", "--key"},
                 {"--one-certificate", "--critical"}, &args, &error))
    return Usage("attach", error);
  if (args.help) return std::fputs(kAttachHelp, stdout), 0;
  std::string stubPath, outPath, mode, keyPath;
  if (!One(args, "--stub", &stubPath, &error) || !One(args, "--out", &outPath, &error) ||
      !One(args, "--mode", &mode, &error) || !One(args, "--key", &keyPath, &error))
    return Usage("attach", error);
  if (!args.positional.empty()) return Usage("attach", "unexpected argument " + args.positional[0]);
  if (stubPath.empty() || outPath.empty()) return Usage("attach", "--stub and --out are required");
  const std::vector<std::string> paths = All(args, "--container");
  if (paths.empty()) return Usage("attach", "at least one --container is required");
  if (mode.empty()) mode = "cert-table";
  if (!ValidMode(mode)) return Usage("attach", "unknown mode " + mode + " (cert-table, extension, append)");
  ExtensionOptions ext;
  ext.oneCertificate = Has(args, "--one-certificate");
  ext.critical = Has(args, "--critical");
  if ((ext.oneCertificate || ext.critical) && mode != "extension")
    return Usage("attach", "--one-certificate and --critical go with --mode extension");

  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  std::vector<Bytes> containers(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!ReadWholeFile(paths[i], 0xFFFFFFFFu, &containers[i], &error)) return Fail(error);
    uint32_t start = 0;
    if (!FindContainerStart(containers[i].data(), static_cast<uint32_t>(containers[i].size()),
                            &start) || start != 0)
      return Fail(paths[i] + ": not a payload container (it must end with records and begin "
                  "with its manifest record); make one with 'msistub-pack build --container'");
    if (key.key && !CheckContainerKey(containers[i], paths[i], key.key, &error)) return Fail(error);
  }
  return WriteAttached(mode, stubPath, outPath, containers, ext);
}

int Inspect(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2, {}, {}, &args, &error)) return Usage("inspect", error);
  if (args.help) return std::fputs(kInspectHelp, stdout), 0;
  if (args.positional.size() != 1) return Usage("inspect", "give exactly one FILE");
  Bytes file;
  if (!ReadSetup(args.positional[0], &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(args.positional[0] + ": " + error);
  for (const std::string& n : notes) std::printf("note: %s\n", n.c_str());
  bool broken = false;
  for (size_t i = 0; i < sources.size(); ++i) {
    const FoundSource& s = sources[i];
    std::printf("source %zu: %s, %u bytes\n", i, s.origin.c_str(), s.size());
    std::vector<RecordInfo> records;
    std::vector<std::string> skipped;
    std::string ending;
    ListRecords(s.data(), s.size(), &records, &skipped, &ending);
    for (const std::string& k : skipped) std::printf("  note: %s\n", k.c_str());
    for (auto r = records.rbegin(); r != records.rend(); ++r)
      std::printf("  record %-8s id %-10u stored %10u bytes, signature %u bytes\n",
                  r->manifest ? "manifest" : "file", r->id, r->dataSize, r->signatureSize);
    if (!ending.empty()) {
      std::printf("  no manifest: %s\n", ending.c_str());
      broken = true;
      continue;
    }
    const RecordInfo& m = records.back();
    Bytes manifest;
    std::vector<ManifestText> entries;
    if (!DecodeRecord(s.data() + m.dataOffset, m.dataSize, &manifest, &error)) {
      std::printf("  manifest: %s\n", error.c_str());
      broken = true;
      continue;
    }
    const bool whole = ParseManifest(manifest, &entries, &error);
    std::printf("  manifest: %zu entries, %zu bytes\n", entries.size(), manifest.size());
    for (const ManifestText& e : entries) std::printf("    %u: %s\n", e.id, e.text.c_str());
    if (!whole) {
      std::printf("    %s\n", error.c_str());
      broken = true;
    }
  }
  return broken ? 1 : 0;
}

int Verify(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--key"}, {}, &args, &error)) return Usage("verify", error);
  if (args.help) return std::fputs(kVerifyHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error)) return Usage("verify", error);
  if (keyPath.empty()) return Usage("verify", "--key PUBLIC is required");
  if (args.positional.size() != 1) return Usage("verify", "give exactly one FILE");
  KeyHolder key;
  if (!(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  Bytes file;
  if (!ReadSetup(args.positional[0], &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(args.positional[0] + ": " + error);
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources(sources, key.key, &checked, &problems);
  for (const RecordProblem& p : problems)
    std::fprintf(stderr, "msistub-pack: %s: %s: %s\n", args.positional[0].c_str(),
                 p.source.c_str(), p.what.c_str());
  if (!problems.empty()) return 1;
  std::printf("%s: %zu source(s), %u record(s), all verified\n", args.positional[0].c_str(),
              sources.size(), checked);
  return 0;
}

int Select(int argc, char** argv) {
  Args args;
  std::string error, lcidText, arch, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--lcid", "--arch", "--key"}, {}, &args, &error))
    return Usage("select", error);
  if (args.help) return std::fputs(kSelectHelp, stdout), 0;
  if (!One(args, "--lcid", &lcidText, &error) || !One(args, "--arch", &arch, &error) ||
      !One(args, "--key", &keyPath, &error))
    return Usage("select", error);
  char* end = nullptr;
  const unsigned long lcid = std::strtoul(lcidText.c_str(), &end, 0);
  if (lcidText.empty() || *end || lcid > 0xFFFFFFFFul)
    return Usage("select", "--lcid N is required, N a locale id such as 1033 or 0x0407");
  if (arch.empty()) arch = "x64";
  if (arch != "x64" && arch != "Intel") return Usage("select", "--arch is x64 or Intel");
  if (args.positional.size() != 1) return Usage("select", "give exactly one FILE");
#ifndef MSISTUB_PACK_HAVE_SELECT
  return Fail("this build has no package selection");
#else
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  Bytes file;
  if (!ReadSetup(args.positional[0], &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(args.positional[0] + ": " + error);
  if (key.key) {
    std::vector<RecordProblem> problems;
    uint32_t checked = 0;
    VerifySources(sources, key.key, &checked, &problems);
    if (!problems.empty()) return Fail(problems[0].source + ": " + problems[0].what);
  }
  // Register the sources in the stub's own table and let its selection choose.
  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  gSourceTable.userLcid = static_cast<uint32_t>(lcid);
  gSourceTable.is64Bit = arch == "x64";
  int rc = 0;
  for (const FoundSource& s : sources) {
    RecordSpan span;
    Bytes manifest;
    if (!StatusOk(FindRecord(s.data(), s.size(), RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, &span)) ||
        !DecodeRecord(span.data, span.dataSize, &manifest, &error)) {
      rc = Fail(args.positional[0] + ": " + s.origin + ": no readable manifest; the stub would stop");
      break;
    }
    PayloadSource source;
    std::memset(&source, 0, sizeof(source));
    source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
    source.containerSize = s.size();
    source.containerData = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, s.size() ? s.size() : 1));
    source.manifestSize = static_cast<uint32_t>(manifest.size());
    source.manifest = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, manifest.size() + 1));
    if (source.containerData) std::memcpy(source.containerData, s.data(), s.size());
    if (source.manifest && !manifest.empty()) std::memcpy(source.manifest, manifest.data(), manifest.size());
    if (!source.containerData || !source.manifest || !StatusOk(AppendSource(&source))) {
      LocalFree(source.containerData);
      LocalFree(source.manifest);
      rc = Fail("out of memory");
      break;
    }
  }
  if (rc == 0) {
    PackageSelection selection;
    std::memset(&selection, 0, sizeof(selection));
    if (!SelectPackage(&selection)) {
      rc = Fail("no package fits locale " + std::to_string(lcid) + " (" + Hex32(lcid) + ") on " +
                arch + "; the stub would report an unsupported setup");
    } else {
      const char* pass = gSourceTable.userLcid != lcid ? "fallback to 1033"
                         : selection.matchMode == 1    ? "primary language match"
                                                       : "exact language match";
      std::printf("package %u in source %d (%s): %s\\%s\\%s\\%s\n", selection.entryId,
                  selection.sourceIndex, pass, selection.architecture, selection.languages,
                  selection.productCode, selection.productName);
    }
  }
  FreeSources();
  return rc;
#endif
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "keygen") return Keygen(argc, argv);
  if (command == "build") return Build(argc, argv);
  if (command == "attach") return Attach(argc, argv);
  if (command == "inspect") return Inspect(argc, argv);
  if (command == "verify") return Verify(argc, argv);
  if (command == "select") return Select(argc, argv);
  return Usage(nullptr, "unknown command '" + command + "'");
}
