// msistub-pack select: the package the stub would choose for a locale, chosen by the stub's
// own selection code over the setup's sources (see commands.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/select.h"
#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/locales.h"
#include "pack/setupfile.h"
#include "pack/text.h"
#include "payload/container.h"
#include "payload/sources.h"

namespace {
const CommandLine kSelect = {
    "select", "--lcid N [options] FILE",
    "Shows the package the stub would choose for a user with locale N, using the stub's own\n"
    "selection code: the first package listing N, then the first of N's primary language,\n"
    "then the first listing 1033.\n",
    {{"--lcid", "N", "the user's locale: decimal (1031; leading zeros change nothing),\n"
                     "hexadecimal with 0x (0x0407) or a locale name (de-DE)"},
     {"--arch", "x64|Intel", "the processor (default x64; the 64-bit stub chooses x64 packages)"},
     {"--key", "PUBLIC", "also check every record's signature with this public key"},
     {"--public-key", "PUBLIC", "the same as --key"},
     {"--json", nullptr, "print {\"schema\", \"file\", \"lcid\", \"arch\", \"package\"} on stdout\n"
                         "(package null when none fits)"}},
    ""};

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", v);
  return text;
}

// Registers the sources in the stub's own table (emptied first); 0, or 1 after printing why
// the stub would stop.
int RegisterSources(const std::string& path, const OpenedSetup& setup) {
  std::string error;
  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  for (const FoundSource& s : setup.sources) {
    Bytes manifest;
    const RecordInfo* m = LookUpRecord(s.index, true, MANIFEST_RECORD_ID);
    if (!m || !DecodeRecord(s.data() + m->dataOffset, m->dataSize, &manifest, &error))
      return Fail(path + ": " + s.origin + ": no readable manifest; the stub would stop");
    if (!StatusOk(AddDecodedContainerSource(&gSourceTable, s.data(), s.size(), manifest.data(),
                                            static_cast<uint32_t>(manifest.size()))))
      return Fail("out of memory");
  }
  return 0;
}

const char* MatchName(const PackageSelection& selection) {
  return selection.pass == SELECTION_PASS_FALLBACK  ? "fallback to 1033"
         : selection.pass == SELECTION_PASS_PRIMARY ? "primary language match"
                                                    : "exact language match";
}

void WriteChoice(const std::string& path, unsigned long lcid, const std::string& arch,
                 const PackageSelection* chosen) {
  JsonWriter json;
  BeginJsonDocument(&json);
  JsonField(&json, "file");
  JsonString(&json, path);
  JsonField(&json, "lcid");
  JsonNumber(&json, lcid);
  JsonField(&json, "arch");
  JsonString(&json, arch);
  JsonField(&json, "package");
  if (chosen) {
    JsonObject(&json);
    JsonField(&json, "id");
    JsonNumber(&json, chosen->entryId);
    JsonField(&json, "source");
    JsonNumber(&json, static_cast<uint64_t>(chosen->sourceIndex));
    JsonField(&json, "match");
    JsonString(&json, MatchName(*chosen));
    JsonField(&json, "arch");
    JsonString(&json, chosen->architecture);
    JsonField(&json, "languages");
    JsonNumberList(&json, chosen->languages);
    JsonField(&json, "productCode");
    JsonString(&json, chosen->productCode);
    JsonField(&json, "productName");
    JsonString(&json, chosen->productName);
    JsonEnd(&json);
  } else {
    JsonNull(&json);
  }
  JsonEnd(&json);
  std::printf("%s\n", json.text.c_str());
}

// Lets the stub's selection choose among the registered sources and reports its choice.
int ReportSelection(const std::string& path, unsigned long lcid, const std::string& arch, bool json) {
  const SelectionContext context = {static_cast<uint32_t>(lcid), arch == "x64" ? 1u : 0u};
  PackageSelection selection;
  std::memset(&selection, 0, sizeof(selection));
  const bool chosen = StatusOk(SelectPackage(&context, &selection));
  if (json) WriteChoice(path, lcid, arch, chosen ? &selection : nullptr);
  if (!chosen)
    return Fail("no package fits locale " + std::to_string(lcid) + " (" + Hex32(lcid) + ") on " +
                arch + "; the stub would report an unsupported setup");
  if (!json)
    std::printf("package %u in source %d (%s): %s\\%s\\%s\\%s\n", selection.entryId,
                selection.sourceIndex, MatchName(selection), Printable(selection.architecture).c_str(),
                Printable(selection.languages).c_str(), Printable(selection.productCode).c_str(),
                Printable(selection.productName).c_str());
  return 0;
}
}  // namespace

int RunSelect(int argc, char** argv) {
  Args args;
  std::string error, lcidText, arch, keyPath;
  if (!ParseCommand(argc, argv, kSelect, &args, &error)) return Usage("select", error);
  if (args.help) return std::fputs(CommandHelp(kSelect).c_str(), stdout), 0;
  if (!One(args, "--lcid", &lcidText, &error) || !One(args, "--arch", &arch, &error) ||
      !OneKey(args, "--public-key", &keyPath, &error))
    return Usage("select", error);
  uint32_t lcid = 0;
  if (!ParseLcid(lcidText, &lcid))
    return Usage("select", "--lcid N is required, N a decimal locale id such as 1031, a hexadecimal "
                           "one with 0x such as 0x0407, or a locale name such as de-DE");
  if (arch.empty()) arch = "x64";
  if (arch != "x64" && arch != "Intel") return Usage("select", "--arch is x64 or Intel");
  if (args.positional.size() != 1) return Usage("select", "give exactly one FILE");
  const std::string& path = args.positional[0];
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  OpenedSetup setup;
  if (!OpenSetup(path, &setup, &error)) return Fail(error);
  if (key.key) {
    std::vector<RecordProblem> problems;
    uint32_t checked = 0;
    VerifySources(setup.sources, key.key, &checked, &problems);
    if (!problems.empty()) return Fail(problems[0].source + ": " + problems[0].what);
  }
  int rc = RegisterSources(path, setup);
  if (rc == 0) rc = ReportSelection(path, lcid, arch, Has(args, "--json"));
  FreeSources(&gSourceTable);
  return rc;
}
