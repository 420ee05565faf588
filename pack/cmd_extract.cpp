// msistub-pack extract: the packages of a setup, verified and written to a folder, without
// running anything (see commands.h).
#include <cstdio>
#include <string>
#include <vector>

#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/outdir.h"
#include "pack/setupfile.h"
#include "pack/text.h"
#include "pack/unpack.h"

namespace {
const CommandLine kExtract = {
    "extract", "(--key PUBLIC | --no-verify) --out OUTDIR [options] SETUP",
    "Writes every package of SETUP under OUTDIR without running anything:\n"
    "  OUTDIR/<product code>/main.msi   the MSI (the stub always calls it main.msi; the\n"
    "                                   original file name is not stored)\n"
    "  OUTDIR/<product code>/<cabinet>  its cabinets under their manifest names\n"
    "Packages that share a product code go to <code>-<arch>-<languages>. Every record is\n"
    "checked against PUBLIC first; nothing is written unless all verify. With a key, no\n"
    "manifest is read before its signature verifies. Names from the setup that are not plain\n"
    "file names are refused, so nothing is written outside OUTDIR.\n",
    {{"--key", "PUBLIC", "the public payload key (PEM or 276-byte .blob) every record must\n"
                         "verify with"},
     {"--public-key", "PUBLIC", "the same as --key"},
     {"--no-verify", nullptr, "skip the check (with a warning)"},
     {"--out", "OUTDIR", "a new folder (its parent must exist) or an empty folder of your own\n"
                         "that only you can write (not a link); files are created without\n"
                         "following links"},
     {"--json", nullptr, "print {\"schema\", \"packages\": [{..., \"folder\", \"files\"}]} on stdout"}},
    ""};

// Plans what is written; with a key, every manifest's signature is checked before anything
// is planned from it.
int PlanFromSetup(const std::string& setupPath, const OpenedSetup& setup, EVP_PKEY* key,
                  std::vector<UnpackPackage>* plan) {
  std::string error;
  for (const FoundSource& source : setup.sources) {
    Bytes manifest;
    if (key && !ReadVerifiedRecord(source, true, MANIFEST_RECORD_ID, key, &manifest, &error))
      return Fail(setupPath + ": " + error);
  }
  if (!PlanUnpack(setup.sources, plan, &error)) {
    const std::string hint = SignedAfterAppendHint(setup.file, setup.sources);
    return Fail(setupPath + ": " + Printable(error) +
                (hint.empty() ? "" : "\nmsistub-pack: hint: " + hint));
  }
  return CONTINUE;
}

// Everything is read, inflated and verified before the first file is written.
int ReadPlannedFiles(const std::string& setupPath, const OpenedSetup& setup, EVP_PKEY* key,
                     const std::vector<UnpackPackage>& plan,
                     std::vector<std::vector<Bytes>>* contents) {
  std::string error;
  contents->assign(plan.size(), {});
  for (size_t i = 0; i < plan.size(); ++i) {
    for (const UnpackFile& f : plan[i].files) {
      (*contents)[i].emplace_back();
      if (!ReadVerifiedRecord(setup.sources[plan[i].source], false, f.id, key,
                              &(*contents)[i].back(), &error, &f))
        return Fail(setupPath + ": " + error);
    }
  }
  return CONTINUE;
}

// One written package: a JSON object, or a line unless `quiet`.
void ReportPackage(const UnpackPackage& p, bool quiet, JsonWriter* json) {
  if (json) {
    JsonObject(json);
    JsonField(json, "folder");
    JsonString(json, p.folder);
    JsonField(json, "arch");
    JsonString(json, p.architecture);
    JsonField(json, "languages");
    JsonNumberList(json, p.languages);
    JsonField(json, "productCode");
    JsonString(json, p.productCode);
    JsonField(json, "productName");
    JsonString(json, p.productName);
    JsonField(json, "files");
    JsonArray(json);
    for (const UnpackFile& f : p.files) JsonString(json, f.name);
    JsonEnd(json);
    JsonEnd(json);
  } else if (!quiet) {
    std::printf("%s/: %s\\%s\\%s\\%s:", Printable(p.folder).c_str(), Printable(p.architecture).c_str(),
                Printable(p.languages).c_str(), Printable(p.productCode).c_str(),
                Printable(p.productName).c_str());
    for (const UnpackFile& f : p.files) std::printf(" %s", Printable(f.name).c_str());
    std::printf("\n");
  }
}

// Writes every package into its folder below `outDir`, reporting each into `json` (an open
// array) or as a line.
int WritePlan(const std::string& outDir, const std::vector<UnpackPackage>& plan,
              const std::vector<std::vector<Bytes>>& contents, bool quiet, JsonWriter* json) {
  std::string error;
  OutputFolder root;
  if (!OpenOutputFolder(outDir, &root, &error)) return Fail(error);
  for (size_t i = 0; i < plan.size(); ++i) {
    const UnpackPackage& p = plan[i];
    OutputFolder folder;
    if (!MakeSubfolder(root, p.folder, &folder, &error)) return Fail(error);
    for (size_t j = 0; j < p.files.size(); ++j)
      if (!WriteNewFile(folder, p.files[j].name, contents[i][j].data(), contents[i][j].size(), &error))
        return Fail(error);
    ReportPackage(p, quiet, json);
  }
  return CONTINUE;
}
}  // namespace

int RunExtract(int argc, char** argv) {
  Args args;
  std::string error, keyPath, outDir;
  if (!ParseCommand(argc, argv, kExtract, &args, &error)) return Usage("extract", error);
  if (args.help) return std::fputs(CommandHelp(kExtract).c_str(), stdout), 0;
  if (!OneKey(args, "--public-key", &keyPath, &error) || !One(args, "--out", &outDir, &error))
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
  OpenedSetup setup;
  if (!OpenSetup(setupPath, &setup, &error)) return Fail(error);
  std::vector<UnpackPackage> plan;
  int rc = PlanFromSetup(setupPath, setup, key.key, &plan);
  if (rc != CONTINUE) return rc;
  if (noVerify)
    std::fprintf(stderr, "msistub-pack: warning: --no-verify: the records' signatures are NOT "
                         "checked; do not trust what is written\n");
  std::vector<std::vector<Bytes>> contents;
  rc = ReadPlannedFiles(setupPath, setup, key.key, plan, &contents);
  JsonWriter out;
  if (json) {
    BeginJsonDocument(&out);
    JsonField(&out, "file");
    JsonString(&out, setupPath);
    JsonField(&out, "out");
    JsonString(&out, outDir);
    JsonField(&out, "verified");
    JsonBool(&out, !noVerify);
    JsonField(&out, "packages");
    JsonArray(&out);
  }
  if (rc == CONTINUE) rc = WritePlan(outDir, plan, contents, quiet, json ? &out : nullptr);
  if (rc != CONTINUE) return rc;
  if (json) {
    JsonEnd(&out);
    JsonEnd(&out);
    std::printf("%s\n", out.text.c_str());
  } else if (!quiet) {
    std::printf("%s: %zu package(s) written to %s (%s)\n", setupPath.c_str(), plan.size(),
                outDir.c_str(), noVerify ? "NOT verified" : "every record verified");
  }
  return 0;
}
