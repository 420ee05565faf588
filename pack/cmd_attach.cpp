// msistub-pack attach: containers put into a stub executable (see commands.h).
#include <cstdio>
#include <string>
#include <vector>

#include "pack/attach.h"
#include "pack/basestub.h"
#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/fingerprint.h"
#include "pack/coverage.h"
#include "pack/inputs.h"
#include "pack/installcheck.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/reader.h"
#include "pack/setupout.h"
#include "pack/text.h"

namespace {
const CommandLine kAttach = {
    "attach", "--stub STUB.exe --container FILE [--container FILE]...\n"
              "           --out SETUP.exe [options]",
    "Puts containers made with 'build --container' into a stub. SETUP.exe must not be\n"
    "STUB.exe or a container: inputs are never overwritten. Before anything is written, the\n"
    "setup is checked as verify checks it: a package for x64, every cabinet holding the files\n"
    "its MSI places in it; languages left without a package are a warning.\n",
    {{"--stub", "STUB.exe", "the stub (signed for cert-table and extension, unsigned for append)"},
     {"--container", "FILE", "a container; several with --mode extension"},
     {"--out", "SETUP.exe", "the setup to write"},
     {"--mode", "MODE", "cert-table (default): behind the PKCS#7 signature in the certificate\n"
                        "table of a signed stub; the signature stays valid. One container.\n"
                        "extension: each container as a certificate extension of an extra\n"
                        "self-signed certificate in the signature; the signature stays valid,\n"
                        "and the padding check passes. One or more containers; a signature above\n"
                        "64 MiB with them is a warning (the stub's decoder refuses it, 0x80093104).\n"
                        "append: behind the last byte of an unsigned stub; the setup must stay\n"
                        "unsigned (signing it hides the payload from the stub). One container"},
     {"--key", "PUBLIC", "check every container's records against this public key first, and that\n"
                         "it is the key STUB.exe trusts (required when STUB.exe names its key)"},
     {"--public-key", "PUBLIC", "the same as --key"},
     {"--one-certificate", nullptr, "with --mode extension: all containers in one certificate"},
     {"--critical", nullptr, "mark the extensions critical (the stub passes them over; for tests)"},
     {"--replace", nullptr, "remove every container STUB.exe carries first (any mode)"},
     {"--add", nullptr, "keep the containers STUB.exe carries and add these with --mode extension\n"
                        "(a setup with several sources); without --replace or --add such a stub\n"
                        "is refused"},
     {"--allow-development-key", nullptr, "accept a stub built with the development key"},
     {"--require-fallback", nullptr, "refuse a setup that leaves some users' language without a\n"
                                     "package (as for make); without it, a warning"},
     {"--json", nullptr, "print {\"schema\", \"command\", \"notes\", \"coverage\",\n"
                         "\"warnings\", \"out\", \"size\", \"containers\", \"mode\", \"replaced\"} on\n"
                         "stdout"}},
    ""};

// What attach was told.
struct AttachOptions {
  std::string stubPath, outPath, mode, keyPath;
  std::vector<std::string> paths;  // the containers
  ExtensionOptions ext;
  bool replace, add, allowDevelopment, quiet, verbose, json, requireFallback;
};

// Reads and checks the options; the command ends (help, usage error) unless it returns CONTINUE.
int ParseAttachArgs(int argc, char** argv, AttachOptions* o) {
  Args args;
  std::string error;
  if (!ParseCommand(argc, argv, kAttach, &args, &error)) return Usage("attach", error);
  if (args.help) return std::fputs(CommandHelp(kAttach).c_str(), stdout), 0;
  if (!One(args, "--stub", &o->stubPath, &error) || !One(args, "--out", &o->outPath, &error) ||
      !One(args, "--mode", &o->mode, &error) || !OneKey(args, "--public-key", &o->keyPath, &error))
    return Usage("attach", error);
  if (!args.positional.empty()) return Usage("attach", "unexpected argument " + args.positional[0]);
  if (o->stubPath.empty() || o->outPath.empty()) return Usage("attach", "--stub and --out are required");
  o->paths = All(args, "--container");
  if (o->paths.empty()) return Usage("attach", "at least one --container is required");
  if (o->mode.empty()) o->mode = "cert-table";
  if (!ValidMode(o->mode))
    return Usage("attach", "unknown mode " + o->mode + " (cert-table, extension, append)");
  o->ext.oneCertificate = Has(args, "--one-certificate");
  o->ext.critical = Has(args, "--critical");
  if ((o->ext.oneCertificate || o->ext.critical) && o->mode != "extension")
    return Usage("attach", "--one-certificate and --critical go with --mode extension");
  o->replace = Has(args, "--replace");
  o->add = Has(args, "--add");
  if (o->replace && o->add) return Usage("attach", "--replace and --add contradict each other; give one");
  o->allowDevelopment = Has(args, "--allow-development-key");
  o->json = Has(args, "--json");
  o->quiet = Has(args, "--quiet") || o->json;
  o->verbose = Has(args, "--verbose");
  o->requireFallback = Has(args, "--require-fallback");
  return CONTINUE;
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

// Reads every container; each must be one, and verify with `key` when there is one.
int ReadContainers(const std::vector<std::string>& paths, EVP_PKEY* key,
                   std::vector<Bytes>* containers) {
  std::string error;
  containers->resize(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    Bytes& container = (*containers)[i];
    if (!ReadWholeFile(paths[i], 0xFFFFFFFFu, &container, &error)) return Fail(error);
    uint32_t start = 0;
    if (!FindContainerStart(container.data(), static_cast<uint32_t>(container.size()), &start) ||
        start != 0)
      return Fail(paths[i] + ": not a payload container (it must end with records and begin "
                  "with its manifest record); make one with 'msistub-pack build --container'");
    if (key && !CheckContainerKey(container, paths[i], key, &error)) return Fail(error);
  }
  return CONTINUE;
}

// The output path, the key and the stub, checked before any container is read.
int CheckAttachInputs(const AttachOptions& o, KeyHolder* key, BaseStub* stub) {
  std::string error;
  std::vector<NamedInput> inputs{{o.stubPath, "the stub"}, {o.keyPath, "the public key"}};
  for (const std::string& p : o.paths) inputs.push_back({p, "a container"});
  if (!CheckOutputFile(o.outPath, "the setup", inputs, &error)) return Fail(error);
  if (!o.keyPath.empty() && !(key->key = LoadPublicKey(o.keyPath, &error))) return Fail(error);
  const ExistingPayload existing = o.replace ? ExistingPayload::REPLACE
                                   : o.add   ? ExistingPayload::KEEP
                                             : ExistingPayload::REFUSE;
  if (!ReadBaseStub(o.stubPath, o.mode, stub, &error) ||
      !CheckBaseStub(*stub, o.stubPath, o.mode, key->key, o.keyPath, o.allowDevelopment, existing,
                     &error))
    return Fail(error);
  // A stub that names its key gets only containers checked against that key.
  if (!key->key && stub->key.found)
    return Fail(o.stubPath + ": the stub trusts the key with fingerprint " +
                FingerprintHex(stub->key.fingerprint) + "; give --key with its public half, so "
                "the containers are checked against it before they are attached");
  return CONTINUE;
}
// What the setup will hold (the stub's containers kept with --add, then these) checked as
// verify checks it, before anything is written: its problems refuse it, its warnings (and,
// with --verbose, which languages get which package) go to stderr.
int CheckWillInstall(const AttachOptions& o, const BaseStub& stub, const std::vector<Bytes>& containers,
                     EVP_PKEY* key, InstallReport* install) {
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  std::string error;
  if (o.add && !DiscoverSources(stub.image, &sources, &notes, &error)) sources.clear();
  // Without extensions the stub's discovery falls back to the whole image: not a source kept.
  if (!sources.empty() && sources[0].file) sources.clear();
  for (size_t i = 0; i < containers.size(); ++i)
    sources.push_back({o.paths[i], Bytes(), &containers[i]});
  CheckInstall(Bytes(), sources, key, o.requireFallback, install);
  if (!install->problems.empty()) {
    std::string why;
    for (const std::string& p : install->problems) why += (why.empty() ? "" : "; ") + p;
    return Fail("the setup would not install: " + Printable(why));
  }
  if (!o.quiet && install->coverageKnown)
    for (const std::string& line : CoverageLines(install->coverage))
      if (o.verbose || line.compare(0, 8, "warning:") == 0) std::fprintf(stderr, "%s\n", line.c_str());
  return CONTINUE;
}
}  // namespace

int RunAttach(int argc, char** argv) {
  AttachOptions o;
  int rc = ParseAttachArgs(argc, argv, &o);
  KeyHolder key;
  BaseStub stub;
  if (rc == CONTINUE) rc = CheckAttachInputs(o, &key, &stub);
  std::vector<Bytes> containers;
  if (rc == CONTINUE) rc = ReadContainers(o.paths, key.key, &containers);
  InstallReport install;
  if (rc == CONTINUE) rc = CheckWillInstall(o, stub, containers, key.key, &install);
  if (rc != CONTINUE) return rc;
  JsonWriter json;
  BeginJsonDocument(&json);
  JsonField(&json, "command");
  JsonString(&json, "attach");
  JsonField(&json, "notes");
  JsonArray(&json);
  for (const std::string& w : install.warnings) JsonString(&json, "warning: " + w);
  JsonEnd(&json);
  if (install.coverageKnown) WriteCoverage(&json, install.coverage);
  rc = WriteAttached(o.mode, &stub, o.stubPath, o.outPath, containers, o.ext, o.replace, o.quiet,
                     o.json ? &json : nullptr);
  JsonEnd(&json);
  if (o.json && rc == 0) std::printf("%s\n", json.text.c_str());
  return rc;
}
