// msistub-pack: makes payload keys, builds signed payload containers, attaches them to a stub,
// and inspects, verifies and tries setups. Exit codes: 0 success, 1 failure, 2 usage error.
// Messages go to stderr; listings to stdout.
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "pack/attach.h"
#include "pack/fileio.h"
#include "pack/keys.h"
#include "pack/reader.h"
#include "pack/msiinfo.h"
#include "pack/setup.h"
#include "pack/unpack.h"
#include "pack/writer.h"
#include "pack/text.h"
#include "payload/container.h"
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
    "  make     make a signed setup from a signed stub, a key and MSI files, in one step\n"
    "  build    build a signed container from MSIs and cabinets (and attach it to a stub)\n"
    "  attach   put containers into a stub executable\n"
    "  inspect  list the sources, records and manifest entries of a setup or container\n"
    "  verify   check every record of a setup or container against a public key\n"
    "  select   show which package the stub would choose for a language\n"
    "  extract  take the packages out of a setup (verified) without running it\n"
    "\n"
    "'msistub-pack <command> --help' describes a command's options.\n";

const char kKeygenHelp[] =
    "usage: msistub-pack keygen --out PREFIX\n"
    "\n"
    "Makes a new RSA-2048 pair: PREFIX.private.pem (readable by you only), PREFIX.public.pem\n"
    "and PREFIX.public.blob (the 276-byte PUBLICKEYBLOB to build the stub with:\n"
    "-DMSISTUB_PUBLIC_KEY=PREFIX.public.blob). An existing private key is never replaced.\n";

const char kMakeHelp[] =
    "usage: msistub-pack make --stub STUB.exe --key PRIVATE.pem --out SETUP.exe MSI...\n"
    "           [--mode cert-table|extension|append] [--public-key PUBLIC]\n"
    "           [--arch x64|Intel] [--languages LCIDS] [--name NAME] [--code CODE]\n"
    "           [--quiet | --verbose] [--level N]\n"
    "\n"
    "Reads each MSI's ProductCode, ProductName and ProductLanguage (Property table), its\n"
    "platform and languages (summary information Template, e.g. \"x64;1033,1031\") and its\n"
    "external cabinets (Media table; they must lie next to the MSI, embedded ones travel\n"
    "inside it), signs every record with PRIVATE.pem and writes SETUP.exe.\n"
    "  --mode        cert-table (default) or extension: STUB.exe must be signed already and\n"
    "                its signature stays valid; append: STUB.exe must be unsigned; sign\n"
    "                SETUP.exe afterwards\n"
    "  --arch, --languages, --name   override the MSI's facts (for every MSI given);\n"
    "                --languages takes 1033;1031 or 1033,1031\n"
    "  --code        override the product code (one MSI only)\n"
    "  --quiet       print nothing but errors; --verbose also names the cabinets found\n"
    "  --level       compression level, 0 (stored) to 12 (smallest, slowest); default 9.\n"
    "                The files are compressed in parallel, one per core\n"
    "The explicit --package/--cab/--config forms of 'build' may be mixed in; they come first.\n"
    "Same inputs and key give the same SETUP.exe, byte for byte.\n";

const char kBuildHelp[] =
    "usage: msistub-pack build --key PRIVATE.pem [--public-key PUBLIC]\n"
    "           (MSI | --package ARCH:LANGS:CODE:NAME:MSI | --config SETUP.json)...\n"
    "           [--cab CAB:IDS]...\n"
    "           (--container OUT | --stub STUB.exe --out SETUP.exe [--mode MODE])\n"
    "           [--level N]\n"
    "\n"
    "  --package  an MSI package: architecture (x64 or Intel), languages (LCIDs separated\n"
    "             by ';'), product code, product name (no ':' here; use --config for that)\n"
    "             and the MSI path. Packages get entry ids 1000, 1001, ... in order.\n"
    "  --cab      a cabinet file and the ids of the packages that use it (1000;1001); it is\n"
    "             written under its own file name. Cabinets get ids after the packages.\n"
    "  --config   a JSON file: {\"packages\": [{\"arch\", \"languages\", \"productCode\",\n"
    "             \"productName\", \"msi\"}], \"cabinets\": [{\"path\", \"packages\", \"name\"}]}\n"
    "  MSI        an MSI file whose facts and cabinets are read from it (see 'make --help',\n"
    "             which also describes --arch, --languages, --name, --code, --quiet, --verbose)\n"
    "  --key      the private payload key (from keygen)\n"
    "  --public-key  refuse to build unless the private key belongs to this public key\n"
    "             (the one the stub was built with; PEM or .blob)\n"
    "  --container   write the container to this file\n"
    "  --stub, --out, --mode   attach the container to STUB.exe and write SETUP.exe\n"
    "             (see 'msistub-pack attach --help'; default mode cert-table)\n"
    "  --level    compression level, 0 (stored) to 12 (smallest, slowest); default 9\n";

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
    "usage: msistub-pack inspect [--json] FILE\n"
    "\n"
    "Lists the payload sources as the stub finds them (certificate extensions, else the whole\n"
    "file), each source's records (type, id, stored size, signature size) and its manifest\n"
    "entries. --json prints one JSON object instead (sources, records, packages, cabinets).\n";

const char kVerifyHelp[] =
    "usage: msistub-pack verify --key PUBLIC [--json] FILE\n"
    "\n"
    "Inflates every record of every source and checks its signature with PUBLIC (PEM or\n"
    "276-byte .blob), and each file against the SHA-256 its manifest entry names. Reports\n"
    "each record that would fail and why; exit 1 if any does.\n"
    "--json prints {\"file\", \"sources\", \"records\", \"verified\", \"problems\"} on stdout.\n";

const char kExtractHelp[] =
    "usage: msistub-pack extract (--key PUBLIC | --no-verify) --out OUTDIR SETUP\n"
    "\n"
    "Writes every package of SETUP under OUTDIR without running anything:\n"
    "  OUTDIR/<product code>/main.msi   the MSI (the stub always calls it main.msi; the\n"
    "                                   original file name is not stored)\n"
    "  OUTDIR/<product code>/<cabinet>  its cabinets under their manifest names\n"
    "Packages that share a product code go to <code>-<arch>-<languages>. Every record is\n"
    "checked against PUBLIC first; nothing is written unless all verify. --no-verify skips\n"
    "the check (with a warning). OUTDIR must be new or empty. Names from the setup that are\n"
    "not plain file names are refused, so nothing is written outside OUTDIR.\n";

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

// A signed file whose payload ends where its certificate table begins was signed after the
// payload was appended: the stub reads the file from its end and cannot find the payload.
std::string SignedAfterAppendHint(const Bytes& file, const std::vector<FoundSource>& sources) {
  PeImage pe;
  std::string ignored;
  uint32_t start = 0;
  if (sources.size() != 1 || sources[0].file == nullptr || !ReadPeImage(file, &pe, &ignored) ||
      pe.tableSize == 0 || pe.tableOffset > file.size())
    return "";
  // Signing tools pad the file with up to 7 zero bytes so the table starts 8-byte aligned.
  bool found = false;
  for (uint32_t end = pe.tableOffset; !found && end > 0 && pe.tableOffset - end < 8; --end) {
    found = FindContainerStart(file.data(), end, &start);
    if (file[end - 1] != 0) break;
  }
  if (!found) return "";
  RecordSpan span;
  if (StatusOk(FindRecord(file.data(), static_cast<uint32_t>(file.size()), RECORD_TYPE_MANIFEST,
                          MANIFEST_RECORD_ID, &span)))
    return "";
  return "a payload ends where the signature begins: the file was signed after the payload was "
         "appended, and the stub cannot find it. Sign the bare stub, then attach (cert-table or "
         "extension)";
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
                  const std::vector<Bytes>& containers, const ExtensionOptions& ext,
                  bool quiet = false) {
  std::string error;
  Bytes image;
  if (!ReadWholeFile(stubPath, 0xFFFFFFFFu, &image, &error)) return Fail(error);
  if (!AttachOne(mode, &image, containers, ext, &error)) return Fail(stubPath + ": " + error);
  if (!WriteFileReplacing(outPath, image.data(), image.size(), false, false, &error))
    return Fail(error);
  if (!quiet)
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

// Progress of long compressions on stderr: a bar that redraws itself when stderr is a
// terminal, a plain line per quarter otherwise; nothing with --quiet.
struct Progress {
  bool quiet = false;
  bool verbose = false;
  bool terminal = false;
  std::string file;
  int lastQuarter = -1;
  int lastPercent = -1;
};

void FileStarted(const std::string& path, uint64_t size, void* context) {
  Progress* p = static_cast<Progress*>(context);
  p->file = BaseName(path);
  p->lastQuarter = -1;
  p->lastPercent = -1;
  if (!p->quiet && !p->terminal)
    std::fprintf(stderr, "compressing %s (%.1f MiB)\n", p->file.c_str(), size / 1048576.0);
}

void Compressed(uint64_t done, uint64_t total, void* context) {
  Progress* p = static_cast<Progress*>(context);
  if (p->quiet || p->file.empty()) return;
  const int percent = total ? static_cast<int>(done * 100 / total) : 100;
  if (p->terminal) {
    if (percent == p->lastPercent) return;
    p->lastPercent = percent;
    char bar[31];
    const int filled = percent * 30 / 100;
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
    bar[30] = 0;
    std::fprintf(stderr, "\r[%s] %3d%% %-40.40s", bar, percent, p->file.c_str());
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
    return;
  }
  // Plain lines only for files big enough to take a while (over 16 MiB).
  const int quarter = percent / 25;
  if (total > (16u << 20) && quarter != p->lastQuarter && quarter > 0 && quarter < 4)
    std::fprintf(stderr, "  %s: %d%%\n", p->file.c_str(), quarter * 25);
  p->lastQuarter = quarter;
}

bool IsTerminal(FILE* f) {
#ifdef _WIN32
  return _isatty(_fileno(f)) != 0;
#else
  return isatty(fileno(f)) != 0;
#endif
}

// Checks before any compression that the stub can take the container the chosen way.
bool CheckStubForMode(const std::string& stubPath, const std::string& mode, std::string* error) {
  Bytes image;
  PeImage pe;
  if (!ReadWholeFile(stubPath, 0xFFFFFFFFu, &image, error)) return false;
  if (!ReadPeImage(image, &pe, error)) {
    *error = stubPath + ": " + *error;
    return false;
  }
  if (mode != "append" && pe.tableSize == 0) {
    *error = stubPath + ": the stub is not signed, and mode " + mode +
             " carries the payload in its signature. Sign the stub first (osslsigncode sign ... or "
             "signtool sign ...), or use --mode append and sign the setup afterwards";
    return false;
  }
  if (mode == "append" && pe.tableSize != 0) {
    *error = stubPath + ": the stub is signed; --mode append would break its signature. Use "
             "--mode cert-table or extension with a signed stub, or append to the unsigned stub "
             "and sign the setup afterwards";
    return false;
  }
  return true;
}

// build and make: packages from MSI files (read with libmsi) and/or the explicit forms.
int Build(int argc, char** argv, bool make) {
  const char* command = make ? "make" : "build";
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2,
                 {"--key", "--public-key", "--package", "--cab", "--config", "--container",
                  "--stub", "--out", "--mode", "--arch", "--languages", "--name", "--code",
                  "--level"},
                 {"--quiet", "--verbose"}, &args, &error))
    return Usage(command, error);
  if (args.help) return std::fputs(make ? kMakeHelp : kBuildHelp, stdout), 0;
  std::string keyPath, publicPath, config, containerPath, stubPath, outPath, mode, level;
  MsiOverrides overrides;
  if (!One(args, "--key", &keyPath, &error) || !One(args, "--public-key", &publicPath, &error) ||
      !One(args, "--config", &config, &error) ||
      !One(args, "--container", &containerPath, &error) || !One(args, "--stub", &stubPath, &error) ||
      !One(args, "--out", &outPath, &error) || !One(args, "--mode", &mode, &error) ||
      !One(args, "--arch", &overrides.architecture, &error) ||
      !One(args, "--languages", &overrides.languages, &error) ||
      !One(args, "--name", &overrides.productName, &error) ||
      !One(args, "--code", &overrides.productCode, &error) || !One(args, "--level", &level, &error))
    return Usage(command, error);
  uint32_t compressionLevel = DEFAULT_COMPRESSION_LEVEL;
  if (!level.empty() && (!ParseUnsigned32(level, &compressionLevel) ||
                         compressionLevel > MAX_COMPRESSION_LEVEL))
    return Usage(command, "--level takes a compression level from 0 to " +
                              std::to_string(MAX_COMPRESSION_LEVEL) + " (default " +
                              std::to_string(DEFAULT_COMPRESSION_LEVEL) + ")");
  Progress progress;
  progress.quiet = Has(args, "--quiet");
  progress.verbose = Has(args, "--verbose") && !progress.quiet;
  progress.terminal = IsTerminal(stderr);
  if (keyPath.empty()) return Usage(command, "--key PRIVATE.pem is required");
  if (make && (stubPath.empty() || outPath.empty()))
    return Usage(command, "--stub STUB.exe and --out SETUP.exe are required");
  if (containerPath.empty() && stubPath.empty())
    return Usage(command, "say where the result goes: --container OUT or --stub STUB.exe --out SETUP.exe");
  if (!stubPath.empty() && outPath.empty()) return Usage(command, "--stub needs --out SETUP.exe");
  if (stubPath.empty() && (!outPath.empty() || !mode.empty()))
    return Usage(command, "--out and --mode go with --stub");
  if (mode.empty()) mode = "cert-table";
  if (!ValidMode(mode)) return Usage(command, "unknown mode " + mode + " (cert-table, extension, append)");
  if (!overrides.productCode.empty() && args.positional.size() > 1)
    return Usage(command, "--code names one product; give one MSI with it (or use --package)");
  const bool overriding = !overrides.architecture.empty() || !overrides.languages.empty() ||
                          !overrides.productName.empty() || !overrides.productCode.empty();
  if (overriding && args.positional.empty())
    return Usage(command, "--arch, --languages, --name and --code override what MSI files say; give the MSI files");
  if (!overrides.architecture.empty() && overrides.architecture != "x64" &&
      overrides.architecture != "Intel")
    return Usage(command, "--arch is x64 or Intel");
  for (char& c : overrides.languages)
    if (c == ',') c = ';';

  SetupSpec setup;
  if (!config.empty() && !LoadSetupConfig(config, &setup, &error)) return Fail(error);
  for (const std::string& p : All(args, "--package")) {
    PackageSpec package;
    if (!ParsePackageArgument(p, &package, &error)) return Usage(command, error);
    setup.packages.push_back(package);
  }
  for (const std::string& c : All(args, "--cab")) {
    CabinetSpec cabinet;
    if (!ParseCabinetArgument(c, &cabinet, &error)) return Usage(command, error);
    setup.cabinets.push_back(cabinet);
  }
  for (const std::string& msi : args.positional) {
    std::vector<std::string> notes;
    if (!AddMsiPackage(msi, overrides, &setup, &notes, &error)) return Fail(error);
    if (progress.verbose)
      for (const std::string& n : notes) std::fprintf(stderr, "%s\n", n.c_str());
  }
  if (setup.packages.empty())
    return Usage(command, "no package given: name the MSI files (or use --package/--config)");
  if (!FinishSetup(&setup, &error)) return Fail(error);
  setup.compressionLevel = static_cast<int>(compressionLevel);

  KeyHolder key, expected;
  if (!(key.key = LoadPrivateKey(keyPath, &error))) return Fail(error);
  if (!publicPath.empty()) {
    if (!(expected.key = LoadPublicKey(publicPath, &error))) return Fail(error);
    if (!KeysMatch(key.key, expected.key))
      return Fail(keyPath + " does not belong to the public key " + publicPath +
                  ": the stub would reject every record; use the matching private key");
  }
  if (!stubPath.empty() && !CheckStubForMode(stubPath, mode, &error)) return Fail(error);
  Bytes container;
  const BuildProgress hook{FileStarted, &progress};
  SetCompressProgress(Compressed, &progress);
  std::vector<ManifestEntry> entries;
  const bool built = BuildContainer(setup, key.key, &container, &error, &hook, &entries);
  SetCompressProgress(nullptr, nullptr);
  if (!built) return Fail(error);
  if (!progress.quiet)
    for (const ManifestEntry& e : entries)
      std::printf("entry %u: %s\n", e.id, e.text.c_str());
  if (!containerPath.empty()) {
    if (!WriteFileReplacing(containerPath, container.data(), container.size(), false, false, &error))
      return Fail(error);
    if (!progress.quiet)
      std::printf("%s: container of %zu bytes\n", containerPath.c_str(), container.size());
  }
  if (!stubPath.empty())
    return WriteAttached(mode, stubPath, outPath, {container}, ExtensionOptions(), progress.quiet);
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

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A list of decimal numbers "1033;1031" as a JSON array; other items stay strings.
std::string JsonNumberList(const std::string& list) {
  std::string out = "[";
  for (const std::string& item : SplitText(list, ';')) {
    bool number = !item.empty() && item.size() <= 10;
    for (char c : item) number = number && c >= '0' && c <= '9';
    out += (out.size() > 1 ? ", " : "") + (number ? item : JsonText(item));
  }
  return out + "]";
}

int Inspect(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2, {}, {"--json"}, &args, &error)) return Usage("inspect", error);
  if (args.help) return std::fputs(kInspectHelp, stdout), 0;
  if (args.positional.size() != 1) return Usage("inspect", "give exactly one FILE");
  const bool json = Has(args, "--json");
  Bytes file;
  if (!ReadSetup(args.positional[0], &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(args.positional[0] + ": " + error);
  std::string out;
  if (json) {
    out = "{\"file\": " + JsonText(args.positional[0]) + ", \"size\": " + std::to_string(file.size()) +
          ", \"notes\": [";
    for (size_t i = 0; i < notes.size(); ++i) out += (i ? ", " : "") + JsonText(notes[i]);
    out += "], \"sources\": [";
  }
  for (const std::string& n : notes)
    if (!json) std::printf("note: %s\n", n.c_str());
  bool broken = false;
  for (size_t i = 0; i < sources.size(); ++i) {
    const FoundSource& s = sources[i];
    std::vector<RecordInfo> records;
    std::vector<std::string> skipped;
    std::string ending;
    ListRecords(s.data(), s.size(), &records, &skipped, &ending);
    Bytes manifest;
    std::vector<ManifestText> entries;
    std::string problem = ending;
    if (problem.empty()) {
      const RecordInfo& m = records.back();
      if (!DecodeRecord(s.data() + m.dataOffset, m.dataSize, &manifest, &error))
        problem = "manifest: " + error;
      else if (!ParseManifest(manifest, &entries, &error))
        problem = error;
    } else {
      problem = "no manifest: " + problem;
    }
    broken = broken || !problem.empty();
    if (!json) {
      std::printf("source %zu: %s, %u bytes\n", i, s.origin.c_str(), s.size());
      for (const std::string& k : skipped) std::printf("  note: %s\n", k.c_str());
      for (auto r = records.rbegin(); r != records.rend(); ++r)
        std::printf("  record %-8s id %-10u stored %10u bytes, signature %u bytes\n",
                    r->manifest ? "manifest" : "file", r->id, r->dataSize, r->signatureSize);
      if (ending.empty() && problem.compare(0, 9, "manifest:") != 0)
        std::printf("  manifest: %zu entries, %zu bytes\n", entries.size(), manifest.size());
      for (const ManifestText& e : entries) std::printf("    %u: %s\n", e.id, e.text.c_str());
      if (!problem.empty()) std::printf("  %s\n", problem.c_str());
      continue;
    }
    out += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"origin\": " +
           JsonText(s.origin) + ", \"size\": " + std::to_string(s.size()) + ", \"records\": [";
    bool first = true;
    for (auto r = records.rbegin(); r != records.rend(); ++r, first = false)
      out += std::string(first ? "" : ", ") + "{\"type\": \"" + (r->manifest ? "manifest" : "file") +
             "\", \"id\": " + std::to_string(r->id) + ", \"stored\": " + std::to_string(r->dataSize) +
             ", \"signature\": " + std::to_string(r->signatureSize) + "}";
    std::string packages, cabinets, texts;
    for (const ManifestText& e : entries) {
      texts += (texts.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(e.id) +
               ", \"text\": " + JsonText(e.text) + "}";
      EntryShape shape;
      if (!ReadEntryShape(e.text, &shape)) continue;
      const std::vector<std::string>& f = shape.fields;
      const std::string sha256 =
          shape.digest.state == DIGEST_PRESENT
              ? JsonText(HexText(shape.digest.bytes, RECORD_DIGEST_SIZE))
              : std::string("null");
      const std::string size = shape.size.state == SIZE_PRESENT ? std::to_string(shape.size.bytes)
                                                                : std::string("null");
      if (shape.cabinet) {
        cabinets += (cabinets.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(e.id) +
                    ", \"name\": " + JsonText(f[2]) + ", \"packages\": " + JsonNumberList(f[1]) +
                    ", \"sha256\": " + sha256 + ", \"size\": " + size + "}";
      } else {
        packages += (packages.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(e.id) +
                    ", \"arch\": " + JsonText(f[0]) + ", \"languages\": " + JsonNumberList(f[1]) +
                    ", \"productCode\": " + JsonText(f[2]) + ", \"productName\": " +
                    JsonText(f[3]) + ", \"sha256\": " + sha256 + ", \"size\": " + size + "}";
      }
    }
    out += "], \"manifestBytes\": " + std::to_string(manifest.size()) + ", \"entries\": [" + texts +
           "], \"packages\": [" + packages + "], \"cabinets\": [" + cabinets + "], \"problem\": " +
           (problem.empty() ? std::string("null") : JsonText(problem)) + "}";
  }
  const std::string hint = broken ? SignedAfterAppendHint(file, sources) : "";
  if (json) std::printf("%s], \"hint\": %s}\n", out.c_str(), hint.empty() ? "null" : JsonText(hint).c_str());
  else if (!hint.empty()) std::printf("hint: %s\n", hint.c_str());
  return broken ? 1 : 0;
}

int Verify(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--key"}, {"--json"}, &args, &error)) return Usage("verify", error);
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
  const std::string hint = problems.empty() ? "" : SignedAfterAppendHint(file, sources);
  if (!hint.empty()) std::fprintf(stderr, "msistub-pack: hint: %s\n", hint.c_str());
  if (Has(args, "--json")) {
    std::string list;
    for (const RecordProblem& p : problems)
      list += (list.empty() ? "" : ", ") + std::string("{\"source\": ") + JsonText(p.source) +
              ", \"problem\": " + JsonText(p.what) + "}";
    std::printf("{\"file\": %s, \"sources\": %zu, \"records\": %u, \"verified\": %s, "
                "\"problems\": [%s]}\n",
                JsonText(args.positional[0]).c_str(), sources.size(), checked,
                problems.empty() ? "true" : "false", list.c_str());
    return problems.empty() ? 0 : 1;
  }
  if (!problems.empty()) return 1;
  std::printf("%s: %zu source(s), %u record(s), all verified\n", args.positional[0].c_str(),
              sources.size(), checked);
  return 0;
}

int Extract(int argc, char** argv) {
  Args args;
  std::string error, keyPath, outDir;
  if (!ParseArgs(argc, argv, 2, {"--key", "--out"}, {"--no-verify", "--quiet"}, &args, &error))
    return Usage("extract", error);
  if (args.help) return std::fputs(kExtractHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error) || !One(args, "--out", &outDir, &error))
    return Usage("extract", error);
  const bool noVerify = Has(args, "--no-verify");
  const bool quiet = Has(args, "--quiet");
  if (keyPath.empty() == !noVerify)
    return Usage("extract", "give --key PUBLIC to verify the records, or --no-verify (not both)");
  if (outDir.empty()) return Usage("extract", "--out OUTDIR is required");
  if (args.positional.size() != 1) return Usage("extract", "give exactly one SETUP");
  const std::string& setupPath = args.positional[0];
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  Bytes file;
  if (!ReadSetup(setupPath, &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(setupPath + ": " + error);
  std::vector<UnpackPackage> plan;
  if (!PlanUnpack(sources, &plan, &error)) {
    const std::string hint = SignedAfterAppendHint(file, sources);
    return Fail(setupPath + ": " + error + (hint.empty() ? "" : "\nmsistub-pack: hint: " + hint));
  }
  if (noVerify)
    std::fprintf(stderr, "msistub-pack: warning: --no-verify: the records' signatures are NOT "
                         "checked; do not trust what is written\n");
  // Everything is read, inflated and verified before the first file is written.
  std::vector<std::vector<Bytes>> contents(plan.size());
  for (const UnpackPackage& p : plan) {
    Bytes manifest;
    if (key.key && !ReadVerifiedRecord(sources[p.source], true, MANIFEST_RECORD_ID, key.key,
                                       &manifest, &error))
      return Fail(setupPath + ": " + error);
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    for (const UnpackFile& f : plan[i].files) {
      contents[i].emplace_back();
      if (!ReadVerifiedRecord(sources[plan[i].source], false, f.id, key.key, &contents[i].back(),
                              &error, &f.digest))
        return Fail(setupPath + ": " + error);
    }
  }
  std::error_code ec;
  namespace fs = std::filesystem;
  const fs::path root = fs::u8path(outDir);
  if (fs::exists(root, ec) && !(fs::is_directory(root, ec) && fs::is_empty(root, ec)))
    return Fail(outDir + ": exists and is not an empty folder; extract into a new or empty folder");
  if (!fs::exists(root, ec) && !fs::create_directories(root, ec))
    return Fail(outDir + ": cannot create the folder (" + ec.message() + ")");
  for (size_t i = 0; i < plan.size(); ++i) {
    const UnpackPackage& p = plan[i];
    const fs::path folder = root / fs::u8path(p.folder);
    if (!fs::create_directory(folder, ec))
      return Fail(folder.u8string() + ": cannot create the folder (" +
                  (ec ? ec.message() : std::string("it exists already")) + ")");
    for (size_t j = 0; j < p.files.size(); ++j) {
      const std::string path = (folder / fs::u8path(p.files[j].name)).u8string();
      if (!WriteFileReplacing(path, contents[i][j].data(), contents[i][j].size(), true, false, &error))
        return Fail(error);
    }
    if (!quiet) {
      std::printf("%s/: %s\\%s\\%s\\%s:", p.folder.c_str(), p.architecture.c_str(),
                  p.languages.c_str(), p.productCode.c_str(), p.productName.c_str());
      for (const UnpackFile& f : p.files) std::printf(" %s", f.name.c_str());
      std::printf("\n");
    }
  }
  if (!quiet)
    std::printf("%s: %zu package(s) written to %s (%s)\n", setupPath.c_str(), plan.size(),
                outDir.c_str(), noVerify ? "NOT verified" : "every record verified");
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
  const SelectionContext context = {static_cast<uint32_t>(lcid), arch == "x64" ? 1u : 0u};
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
    if (!StatusOk(SelectPackage(&context, &selection))) {
      rc = Fail("no package fits locale " + std::to_string(lcid) + " (" + Hex32(lcid) + ") on " +
                arch + "; the stub would report an unsupported setup");
    } else {
      const char* pass = selection.pass == SELECTION_PASS_FALLBACK  ? "fallback to 1033"
                         : selection.pass == SELECTION_PASS_PRIMARY ? "primary language match"
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
  if (command == "build") return Build(argc, argv, false);
  if (command == "make") return Build(argc, argv, true);
  if (command == "extract") return Extract(argc, argv);
  if (command == "attach") return Attach(argc, argv);
  if (command == "inspect") return Inspect(argc, argv);
  if (command == "verify") return Verify(argc, argv);
  if (command == "select") return Select(argc, argv);
  return Usage(nullptr, "unknown command '" + command + "'");
}
