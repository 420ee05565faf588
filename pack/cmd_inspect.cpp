// msistub-pack inspect and verify: what a setup or container holds, and whether every
// record would pass the stub's checks (see commands.h).
#include <cstdio>
#include <string>
#include <vector>

#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/describe.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/versioninfo.h"
#include "pack/reader.h"
#include "pack/setupfile.h"
#include "pack/text.h"
#include "pack/unpack.h"
#include "pack/writer.h"

namespace {
const char kInspectHelp[] =
    "usage: msistub-pack inspect [--key PUBLIC] [--json] FILE\n"
    "\n"
    "Shows the payload key the stub trusts (its fingerprint, the SHA-256 of the public key\n"
    "blob, and whether it is a development key), the stub's version information (versions,\n"
    "company, product, description, copyright, original file name), whether the file would\n"
    "pass Windows' certificate padding check (cert-table mode cannot; extension mode can),\n"
    "then the payload sources as the stub finds them (certificate extensions, else the whole\n"
    "file), each source's records (type, id, stored size, signature size) and its manifest\n"
    "entries.\n"
    "--key shows a manifest only when its signature verifies with PUBLIC. Control characters\n"
    "from the file are shown as \\xNN. --json prints one JSON object instead (schema, stubKey,\n"
    "paddingCheck, versionInfo, sources, records, packages, cabinets).\n";

const char kVerifyHelp[] =
    "usage: msistub-pack verify --key PUBLIC [--json] FILE\n"
    "\n"
    "Inflates every record of every source and checks its signature with PUBLIC (PEM or\n"
    "276-byte .blob), and each file against the SHA-256 its manifest entry names. Reports\n"
    "each record that would fail and why; exit 1 if any does.\n"
    "Also shows the stub's key fingerprint and the certificate padding check (see inspect).\n"
    "--json prints {\"schema\", \"file\", \"sources\", \"records\", \"verified\", \"problems\",\n"
    "\"stubKey\", \"paddingCheck\"} on stdout.\n";

// One source as inspect lists it: its records and, when it can be read, its manifest.
struct SourceListing {
  // What kept the manifest from being listed in full.
  enum Problem {
    NONE,
    NO_MANIFEST,          // the record walk ended before a well-formed ManifestRecord
    UNREADABLE_MANIFEST,  // it does not decode, or its signature does not verify with the key
    MALFORMED_MANIFEST,   // its entries do not parse (those read before the fault are kept)
  } problem = NONE;
  std::string problemText;  // the problem as shown ("" for NONE)
  std::vector<RecordInfo> records;  // from the container's end to its start
  std::vector<std::string> skipped;
  Bytes manifest;
  std::vector<ManifestText> entries;
};

// Lists a source's records and reads its manifest; with a key, nothing is read from a
// manifest whose signature does not verify.
void ListSource(const FoundSource& s, EVP_PKEY* key, SourceListing* out) {
  std::string error;
  out->records = s.index.records;
  out->skipped = s.index.skipped;
  if (!s.index.ending.empty()) {
    out->problem = SourceListing::NO_MANIFEST;
    out->problemText = "no manifest: " + s.index.ending;
    return;
  }
  const RecordInfo& m = out->records.back();
  if (key ? !ReadVerifiedRecord(s, true, MANIFEST_RECORD_ID, key, &out->manifest, &error)
          : !DecodeRecord(s.data() + m.dataOffset, m.dataSize, &out->manifest, &error)) {
    out->problem = SourceListing::UNREADABLE_MANIFEST;
    out->problemText = "manifest: " + error;
  } else if (!ParseManifest(out->manifest, &out->entries, &error)) {
    out->problem = SourceListing::MALFORMED_MANIFEST;
    out->problemText = error;
  }
}

void PrintSource(size_t index, const FoundSource& s, const SourceListing& l) {
  std::printf("source %zu: %s, %u bytes\n", index, s.origin.c_str(), s.size());
  for (const std::string& k : l.skipped) std::printf("  note: %s\n", Printable(k).c_str());
  for (auto r = l.records.rbegin(); r != l.records.rend(); ++r)
    std::printf("  record %-8s id %-10u stored %10u bytes, signature %u bytes\n",
                r->manifest ? "manifest" : "file", r->id, r->dataSize, r->signatureSize);
  if (l.problem == SourceListing::NONE)
    std::printf("  manifest: %zu entries, %zu bytes\n", l.entries.size(), l.manifest.size());
  for (const ManifestText& e : l.entries) std::printf("    %u: %s\n", e.id, Printable(e.text).c_str());
  if (l.problem != SourceListing::NONE) std::printf("  %s\n", Printable(l.problemText).c_str());
}

// The digest and size fields of an entry as members ("sha256", "size"), null when absent.
void WriteBinding(JsonWriter* json, const EntryShape& shape) {
  JsonField(json, "sha256");
  if (shape.digest.state == DIGEST_PRESENT)
    JsonString(json, HexText(shape.digest.bytes, RECORD_DIGEST_SIZE));
  else
    JsonNull(json);
  JsonField(json, "size");
  if (shape.size.state == SIZE_PRESENT)
    JsonNumber(json, shape.size.bytes);
  else
    JsonNull(json);
}

// The manifest's entries of one shape (package descriptors or cabinet lines) as an array.
void WriteEntriesOfShape(JsonWriter* json, const std::vector<ManifestText>& entries, bool cabinets) {
  JsonArray(json);
  for (const ManifestText& e : entries) {
    EntryShape shape;
    if (!ReadEntryShape(e, &shape) || shape.cabinet != cabinets) continue;
    const std::vector<std::string>& f = shape.fields;
    JsonObject(json);
    JsonField(json, "id");
    JsonNumber(json, e.id);
    if (cabinets) {
      JsonField(json, "name");
      JsonString(json, f[2]);
      JsonField(json, "packages");
      JsonNumberList(json, f[1]);
    } else {
      JsonField(json, "arch");
      JsonString(json, f[0]);
      JsonField(json, "languages");
      JsonNumberList(json, f[1]);
      JsonField(json, "productCode");
      JsonString(json, f[2]);
      JsonField(json, "productName");
      JsonString(json, f[3]);
    }
    WriteBinding(json, shape);
    JsonEnd(json);
  }
  JsonEnd(json);
}

void WriteSource(JsonWriter* json, size_t index, const FoundSource& s, const SourceListing& l) {
  JsonObject(json);
  JsonField(json, "index");
  JsonNumber(json, index);
  JsonField(json, "origin");
  JsonString(json, s.origin);
  JsonField(json, "size");
  JsonNumber(json, s.size());
  JsonField(json, "records");
  JsonArray(json);
  for (auto r = l.records.rbegin(); r != l.records.rend(); ++r) {
    JsonObject(json);
    JsonField(json, "type");
    JsonString(json, r->manifest ? "manifest" : "file");
    JsonField(json, "id");
    JsonNumber(json, r->id);
    JsonField(json, "stored");
    JsonNumber(json, r->dataSize);
    JsonField(json, "signature");
    JsonNumber(json, r->signatureSize);
    JsonEnd(json);
  }
  JsonEnd(json);
  JsonField(json, "manifestBytes");
  JsonNumber(json, l.manifest.size());
  JsonField(json, "entries");
  JsonArray(json);
  for (const ManifestText& e : l.entries) WriteManifestEntry(json, e.id, e.text);
  JsonEnd(json);
  JsonField(json, "packages");
  WriteEntriesOfShape(json, l.entries, false);
  JsonField(json, "cabinets");
  WriteEntriesOfShape(json, l.entries, true);
  JsonField(json, "problem");
  if (l.problem == SourceListing::NONE)
    JsonNull(json);
  else
    JsonString(json, l.problemText);
  JsonEnd(json);
}

// The document's members before the sources.
void WriteInspectHead(JsonWriter* json, const std::string& path, const OpenedSetup& setup,
                      const SetupFacts& facts) {
  BeginJsonDocument(json);
  JsonField(json, "file");
  JsonString(json, path);
  JsonField(json, "size");
  JsonNumber(json, setup.file.size());
  WriteSetupFacts(json, facts);
  WriteVersionInfo(json, ReadVersionInfo(setup.file));
  JsonField(json, "notes");
  JsonArray(json);
  for (const std::string& n : setup.notes) JsonString(json, n);
  JsonEnd(json);
}

void WriteVerifyReport(JsonWriter* json, const std::string& path, const OpenedSetup& setup,
                       uint32_t checked, const std::vector<RecordProblem>& problems) {
  BeginJsonDocument(json);
  JsonField(json, "file");
  JsonString(json, path);
  JsonField(json, "sources");
  JsonNumber(json, setup.sources.size());
  JsonField(json, "records");
  JsonNumber(json, checked);
  JsonField(json, "verified");
  JsonBool(json, problems.empty());
  JsonField(json, "problems");
  JsonArray(json);
  for (const RecordProblem& p : problems) {
    JsonObject(json);
    JsonField(json, "source");
    JsonString(json, p.source);
    JsonField(json, "problem");
    JsonString(json, p.what);
    JsonEnd(json);
  }
  JsonEnd(json);
  WriteSetupFacts(json, DescribeSetup(setup.file));
  JsonEnd(json);
}
}  // namespace

int RunInspect(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--key"}, {"--json"}, &args, &error)) return Usage("inspect", error);
  if (args.help) return std::fputs(kInspectHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error)) return Usage("inspect", error);
  if (args.positional.size() != 1) return Usage("inspect", "give exactly one FILE");
  const bool json = Has(args, "--json");
  const std::string& path = args.positional[0];
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  OpenedSetup setup;
  if (!OpenSetup(path, &setup, &error)) return Fail(error);
  const SetupFacts facts = DescribeSetup(setup.file);
  JsonWriter out;
  if (json) {
    WriteInspectHead(&out, path, setup, facts);
    JsonField(&out, "sources");
    JsonArray(&out);
  } else {
    for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
    std::printf("%s\n", VersionInfoLine(ReadVersionInfo(setup.file)).c_str());
    for (const std::string& n : setup.notes) std::printf("note: %s\n", Printable(n).c_str());
  }
  bool broken = false;
  for (size_t i = 0; i < setup.sources.size(); ++i) {
    SourceListing listing;
    ListSource(setup.sources[i], key.key, &listing);
    broken = broken || listing.problem != SourceListing::NONE;
    if (json)
      WriteSource(&out, i, setup.sources[i], listing);
    else
      PrintSource(i, setup.sources[i], listing);
  }
  const std::string hint = broken ? SignedAfterAppendHint(setup.file, setup.sources) : "";
  if (json) {
    JsonEnd(&out);
    JsonField(&out, "hint");
    if (hint.empty())
      JsonNull(&out);
    else
      JsonString(&out, hint);
    JsonEnd(&out);
    std::printf("%s\n", out.text.c_str());
  } else if (!hint.empty()) {
    std::printf("hint: %s\n", hint.c_str());
  }
  return broken ? 1 : 0;
}

int RunVerify(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseArgs(argc, argv, 2, {"--key"}, {"--json"}, &args, &error)) return Usage("verify", error);
  if (args.help) return std::fputs(kVerifyHelp, stdout), 0;
  if (!One(args, "--key", &keyPath, &error)) return Usage("verify", error);
  if (keyPath.empty()) return Usage("verify", "--key PUBLIC is required");
  if (args.positional.size() != 1) return Usage("verify", "give exactly one FILE");
  const std::string& path = args.positional[0];
  KeyHolder key;
  if (!(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  OpenedSetup setup;
  if (!OpenSetup(path, &setup, &error)) return Fail(error);
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources(setup.sources, key.key, &checked, &problems);
  for (const RecordProblem& p : problems)
    std::fprintf(stderr, "msistub-pack: %s: %s: %s\n", path.c_str(), Printable(p.source).c_str(),
                 Printable(p.what).c_str());
  const std::string hint = problems.empty() ? "" : SignedAfterAppendHint(setup.file, setup.sources);
  if (!hint.empty()) std::fprintf(stderr, "msistub-pack: hint: %s\n", hint.c_str());
  if (Has(args, "--json")) {
    JsonWriter json;
    WriteVerifyReport(&json, path, setup, checked, problems);
    std::printf("%s\n", json.text.c_str());
    return problems.empty() ? 0 : 1;
  }
  if (!problems.empty()) return 1;
  for (const std::string& line : DescribeSetup(setup.file).lines) std::printf("%s\n", line.c_str());
  std::printf("%s: %zu source(s), %u record(s), all verified\n", path.c_str(),
              setup.sources.size(), checked);
  return 0;
}
