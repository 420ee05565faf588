// msistub-pack make and build: a signed container from MSIs and cabinets, written alone or
// attached to a stub (see commands.h). Everything that can be checked is checked before the
// first byte is compressed: the options, the output paths, the files, the bundle, the key
// against the stub, the stub's payload.
#include <cstdio>
#include <string>
#include <vector>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "pack/basestub.h"
#include "pack/bundle.h"
#include "pack/cabcheck.h"
#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/coverage.h"
#include "pack/describe.h"
#include "pack/inputs.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/msiinfo.h"
#include "pack/setup.h"
#include "pack/setupout.h"
#include "pack/text.h"
#include "pack/writer.h"

namespace {
// The options make and build share, declared once.
const Option kKeyOption = {"--key", "PRIVATE.pem", "the private payload key (PREFIX.private.pem from keygen)"};
const Option kPrivateKeyOption = {"--private-key", "PRIVATE.pem", "the same as --key"};
const Option kPublicKeyOption = {"--public-key", "PUBLIC",
                                 "refuse to pack unless the private key belongs to this public key\n"
                                 "(the one the stub was built with; PEM or .blob)"};
const Option kStubOption = {"--stub", "STUB.exe", "the stub to attach the container to"};
const Option kOutOption = {"--out", "SETUP.exe", "the setup to write"};
const Option kModeOption = {
    "--mode", "MODE",
    "cert-table (default) or extension: STUB.exe must be signed already and its signature\n"
    "stays valid (a signature above 64 MiB with the extension containers is a warning: the\n"
    "stub's decoder refuses it, 0x80093104); append: STUB.exe must be unsigned and SETUP.exe\n"
    "stays unsigned (signing it afterwards hides the payload from the stub: for a signed\n"
    "setup, sign the bare stub and use cert-table or extension)"};
const Option kArchOption = {"--arch", "x64|Intel",
                            "override the MSIs' platform; x64 offers a 32-bit (Intel) MSI to 64-bit\n"
                            "Windows (an x64 MSI cannot become Intel)"};
const Option kLanguagesOption = {"--languages", "LCIDS",
                                 "override the MSIs' languages: 1033;1031 or 1033,1031"};
const Option kNameOption = {"--name", "NAME", "override the MSIs' ProductName"};
const Option kCodeOption = {"--code", "CODE", "override the product code (one MSI only; a GUID in braces)"};
const Option kPackageOption = {"--package", "ARCH:LANGS:CODE:NAME:MSI",
                               "an MSI package given explicitly: architecture (x64 or Intel),\n"
                               "languages (LCIDs separated by ';'), product code, product name\n"
                               "(no ':' here; use --config for that) and the MSI path"};
const Option kCabOption = {"--cab", "CAB:IDS",
                           "a cabinet file and the ids of the packages that use it (1000;1001);\n"
                           "written under its own file name"};
const Option kConfigOption = {"--config", "SETUP.json",
                              "packages and cabinets from a JSON file: {\"packages\": [{\"arch\",\n"
                              "\"languages\", \"productCode\", \"productName\", \"msi\"}], \"cabinets\":\n"
                              "[{\"path\", \"packages\", \"name\"}]}"};
const Option kReplaceOption = {"--replace", nullptr,
                               "STUB.exe may carry a payload already: every old container is removed\n"
                               "(without it such a stub is refused: it would find the old packages)"};
const Option kAllowDevelopmentOption = {"--allow-development-key", nullptr,
                                        "accept a stub built with the generated development key (for\n"
                                        "test setups; a release stub is built with -DMSISTUB_PUBLIC_KEY)"};
const Option kRequireFallbackOption = {"--require-fallback", nullptr,
                                       "refuse a bundle that leaves some users' language without a\n"
                                       "package (no exact, primary-language or 1033 match); without\n"
                                       "it, a warning"};
const Option kLevelOption = {"--level", "N",
                             "compression level, 0 (stored) to 12 (smallest, slowest); default 8\n"
                             "(level 9 takes half as long again for about the same size)"};
const Option kJobsOption = {"--jobs", "N",
                            "compress on N threads (default: one per core); the result is the\n"
                            "same whatever N"};
const Option kSegmentSizeOption = {
    "--segment-size", "SIZE",
    "decoded bytes per independently compressed segment of a file: 1M, 2M, 4M or 8M\n"
    "(or the bytes in decimal); default 1M. Larger segments compress a little better,\n"
    "and the stub holds a few segments per decoding thread in memory"};
const Option kDepfileOption = {"--depfile", "FILE",
                               "write a Make-style dependency file: the result and every file it is\n"
                               "made from, the cabinets the MSIs name included (for build systems)"};
const Option kJsonOption = {"--json", nullptr,
                            "print one JSON object on stdout: schema, command, notes, entries,\n"
                            "containerBytes, coverage, and container (--container) or out, size,\n"
                            "containers, mode, replaced (a setup)"};

const CommandLine kMake = {
    "make", "--stub STUB.exe --key PRIVATE.pem --out SETUP.exe [options]\n"
            "           MSI...",
    "Reads each MSI's ProductCode, ProductName and ProductLanguage (Property table), its\n"
    "platform and languages (summary information Template, e.g. \"x64;1033,1031\") and its\n"
    "external cabinets (Media table; they must lie next to the MSI, embedded ones travel\n"
    "inside it), signs every record with PRIVATE.pem and writes SETUP.exe.\n",
    {kStubOption, kKeyOption, kPrivateKeyOption, kOutOption, kModeOption, kPublicKeyOption, kArchOption,
     kLanguagesOption, kNameOption, kCodeOption, kPackageOption, kCabOption, kConfigOption, kReplaceOption,
     kAllowDevelopmentOption, kRequireFallbackOption, kLevelOption, kJobsOption, kSegmentSizeOption, kDepfileOption,
     kJsonOption},
    "Before compressing anything: the key must be the one STUB.exe trusts (its fingerprint\n"
    "resource), the output must not be any input and its folder must exist, every MSI and\n"
    "cabinet must be what it says (file headers, sizes), every cabinet must hold the files\n"
    "its MSI places in it (File rows in its Media row's sequence range), and the stub must be\n"
    "able to choose every package (an x64 package at least; none hidden behind an earlier\n"
    "one). Which users' languages get which package is reported (-v lists it); languages left\n"
    "without one are a warning. The explicit --package/--cab/--config forms come first.\n"
    "Same inputs and key give the same SETUP.exe, byte for byte.\n"};

const CommandLine kBuild = {
    "build", "--key PRIVATE.pem (MSI | --package ... | --config ...)...\n"
             "           [--cab CAB:IDS]... (--container OUT | --stub STUB.exe --out SETUP.exe)\n"
             "           [options]",
    "Builds a signed container from MSIs and cabinets, written alone (--container) or attached\n"
    "to a stub. Packages get entry ids 1000, 1001, ... in order, cabinets the ids after them.\n"
    "An MSI file given as such is read as by 'make' (its facts and its cabinets); the explicit\n"
    "forms say what goes where, checked against the MSI where libmsi can read it.\n",
    {kKeyOption, kPrivateKeyOption, kPublicKeyOption, kPackageOption, kCabOption, kConfigOption,
     {"--container", "OUT", "write the container to this file"}, kStubOption, kOutOption, kModeOption,
     kArchOption, kLanguagesOption, kNameOption, kCodeOption, kReplaceOption, kAllowDevelopmentOption,
     kRequireFallbackOption, kLevelOption, kJobsOption, kSegmentSizeOption, kDepfileOption,
     kJsonOption},
    "The checks are those of 'make' (see 'msistub-pack make --help').\n"};

// What make and build were told.
struct BuildOptions {
  const char* command;  // "make" or "build"
  bool make;
  std::string keyPath, publicPath, config, containerPath, stubPath, outPath, mode, depfile;
  MsiOverrides overrides;
  uint32_t level = DEFAULT_COMPRESSION_LEVEL;
  uint32_t jobs = 0;  // 0: one per core
  uint32_t segmentSize = DEFAULT_SEGMENT_SIZE;
  bool json, quiet, verbose, replace, allowDevelopment, requireFallback;
  std::vector<std::string> packages, cabinets, msis;  // --package, --cab, MSI files
};

// A segment size: decimal bytes, or a number of KiB or MiB with the suffix K or M.
bool ParseSegmentSize(const std::string& text, uint32_t* size) {
  std::string digits = text;
  uint32_t unit = 1;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) unit = 1u << 10;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) unit = 1u << 20;
  if (unit != 1) digits.pop_back();
  uint32_t n = 0;
  if (!ParseUnsigned32(digits, &n) || n > SEGMENT_SIZE_MAX / unit || !ValidSegmentSize(uint64_t{n} * unit))
    return false;
  *size = n * unit;
  return true;
}

// Reads the options; the command ends (help, usage error) unless it returns CONTINUE.
int ParseBuildArgs(int argc, char** argv, BuildOptions* o) {
  Args args;
  std::string error, level, jobs, segmentSize;
  const CommandLine& line = o->make ? kMake : kBuild;
  if (!ParseCommand(argc, argv, line, &args, &error)) return Usage(o->command, error);
  if (args.help) return std::fputs(CommandHelp(line).c_str(), stdout), 0;
  if (!OneKey(args, "--private-key", &o->keyPath, &error) ||
      !One(args, "--public-key", &o->publicPath, &error) ||
      !One(args, "--depfile", &o->depfile, &error) || !One(args, "--config", &o->config, &error) ||
      !One(args, "--container", &o->containerPath, &error) ||
      !One(args, "--stub", &o->stubPath, &error) || !One(args, "--out", &o->outPath, &error) ||
      !One(args, "--mode", &o->mode, &error) ||
      !One(args, "--arch", &o->overrides.architecture, &error) ||
      !One(args, "--languages", &o->overrides.languages, &error) ||
      !One(args, "--name", &o->overrides.productName, &error) ||
      !One(args, "--code", &o->overrides.productCode, &error) || !One(args, "--level", &level, &error) ||
      !One(args, "--jobs", &jobs, &error) || !One(args, "--segment-size", &segmentSize, &error))
    return Usage(o->command, error);
  if (!jobs.empty() && (!ParseUnsigned32(jobs, &o->jobs) || o->jobs == 0 || o->jobs > 64))
    return Usage(o->command, "--jobs takes a number of threads from 1 to 64 (default: one per core)");
  if (!segmentSize.empty() && !ParseSegmentSize(segmentSize, &o->segmentSize))
    return Usage(o->command, "--segment-size " + segmentSize + ": a power of two from 1M to 8M "
                 "(1M, 2M, 4M, 8M, or the bytes: 1048576 to 8388608)");
  if (!level.empty() && (!ParseUnsigned32(level, &o->level) || o->level > MAX_COMPRESSION_LEVEL))
    return Usage(o->command, "--level takes a compression level from 0 to " +
                                 std::to_string(MAX_COMPRESSION_LEVEL) + " (default " +
                                 std::to_string(DEFAULT_COMPRESSION_LEVEL) + ")");
  o->json = Has(args, "--json");
  o->quiet = Has(args, "--quiet") || o->json;
  o->verbose = Has(args, "--verbose");
  o->replace = Has(args, "--replace");
  o->allowDevelopment = Has(args, "--allow-development-key");
  o->requireFallback = Has(args, "--require-fallback");
  o->packages = All(args, "--package");
  o->cabinets = All(args, "--cab");
  o->msis = args.positional;
  return CONTINUE;
}

// Options that contradict each other or lack their partners.
int CheckBuildOptions(BuildOptions* o) {
  const char* command = o->command;
  const MsiOverrides& overrides = o->overrides;
  if (o->keyPath.empty()) return Usage(command, "--key PRIVATE.pem (or --private-key) is required");
  if (o->make && (o->stubPath.empty() || o->outPath.empty()))
    return Usage(command, "--stub STUB.exe and --out SETUP.exe are required");
  if (o->containerPath.empty() && o->stubPath.empty())
    return Usage(command, "say where the result goes: --container OUT or --stub STUB.exe --out SETUP.exe");
  if (!o->stubPath.empty() && o->outPath.empty()) return Usage(command, "--stub needs --out SETUP.exe");
  if (o->stubPath.empty() && (!o->outPath.empty() || !o->mode.empty() || o->replace || o->allowDevelopment))
    return Usage(command, "--out, --mode, --replace and --allow-development-key go with --stub");
  if (o->mode.empty()) o->mode = "cert-table";
  if (!ValidMode(o->mode))
    return Usage(command, "unknown mode " + o->mode + " (cert-table, extension, append)");
  if (!overrides.productCode.empty() && o->msis.size() > 1)
    return Usage(command, "--code names one product; give one MSI with it (or use --package)");
  if (!overrides.productCode.empty() && !IsBracedGuid(overrides.productCode))
    return Usage(command, "--code " + overrides.productCode + ": a product code is a GUID in braces, "
                 "for example {12345678-9ABC-DEF0-1234-56789ABCDEF0}");
  const bool overriding = !overrides.architecture.empty() || !overrides.languages.empty() ||
                          !overrides.productName.empty() || !overrides.productCode.empty();
  if (overriding && o->msis.empty())
    return Usage(command, "--arch, --languages, --name and --code override what MSI files say; give the MSI files");
  if (!overrides.architecture.empty() && overrides.architecture != "x64" &&
      overrides.architecture != "Intel")
    return Usage(command, "--arch is x64 or Intel");
  for (char& c : o->overrides.languages)
    if (c == ',') c = ';';
  return CONTINUE;
}

// The setup: the description file first, then --package and --cab, then the MSI files.
// `notes` receives what is always reported.
int CollectSetup(const BuildOptions& o, SetupSpec* setup, std::vector<std::string>* notes) {
  std::string error;
  if (!o.config.empty() && !LoadSetupConfig(o.config, setup, &error)) return Fail(error);
  for (const std::string& p : o.packages) {
    PackageSpec package;
    if (!ParsePackageArgument(p, &package, &error)) return Usage(o.command, error);
    setup->packages.push_back(package);
  }
  for (const std::string& c : o.cabinets) {
    CabinetSpec cabinet;
    if (!ParseCabinetArgument(c, &cabinet, &error)) return Usage(o.command, error);
    setup->cabinets.push_back(cabinet);
  }
  for (const std::string& msi : o.msis) {
    std::vector<std::string> details;
    if (!AddMsiPackage(msi, o.overrides, setup, &details, notes, &error)) return Fail(error);
    if (o.verbose)
      for (const std::string& n : details) std::fprintf(stderr, "%s\n", n.c_str());
  }
  if (setup->packages.empty())
    return Usage(o.command, "no package given: name the MSI files (or use --package/--config)");
  if (!FinishSetup(setup, &error)) return Fail(error);
  setup->compressionLevel = static_cast<int>(o.level);
  setup->threads = o.jobs;
  setup->segmentSize = o.segmentSize;
  return CONTINUE;
}

// Outputs: never one of the inputs, in a folder that exists and can be written. `inputs`
// receives every file the result is made from, the outputs after them.
int CheckOutputs(const BuildOptions& o, const SetupSpec& setup, std::vector<NamedInput>* inputs) {
  std::string error;
  *inputs = {{o.keyPath, "the private key"}, {o.publicPath, "the public key"},
             {o.stubPath, "the stub"}, {o.config, "the setup description"}};
  for (const PackageSpec& p : setup.packages) inputs->push_back({p.msiPath, "an MSI package"});
  for (const CabinetSpec& c : setup.cabinets) inputs->push_back({c.path, "a cabinet"});
  if (!o.containerPath.empty() && !CheckOutputFile(o.containerPath, "the container", *inputs, &error))
    return Fail(error);
  if (!o.containerPath.empty()) inputs->push_back({o.containerPath, "the container output"});
  if (!o.outPath.empty() && !CheckOutputFile(o.outPath, "the setup", *inputs, &error))
    return Fail(error);
  if (!o.outPath.empty()) inputs->push_back({o.outPath, "the setup output"});
  if (!o.depfile.empty() && !CheckOutputFile(o.depfile, "the dependency file", *inputs, &error))
    return Fail(error);
  return CONTINUE;
}

// Which users' languages get which package: lines for --verbose, the warning among the
// notes (an error with --require-fallback).
int ReportCoverage(const BuildOptions& o, const SetupSpec& setup, std::vector<std::string>* notes,
                   Coverage* coverage) {
  std::vector<CoveragePackage> packages;
  for (const PackageSpec& p : setup.packages)
    packages.push_back({0, p.id, p.architecture + "\\" + p.languages + "\\" + p.productCode +
                                     "\\" + p.productName});
  *coverage = ComputeCoverage(packages);
  const std::string warning = CoverageWarning(*coverage);
  if (!warning.empty() && o.requireFallback)
    return Fail(warning + " (refused: --require-fallback)");
  for (const std::string& line : CoverageLines(*coverage))
    if (o.verbose || line.compare(0, 8, "warning:") == 0) notes->push_back(line);
  return CONTINUE;
}

// The files, the bundle and the keys; the stub read and checked against the key.
int CheckInputs(const BuildOptions& o, const SetupSpec& setup, KeyHolder* key, BaseStub* stub,
                std::vector<std::string>* notes, Coverage* coverage) {
  std::string error;
  if (!CheckSetupFiles(setup, &error) || !CheckBundle(setup, !o.stubPath.empty(), notes, &error) ||
      !CheckMediaCabinets(setup, &error) || !CheckSetupCabinetContents(setup, &error))
    return Fail(error);
  const int rc = ReportCoverage(o, setup, notes, coverage);
  if (rc != CONTINUE) return rc;
  KeyHolder expected;
  if (!(key->key = LoadPrivateKey(o.keyPath, &error))) return Fail(error);
  if (!o.publicPath.empty()) {
    if (!(expected.key = LoadPublicKey(o.publicPath, &error))) return Fail(error);
    if (!KeysMatch(key->key, expected.key))
      return Fail(o.keyPath + " does not belong to the public key " + o.publicPath +
                  ": the stub would reject every record; use the matching private key");
  }
  if (!o.stubPath.empty() &&
      (!ReadBaseStub(o.stubPath, o.mode, stub, &error) ||
       !CheckBaseStub(*stub, o.stubPath, o.mode, key->key, o.keyPath, o.allowDevelopment,
                      o.replace ? ExistingPayload::REPLACE : ExistingPayload::REFUSE, &error)))
    return Fail(error);
  if (!o.quiet)
    for (const std::string& n : *notes) std::fprintf(stderr, "%s\n", n.c_str());
  return CONTINUE;
}

// Progress of the compression on stderr, by bytes of the total: a bar redrawn in place when
// stderr is a terminal, otherwise a line at every tenth; nothing with --quiet.
struct Progress {
  bool quiet = false;
  bool terminal = false;
  int lastPercent = -1;
  int lastTenth = 0;
};

void Advanced(uint64_t done, uint64_t total, void* context) {
  Progress* p = static_cast<Progress*>(context);
  if (p->quiet) return;
  const int percent = total ? static_cast<int>(done * 100 / total) : 100;
  if (p->terminal) {
    if (percent == p->lastPercent) return;
    p->lastPercent = percent;
    char bar[31];
    const int filled = percent * 30 / 100;
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
    bar[30] = 0;
    std::fprintf(stderr, "\r[%s] %3d%% %.1f of %.1f MiB", bar, percent, done / 1048576.0,
                 total / 1048576.0);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
    return;
  }
  const int tenth = percent / 10;
  if (tenth <= p->lastTenth) return;
  p->lastTenth = tenth;
  std::fprintf(stderr, "compressing: %d%% (%.1f of %.1f MiB)\n", tenth * 10, done / 1048576.0,
               total / 1048576.0);
}

bool IsTerminal(FILE* f) {
#ifdef _WIN32
  return _isatty(_fileno(f)) != 0;
#else
  return isatty(fileno(f)) != 0;
#endif
}

// Compresses and signs every file, with the progress display on stderr. The compressed
// records wait in a temporary file next to the output.
int Compress(const BuildOptions& o, const SetupSpec& setup, EVP_PKEY* key, const BaseStub& stub,
             ContainerParts* container, std::vector<ManifestEntry>* entries) {
  Progress progress;
  progress.quiet = o.quiet;
  progress.terminal = IsTerminal(stderr);
  if (!o.quiet && !progress.terminal)
    std::fprintf(stderr, "compressing %zu files at level %u in segments of %u MiB\n",
                 setup.packages.size() + setup.cabinets.size(), o.level, o.segmentSize >> 20);
  std::string error;
  const PackProgress hook{Advanced, &progress};
  const uint64_t room = 0xFFFFFFFFull - stub.image.size();
  const std::string scratchNear = o.outPath.empty() ? o.containerPath : o.outPath;
  const bool built = BuildContainerParts(setup, key, scratchNear, container, &error, &hook, entries, room);
  if (progress.terminal && progress.lastPercent >= 0 && progress.lastPercent < 100 && !o.quiet)
    std::fputc('\n', stderr);  // the bar stopped short: the error goes on a line of its own
  return built ? CONTINUE : Fail(error);
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

// Make syntax: the result, then every file it was made from (MSIs, the cabinets their Media
// tables name, stub, keys, description), so a build system re-packs when any changes.
int WriteDepfile(const BuildOptions& o, const std::vector<NamedInput>& inputs) {
  const std::string target = o.outPath.empty() ? o.containerPath : o.outPath;
  std::string text = DepfilePath(target) + ":";
  for (const NamedInput& input : inputs)
    if (!input.path.empty() && input.path != o.outPath && input.path != o.containerPath)
      text += " \\\n  " + DepfilePath(input.path);
  text += "\n";
  std::string error;
  if (!WriteFileReplacing(o.depfile, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                          false, false, &error))
    return Fail(error);
  return CONTINUE;
}

// The start of the --json document, or the entries as lines.
void ReportEntries(const BuildOptions& o, const std::vector<std::string>& notes,
                   const std::vector<ManifestEntry>& entries, uint64_t containerBytes,
                   const Coverage& coverage, JsonWriter* json) {
  if (o.json) {
    BeginJsonDocument(json);
    JsonField(json, "command");
    JsonString(json, o.command);
    JsonField(json, "notes");
    JsonArray(json);
    for (const std::string& n : notes) JsonString(json, n);
    JsonEnd(json);
    JsonField(json, "entries");
    JsonArray(json);
    for (const ManifestEntry& e : entries) WriteManifestEntry(json, e.id, e.text);
    JsonEnd(json);
    JsonField(json, "containerBytes");
    JsonNumber(json, containerBytes);
    WriteCoverage(json, coverage);
  } else if (!o.quiet) {
    for (const ManifestEntry& e : entries) std::printf("entry %u: %s\n", e.id, Printable(e.text).c_str());
  }
}

// Writes the container, the setup and the dependency file that were asked for.
int WriteResults(const BuildOptions& o, const ContainerParts& container, BaseStub* stub,
                 const std::vector<NamedInput>& inputs, JsonWriter* json) {
  std::string error;
  if (!o.containerPath.empty()) {
    if (!WriteContainerFile(o.containerPath, container, &error)) return Fail(error);
    if (o.json) {
      JsonField(json, "container");
      JsonString(json, o.containerPath);
    } else if (!o.quiet) {
      std::printf("%s: container of %llu bytes\n", o.containerPath.c_str(),
                  static_cast<unsigned long long>(container.size()));
    }
  }
  if (!o.stubPath.empty()) {
    const int rc = WriteAttachedParts(o.mode, stub, o.stubPath, o.outPath, container, o.replace,
                                      o.quiet, o.json ? json : nullptr);
    if (rc != 0) return rc;
  }
  if (!o.depfile.empty()) return WriteDepfile(o, inputs);
  return CONTINUE;
}

int MakeOrBuild(int argc, char** argv, bool make) {
  BuildOptions o;
  o.make = make;
  o.command = make ? "make" : "build";
  int rc = ParseBuildArgs(argc, argv, &o);
  if (rc == CONTINUE) rc = CheckBuildOptions(&o);
  SetupSpec setup;
  std::vector<std::string> notes;
  if (rc == CONTINUE) rc = CollectSetup(o, &setup, &notes);
  std::vector<NamedInput> inputs;
  if (rc == CONTINUE) rc = CheckOutputs(o, setup, &inputs);
  KeyHolder key;
  BaseStub stub;
  Coverage coverage;
  if (rc == CONTINUE) rc = CheckInputs(o, setup, &key, &stub, &notes, &coverage);
  ContainerParts container;
  std::vector<ManifestEntry> entries;
  if (rc == CONTINUE) rc = Compress(o, setup, key.key, stub, &container, &entries);
  if (rc != CONTINUE) return rc;
  JsonWriter json;
  ReportEntries(o, notes, entries, container.size(), coverage, &json);
  rc = WriteResults(o, container, &stub, inputs, &json);
  if (rc != CONTINUE) return rc;
  if (o.json) {
    JsonEnd(&json);
    std::printf("%s\n", json.text.c_str());
  }
  return 0;
}
}  // namespace

int RunMake(int argc, char** argv) { return MakeOrBuild(argc, argv, true); }
int RunBuild(int argc, char** argv) { return MakeOrBuild(argc, argv, false); }
