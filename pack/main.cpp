// msistub-pack: makes payload keys, builds signed payload containers, attaches them to a stub,
// and inspects, verifies and tries setups. Exit codes: 0 success, 1 failure, 2 usage error.
// Messages go to stderr ("msistub-pack: error: ..."); listings and JSON to stdout.
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
#include "pack/basestub.h"
#include "pack/bundle.h"
#include "pack/describe.h"
#include "pack/fingerprint.h"
#include "pack/json.h"
#include "pack/outdir.h"
#include "pack/inputs.h"
#include "pack/payloads.h"
#include "pack/fileio.h"
#include "pack/keys.h"
#include "pack/reader.h"
#include "pack/msiinfo.h"
#include "pack/setup.h"
#include "pack/unpack.h"
#include "pack/writer.h"
#include "pack/text.h"
#include "manifest/select.h"
#include "payload/container.h"
#include "payload/sources.h"

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
    "'msistub-pack <command> --help' describes a command's options; 'msistub-pack --version'\n"
    "prints the version. Short forms: -o (--out), -k (--key), -q (--quiet), -v (--verbose).\n"
    "--json (inspect, verify, select, make, build, attach, extract) prints one JSON object with\n"
    "a \"schema\" number on stdout instead of the text.\n"
    "\n"
    "exit codes: 0 success; 1 failure (the message on stderr says what went wrong and what to\n"
    "do; no file is left half-written, no input is changed); 2 usage error (unknown option,\n"
    "missing or contradicting ones).\n";

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
    "           [--replace] [--allow-development-key] [--quiet | --verbose] [--json]\n"
    "           [--level N] [--depfile FILE]\n"
    "\n"
    "Reads each MSI's ProductCode, ProductName and ProductLanguage (Property table), its\n"
    "platform and languages (summary information Template, e.g. \"x64;1033,1031\") and its\n"
    "external cabinets (Media table; they must lie next to the MSI, embedded ones travel\n"
    "inside it), signs every record with PRIVATE.pem and writes SETUP.exe.\n"
    "  --mode        cert-table (default) or extension: STUB.exe must be signed already and\n"
    "                its signature stays valid; append: STUB.exe must be unsigned; sign\n"
    "                SETUP.exe afterwards\n"
    "  --arch, --languages, --name   override the MSI's facts (for every MSI given);\n"
    "                --languages takes 1033;1031 or 1033,1031; --arch x64 offers a 32-bit\n"
    "                (Intel) MSI to 64-bit Windows (an x64 MSI cannot become Intel)\n"
    "  --code        override the product code (one MSI only; a GUID in braces)\n"
    "  --replace     STUB.exe may carry a payload already: every old container is removed\n"
    "                (without it such a stub is refused: the stub would find the old packages)\n"
    "  --allow-development-key   accept a stub built with the generated development key\n"
    "                (for test setups; a release stub is built with -DMSISTUB_PUBLIC_KEY)\n"
    "  -q, --quiet   print nothing but errors; -v, --verbose also names the cabinets found\n"
    "  --level       compression level, 0 (stored) to 12 (smallest, slowest); default 9.\n"
    "                The files are compressed in parallel, one per core\n"
    "  --depfile FILE  write a Make-style dependency file: SETUP.exe and every file it is\n"
    "                made from, the cabinets the MSIs name included (for build systems)\n"
    "Before compressing anything: the key must be the one STUB.exe trusts (its fingerprint\n"
    "resource), the output must not be any input and its folder must exist, every MSI and\n"
    "cabinet must be what it says (file headers, sizes), and the stub must be able to choose\n"
    "every package (an x64 package at least; none hidden behind an earlier one).\n"
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
    "             (see 'msistub-pack attach --help'; default mode cert-table); --replace and\n"
    "             --allow-development-key as for make\n"
    "  --level    compression level, 0 (stored) to 12 (smallest, slowest); default 9\n";

const char kAttachHelp[] =
    "usage: msistub-pack attach --stub STUB.exe --container FILE [--container FILE]...\n"
    "           --out SETUP.exe [--mode cert-table|extension|append] [--key PUBLIC]\n"
    "           [--one-certificate] [--critical] [--replace | --add]\n"
    "           [--allow-development-key] [--quiet] [--json]\n"
    "\n"
    "  cert-table  (default) behind the PKCS#7 signature in the certificate table of a signed\n"
    "              stub; the signature stays valid. One container.\n"
    "  extension   each container as a certificate extension of an extra self-signed\n"
    "              certificate in the signature (--one-certificate: all in one certificate);\n"
    "              the signature stays valid. One or more containers.\n"
    "  append      behind the last byte of an unsigned stub. One container.\n"
    "  --key       check every container's records against this public key first, and that\n"
    "              it is the key STUB.exe trusts (required when STUB.exe names its key)\n"
    "  --critical  mark the extensions critical (the stub passes them over; for tests)\n"
    "  --replace   remove every container STUB.exe carries first (any mode)\n"
    "  --add       keep the containers STUB.exe carries and add these with --mode extension\n"
    "              (a setup with several sources); without --replace or --add such a stub\n"
    "              is refused\n"
    "  --allow-development-key   accept a stub built with the development key\n"
    "SETUP.exe must not be STUB.exe or a container: inputs are never overwritten.\n";

const char kInspectHelp[] =
    "usage: msistub-pack inspect [--key PUBLIC] [--json] FILE\n"
    "\n"
    "Shows the payload key the stub trusts (its fingerprint, the SHA-256 of the public key\n"
    "blob, and whether it is a development key), whether the file would pass Windows'\n"
    "certificate padding check (cert-table mode cannot; extension mode can), then the payload\n"
    "sources as the stub finds them (certificate extensions, else the whole file), each\n"
    "source's records (type, id, stored size, signature size) and its manifest entries.\n"
    "--key shows a manifest only when its signature verifies with PUBLIC. Control characters\n"
    "from the file are shown as \\xNN. --json prints one JSON object instead (schema, stubKey,\n"
    "paddingCheck, sources, records, packages, cabinets).\n";

const char kVerifyHelp[] =
    "usage: msistub-pack verify --key PUBLIC [--json] FILE\n"
    "\n"
    "Inflates every record of every source and checks its signature with PUBLIC (PEM or\n"
    "276-byte .blob), and each file against the SHA-256 its manifest entry names. Reports\n"
    "each record that would fail and why; exit 1 if any does.\n"
    "Also shows the stub's key fingerprint and the certificate padding check (see inspect).\n"
    "--json prints {\"schema\", \"file\", \"sources\", \"records\", \"verified\", \"problems\",\n"
    "\"stubKey\", \"paddingCheck\"} on stdout.\n";

const char kExtractHelp[] =
    "usage: msistub-pack extract (--key PUBLIC | --no-verify) --out OUTDIR [--quiet] [--json]\n"
    "           SETUP\n"
    "\n"
    "Writes every package of SETUP under OUTDIR without running anything:\n"
    "  OUTDIR/<product code>/main.msi   the MSI (the stub always calls it main.msi; the\n"
    "                                   original file name is not stored)\n"
    "  OUTDIR/<product code>/<cabinet>  its cabinets under their manifest names\n"
    "Packages that share a product code go to <code>-<arch>-<languages>. Every record is\n"
    "checked against PUBLIC first; nothing is written unless all verify. --no-verify skips\n"
    "the check (with a warning); with a key, no manifest is read before its signature\n"
    "verifies. OUTDIR must be new (its parent must exist) or an empty folder of your own\n"
    "that only you can write (not a link); files are created without following links.\n"
    "Names from the setup that are not plain file names are refused, so nothing is written\n"
    "outside OUTDIR.\n";

const char kSelectHelp[] =
    "usage: msistub-pack select --lcid N [--arch x64|Intel] [--key PUBLIC] [--json] FILE\n"
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
  std::fprintf(stderr, "msistub-pack: error: %s\nTry 'msistub-pack %s--help'.\n", message.c_str(),
               command ? (std::string(command) + " ").c_str() : "");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "msistub-pack: error: %s\n", message.c_str());
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
    // The common options have short forms.
    static const char* const kShort[][2] = {
        {"-o", "--out"}, {"-k", "--key"}, {"-q", "--quiet"}, {"-v", "--verbose"}};
    for (const auto& s : kShort)
      if (a == s[0]) a = s[1];
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

// The version of every JSON object's layout; raised when a member changes meaning or goes.
const int kJsonSchema = 1;

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

// A path in a Make-style dependency file: blanks, '#' and '$' escaped.
std::string DepfilePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
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

// Attaches to the stub read before (old containers removed first with --replace) and writes
// the setup.
int WriteAttached(const std::string& mode, BaseStub* stub, const std::string& stubPath,
                  const std::string& outPath, const std::vector<Bytes>& containers,
                  const ExtensionOptions& ext, bool replace, bool quiet, std::string* jsonOut) {
  std::string error;
  if (replace && !RemoveCarriedPayloads(&stub->image, &error)) return Fail(stubPath + ": " + error);
  if (!AttachOne(mode, &stub->image, containers, ext, &error)) return Fail(stubPath + ": " + error);
  if (!WriteFileReplacing(outPath, stub->image.data(), stub->image.size(), false, false, &error))
    return Fail(error);
  if (jsonOut)
    *jsonOut = "\"out\": " + JsonText(outPath) + ", \"size\": " + std::to_string(stub->image.size()) +
               ", \"containers\": " + std::to_string(containers.size()) + ", \"mode\": " +
               JsonText(mode) + ", \"replaced\": " + (replace && !stub->payloads.empty() ? "true" : "false");
  else if (!quiet)
    std::printf("%s: %zu bytes, %zu container(s) attached (%s)\n", outPath.c_str(),
                stub->image.size(), containers.size(), mode.c_str());
  return 0;
}

// build and make: packages from MSI files (read with libmsi) and/or the explicit forms.
// Everything that can be checked is checked before the first byte is compressed: the
// output paths, the files, the bundle, the key against the stub, the stub's payload.
int Build(int argc, char** argv, bool make) {
  const char* command = make ? "make" : "build";
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2,
                 {"--key", "--public-key", "--package", "--cab", "--config", "--container",
                  "--stub", "--out", "--mode", "--arch", "--languages", "--name", "--code",
                  "--depfile", "--level"},
                 {"--quiet", "--verbose", "--replace", "--allow-development-key", "--json"}, &args,
                 &error))
    return Usage(command, error);
  if (args.help) return std::fputs(make ? kMakeHelp : kBuildHelp, stdout), 0;
  std::string keyPath, publicPath, config, containerPath, stubPath, outPath, mode, depfile, level;
  MsiOverrides overrides;
  if (!One(args, "--key", &keyPath, &error) || !One(args, "--public-key", &publicPath, &error) ||
      !One(args, "--depfile", &depfile, &error) ||
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
  const bool json = Has(args, "--json");
  if (Has(args, "--quiet") && Has(args, "--verbose"))
    return Usage(command, "--quiet and --verbose contradict each other; give one");
  progress.quiet = Has(args, "--quiet") || json;
  progress.verbose = Has(args, "--verbose");
  progress.terminal = IsTerminal(stderr);
  const bool replace = Has(args, "--replace");
  const bool allowDevelopment = Has(args, "--allow-development-key");
  if (keyPath.empty()) return Usage(command, "--key PRIVATE.pem is required");
  if (make && (stubPath.empty() || outPath.empty()))
    return Usage(command, "--stub STUB.exe and --out SETUP.exe are required");
  if (containerPath.empty() && stubPath.empty())
    return Usage(command, "say where the result goes: --container OUT or --stub STUB.exe --out SETUP.exe");
  if (!stubPath.empty() && outPath.empty()) return Usage(command, "--stub needs --out SETUP.exe");
  if (stubPath.empty() && (!outPath.empty() || !mode.empty() || replace || allowDevelopment))
    return Usage(command, "--out, --mode, --replace and --allow-development-key go with --stub");
  if (mode.empty()) mode = "cert-table";
  if (!ValidMode(mode)) return Usage(command, "unknown mode " + mode + " (cert-table, extension, append)");
  if (!overrides.productCode.empty() && args.positional.size() > 1)
    return Usage(command, "--code names one product; give one MSI with it (or use --package)");
  if (!overrides.productCode.empty() && !IsBracedGuid(overrides.productCode))
    return Usage(command, "--code " + overrides.productCode + ": a product code is a GUID in braces, "
                 "for example {12345678-9ABC-DEF0-1234-56789ABCDEF0}");
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

  // Outputs: never one of the inputs, in a folder that exists and can be written.
  std::vector<NamedInput> inputs{{keyPath, "the private key"}, {publicPath, "the public key"},
                                 {stubPath, "the stub"}, {config, "the setup description"}};
  for (const PackageSpec& p : setup.packages) inputs.push_back({p.msiPath, "an MSI package"});
  for (const CabinetSpec& c : setup.cabinets) inputs.push_back({c.path, "a cabinet"});
  if (!containerPath.empty() &&
      !CheckOutputFile(containerPath, "the container", inputs, &error))
    return Fail(error);
  if (!containerPath.empty()) inputs.push_back({containerPath, "the container output"});
  if (!outPath.empty() && !CheckOutputFile(outPath, "the setup", inputs, &error)) return Fail(error);
  if (!outPath.empty()) inputs.push_back({outPath, "the setup output"});
  if (!depfile.empty() && !CheckOutputFile(depfile, "the dependency file", inputs, &error))
    return Fail(error);

  std::vector<std::string> notes;
  if (!CheckSetupFiles(setup, &error) || !CheckBundle(setup, !stubPath.empty(), &notes, &error) ||
      !CheckMediaCabinets(setup, &error))
    return Fail(error);
  KeyHolder key, expected;
  if (!(key.key = LoadPrivateKey(keyPath, &error))) return Fail(error);
  if (!publicPath.empty()) {
    if (!(expected.key = LoadPublicKey(publicPath, &error))) return Fail(error);
    if (!KeysMatch(key.key, expected.key))
      return Fail(keyPath + " does not belong to the public key " + publicPath +
                  ": the stub would reject every record; use the matching private key");
  }
  BaseStub stub;
  if (!stubPath.empty() &&
      (!ReadBaseStub(stubPath, mode, &stub, &error) ||
       !CheckBaseStub(stub, stubPath, mode, key.key, keyPath, allowDevelopment,
                      replace ? ExistingPayload::REPLACE : ExistingPayload::REFUSE, &error)))
    return Fail(error);
  if (!progress.quiet)
    for (const std::string& n : notes) std::fprintf(stderr, "%s\n", n.c_str());

  Bytes container;
  const BuildProgress hook{FileStarted, &progress};
  SetCompressProgress(Compressed, &progress);
  std::vector<ManifestEntry> entries;
  const uint64_t room = 0xFFFFFFFFull - stub.image.size();
  const bool built = BuildContainer(setup, key.key, &container, &error, &hook, &entries, room);
  SetCompressProgress(nullptr, nullptr);
  if (!built) return Fail(error);
  std::string report;
  if (json) {
    for (const ManifestEntry& e : entries)
      report += (report.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(e.id) +
                ", \"text\": " + JsonText(e.text) + "}";
    std::string noteList;
    for (const std::string& n : notes) noteList += (noteList.empty() ? "" : ", ") + JsonText(n);
    report = "{\"schema\": " + std::to_string(kJsonSchema) + ", \"command\": \"" + command +
             "\", \"notes\": [" + noteList + "], \"entries\": [" + report +
             "], \"containerBytes\": " + std::to_string(container.size());
  } else if (!progress.quiet) {
    for (const ManifestEntry& e : entries)
      std::printf("entry %u: %s\n", e.id, Printable(e.text).c_str());
  }
  if (!containerPath.empty()) {
    if (!WriteFileReplacing(containerPath, container.data(), container.size(), false, false, &error))
      return Fail(error);
    if (json) report += ", \"container\": " + JsonText(containerPath);
    else if (!progress.quiet)
      std::printf("%s: container of %zu bytes\n", containerPath.c_str(), container.size());
  }
  int rc = 0;
  if (!stubPath.empty()) {
    std::string attached;
    rc = WriteAttached(mode, &stub, stubPath, outPath, {container}, ExtensionOptions(), replace,
                       progress.quiet, json ? &attached : nullptr);
    if (json && rc == 0) report += ", " + attached;
  }
  if (rc == 0 && !depfile.empty()) {
    // Make syntax: the result, then every file it was made from (MSIs, the cabinets their
    // Media tables name, stub, keys, description), so a build system re-packs when any changes.
    const std::string target = outPath.empty() ? containerPath : outPath;
    std::string text = DepfilePath(target) + ":";
    for (const NamedInput& input : inputs)
      if (!input.path.empty() && input.path != outPath && input.path != containerPath)
        text += " \\\n  " + DepfilePath(input.path);
    text += "\n";
    if (!WriteFileReplacing(depfile, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                            false, false, &error))
      return Fail(error);
  }
  if (json && rc == 0) std::printf("%s}\n", report.c_str());
  return rc;
}

int Attach(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, 2, {"--stub", "--out", "--container", "--mode", "--key"},
                 {"--one-certificate", "--critical", "--replace", "--add",
                  "--allow-development-key", "--quiet", "--json"},
                 &args, &error))
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
  const bool replace = Has(args, "--replace"), add = Has(args, "--add");
  if (replace && add) return Usage("attach", "--replace and --add contradict each other; give one");

  std::vector<NamedInput> inputs{{stubPath, "the stub"}, {keyPath, "the public key"}};
  for (const std::string& p : paths) inputs.push_back({p, "a container"});
  if (!CheckOutputFile(outPath, "the setup", inputs, &error)) return Fail(error);
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  BaseStub stub;
  if (!ReadBaseStub(stubPath, mode, &stub, &error) ||
      !CheckBaseStub(stub, stubPath, mode, key.key, keyPath, Has(args, "--allow-development-key"),
                     replace ? ExistingPayload::REPLACE
                             : add ? ExistingPayload::KEEP : ExistingPayload::REFUSE,
                     &error))
    return Fail(error);
  // A stub that names its key gets only containers checked against that key.
  if (!key.key && stub.key.found)
    return Fail(stubPath + ": the stub trusts the key with fingerprint " +
                FingerprintHex(stub.key.fingerprint) + "; give --key with its public half, so "
                "the containers are checked against it before they are attached");
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
  const bool json = Has(args, "--json");
  std::string report;
  const int rc = WriteAttached(mode, &stub, stubPath, outPath, containers, ext, replace,
                               Has(args, "--quiet"), json ? &report : nullptr);
  if (json && rc == 0)
    std::printf("{\"schema\": %d, \"command\": \"attach\", %s}\n", kJsonSchema, report.c_str());
  return rc;
}

int Inspect(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--key"}, {"--json"}, &args, &error)) return Usage("inspect", error);
  if (args.help) return std::fputs(kInspectHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error)) return Usage("inspect", error);
  if (args.positional.size() != 1) return Usage("inspect", "give exactly one FILE");
  const bool json = Has(args, "--json");
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  Bytes file;
  if (!ReadSetup(args.positional[0], &file, &error)) return Fail(error);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  if (!DiscoverSources(file, &sources, &notes, &error)) return Fail(args.positional[0] + ": " + error);
  const SetupFacts facts = DescribeSetup(file);
  std::string out;
  if (json) {
    out = "{\"schema\": " + std::to_string(kJsonSchema) + ", \"file\": " +
          JsonText(args.positional[0]) + ", \"size\": " + std::to_string(file.size()) + ", " +
          facts.jsonMembers + ", \"notes\": [";
    for (size_t i = 0; i < notes.size(); ++i) out += (i ? ", " : "") + JsonText(notes[i]);
    out += "], \"sources\": [";
  } else {
    for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
  }
  for (const std::string& n : notes)
    if (!json) std::printf("note: %s\n", Printable(n).c_str());
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
      // With a key, nothing is read from a manifest whose signature does not verify.
      if (key.key ? !ReadVerifiedRecord(s, true, MANIFEST_RECORD_ID, key.key, &manifest, &error)
                  : !DecodeRecord(s.data() + m.dataOffset, m.dataSize, &manifest, &error))
        problem = "manifest: " + error;
      else if (!ParseManifest(manifest, &entries, &error))
        problem = error;
    } else {
      problem = "no manifest: " + problem;
    }
    broken = broken || !problem.empty();
    if (!json) {
      std::printf("source %zu: %s, %u bytes\n", i, s.origin.c_str(), s.size());
      for (const std::string& k : skipped) std::printf("  note: %s\n", Printable(k).c_str());
      for (auto r = records.rbegin(); r != records.rend(); ++r)
        std::printf("  record %-8s id %-10u stored %10u bytes, signature %u bytes\n",
                    r->manifest ? "manifest" : "file", r->id, r->dataSize, r->signatureSize);
      if (ending.empty() && problem.compare(0, 9, "manifest:") != 0)
        std::printf("  manifest: %zu entries, %zu bytes\n", entries.size(), manifest.size());
      for (const ManifestText& e : entries) std::printf("    %u: %s\n", e.id, Printable(e.text).c_str());
      if (!problem.empty()) std::printf("  %s\n", Printable(problem).c_str());
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
                 Printable(p.source).c_str(), Printable(p.what).c_str());
  const std::string hint = problems.empty() ? "" : SignedAfterAppendHint(file, sources);
  if (!hint.empty()) std::fprintf(stderr, "msistub-pack: hint: %s\n", hint.c_str());
  const SetupFacts facts = DescribeSetup(file);
  if (Has(args, "--json")) {
    std::string list;
    for (const RecordProblem& p : problems)
      list += (list.empty() ? "" : ", ") + std::string("{\"source\": ") + JsonText(p.source) +
              ", \"problem\": " + JsonText(p.what) + "}";
    std::printf("{\"schema\": %d, \"file\": %s, \"sources\": %zu, \"records\": %u, \"verified\": %s, "
                "\"problems\": [%s], %s}\n",
                kJsonSchema, JsonText(args.positional[0]).c_str(), sources.size(), checked,
                problems.empty() ? "true" : "false", list.c_str(), facts.jsonMembers.c_str());
    return problems.empty() ? 0 : 1;
  }
  if (!problems.empty()) return 1;
  for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
  std::printf("%s: %zu source(s), %u record(s), all verified\n", args.positional[0].c_str(),
              sources.size(), checked);
  return 0;
}

int Extract(int argc, char** argv) {
  Args args;
  std::string error, keyPath, outDir;
  if (!ParseArgs(argc, argv, 2, {"--key", "--out"}, {"--no-verify", "--quiet", "--json"}, &args,
                 &error))
    return Usage("extract", error);
  if (args.help) return std::fputs(kExtractHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error) || !One(args, "--out", &outDir, &error))
    return Usage("extract", error);
  const bool noVerify = Has(args, "--no-verify");
  const bool json = Has(args, "--json");
  const bool quiet = Has(args, "--quiet") || json;
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
  // With a key, every manifest's signature is checked before anything is planned from it.
  for (const FoundSource& source : sources) {
    Bytes manifest;
    if (key.key && !ReadVerifiedRecord(source, true, MANIFEST_RECORD_ID, key.key, &manifest, &error))
      return Fail(setupPath + ": " + error);
  }
  std::vector<UnpackPackage> plan;
  if (!PlanUnpack(sources, &plan, &error)) {
    const std::string hint = SignedAfterAppendHint(file, sources);
    return Fail(setupPath + ": " + Printable(error) +
                (hint.empty() ? "" : "\nmsistub-pack: hint: " + hint));
  }
  if (noVerify)
    std::fprintf(stderr, "msistub-pack: warning: --no-verify: the records' signatures are NOT "
                         "checked; do not trust what is written\n");
  // Everything is read, inflated and verified before the first file is written.
  std::vector<std::vector<Bytes>> contents(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    for (const UnpackFile& f : plan[i].files) {
      contents[i].emplace_back();
      if (!ReadVerifiedRecord(sources[plan[i].source], false, f.id, key.key, &contents[i].back(),
                              &error, &f.digest))
        return Fail(setupPath + ": " + error);
    }
  }
  OutputFolder root;
  if (!OpenOutputFolder(outDir, &root, &error)) return Fail(error);
  std::string written;
  for (size_t i = 0; i < plan.size(); ++i) {
    const UnpackPackage& p = plan[i];
    OutputFolder folder;
    if (!MakeSubfolder(root, p.folder, &folder, &error)) return Fail(error);
    for (size_t j = 0; j < p.files.size(); ++j)
      if (!WriteNewFile(folder, p.files[j].name, contents[i][j].data(), contents[i][j].size(), &error))
        return Fail(error);
    if (json) {
      std::string names;
      for (const UnpackFile& f : p.files) names += (names.empty() ? "" : ", ") + JsonText(f.name);
      written += (written.empty() ? "" : ", ") + std::string("{\"folder\": ") + JsonText(p.folder) +
                 ", \"arch\": " + JsonText(p.architecture) + ", \"languages\": " +
                 JsonNumberList(p.languages) + ", \"productCode\": " + JsonText(p.productCode) +
                 ", \"productName\": " + JsonText(p.productName) + ", \"files\": [" + names + "]}";
    } else if (!quiet) {
      std::printf("%s/: %s\\%s\\%s\\%s:", Printable(p.folder).c_str(), Printable(p.architecture).c_str(),
                  Printable(p.languages).c_str(), Printable(p.productCode).c_str(),
                  Printable(p.productName).c_str());
      for (const UnpackFile& f : p.files) std::printf(" %s", Printable(f.name).c_str());
      std::printf("\n");
    }
  }
  if (json)
    std::printf("{\"schema\": %d, \"file\": %s, \"out\": %s, \"verified\": %s, \"packages\": [%s]}\n",
                kJsonSchema, JsonText(setupPath).c_str(), JsonText(outDir).c_str(),
                noVerify ? "false" : "true", written.c_str());
  else if (!quiet)
    std::printf("%s: %zu package(s) written to %s (%s)\n", setupPath.c_str(), plan.size(),
                outDir.c_str(), noVerify ? "NOT verified" : "every record verified");
  return 0;
}

int Select(int argc, char** argv) {
  Args args;
  std::string error, lcidText, arch, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--lcid", "--arch", "--key"}, {"--json"}, &args, &error))
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
    const Status selected = SelectPackage(&context, &selection);
    const bool chosen = StatusOk(selected);
    const char* pass = selection.pass == SELECTION_PASS_FALLBACK  ? "fallback to 1033"
                       : selection.pass == SELECTION_PASS_PRIMARY ? "primary language match"
                                                                  : "exact language match";
    if (Has(args, "--json")) {
      std::string choice = "null";
      if (chosen)
        choice = "{\"id\": " + std::to_string(selection.entryId) + ", \"source\": " +
                 std::to_string(selection.sourceIndex) + ", \"match\": " + JsonText(pass) +
                 ", \"arch\": " + JsonText(selection.architecture) + ", \"languages\": " +
                 JsonNumberList(selection.languages) + ", \"productCode\": " +
                 JsonText(selection.productCode) + ", \"productName\": " +
                 JsonText(selection.productName) + "}";
      std::printf("{\"schema\": %d, \"file\": %s, \"lcid\": %lu, \"arch\": %s, \"package\": %s}\n",
                  kJsonSchema, JsonText(args.positional[0]).c_str(), lcid, JsonText(arch).c_str(),
                  choice.c_str());
    }
    if (!chosen) {
      rc = Fail("no package fits locale " + std::to_string(lcid) + " (" + Hex32(lcid) + ") on " +
                arch + "; the stub would report an unsupported setup");
    } else if (!Has(args, "--json")) {
      std::printf("package %u in source %d (%s): %s\\%s\\%s\\%s\n", selection.entryId,
                  selection.sourceIndex, pass, Printable(selection.architecture).c_str(),
                  Printable(selection.languages).c_str(), Printable(selection.productCode).c_str(),
                  Printable(selection.productName).c_str());
    }
  }
  FreeSources();
  return rc;
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
  if (command == "--version") {
    std::printf("msistub-pack %s\n", MSISTUB_PACK_VERSION);
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
