// msistub-pack inspect and verify: what a setup or container holds, and whether every
// record would pass the stub's checks (see commands.h).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "pack/attach.h"
#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/coverage.h"
#include "pack/describe.h"
#include "pack/fingerprint.h"
#include "pack/installcheck.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/versioninfo.h"
#include "pack/reader.h"
#include "pack/setupfile.h"
#include "pack/text.h"
#include "pack/unpack.h"
#include "pack/writer.h"
#include "payload/container.h"

namespace {
const CommandLine kInspect = {
    "inspect", "[options] FILE",
    "Shows the payload key the stub trusts (its fingerprint, the SHA-256 of the public key\n"
    "blob, and whether it is a development key), the stub's version information (versions,\n"
    "company, product, description, copyright, original file name), whether the file would\n"
    "pass Windows' certificate padding check (cert-table mode cannot; extension mode can),\n"
    "then the payload sources as the stub finds them (certificate extensions, else the whole\n"
    "file), each source's records (type, id, offset, stored size, signature size, segments),\n"
    "its manifest entries, and which users' languages get which package. A bare stub\n"
    "(nothing attached) is no failure: its key and version are shown. Control characters\n"
    "from the file are shown as \\xNN.\n",
    {{"--key", "PUBLIC", "show a manifest only when its signature verifies with PUBLIC"},
     {"--public-key", "PUBLIC", "the same as --key"},
     {"--json", nullptr, "print one JSON object instead (schema, file, size, stubKey,\n"
                         "stubVersion, versionInfo, paddingCheck, notes, payload, sources, coverage,\n"
                          "hint)"}},
    ""};

const CommandLine kVerify = {
    "verify", "--key PUBLIC [options] FILE",
    "Inflates every record of every source and checks its signature with PUBLIC, and each file\n"
    "against the SHA-256 its manifest entry names; then whether the setup will install: a\n"
    "package for x64 and for each user's language, every cabinet holding the files its MSI\n"
    "places in it, extension containers within what the stub's signature decoder takes, the\n"
    "payload where the stub reads it. A key whose fingerprint differs from the stub's is the\n"
    "first line. The last line is the verdict: \"verdict: the setup will install: ...\" (exit\n"
    "0) or \"verdict: the setup will NOT install: <why>\" (exit 1).\n",
    {{"--key", "PUBLIC", "the public payload key (PEM or 276-byte .blob)"},
     {"--public-key", "PUBLIC", "the same as --key"},
     {"--require-fallback", nullptr, "a user language without a package (no exact, primary-\n"
                                     "language or 1033 match) fails the verdict; without it,\n"
                                     "a warning"},
     {"--json", nullptr, "print one JSON object on stdout (schema, file, keyFingerprint,\n"
                         "keyMatchesStub, sources, records, verified, problems, stubKey,\n"
                         "stubVersion, paddingCheck, coverage, installs, installProblems,\n"
                         "warnings, verdict)"}},
    ""};

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

// The segments fields of a listing's entries by id (the first entry of an id), where they
// are well formed.
std::map<uint32_t, EntrySegments> SegmentsById(const SourceListing& l) {
  std::map<uint32_t, EntrySegments> out;
  for (const ManifestText& e : l.entries) {
    EntryShape shape;
    if (ReadEntryShape(e, &shape) && shape.segments.state == SEGMENTS_PRESENT)
      out.emplace(e.id, shape.segments);
  }
  return out;
}

// Segments of a record as its entry gives them: 0 when it gives none.
size_t SegmentCount(const std::map<uint32_t, EntrySegments>& segments, const RecordInfo& r) {
  const auto found = r.manifest ? segments.end() : segments.find(r.id);
  return found == segments.end() ? 0 : found->second.storedEnd.size();
}

void PrintSource(size_t index, const FoundSource& s, const SourceListing& l) {
  std::printf("source %zu: %s, %u bytes\n", index, s.origin.c_str(), s.size());
  for (const std::string& k : l.skipped) std::printf("  note: %s\n", Printable(k).c_str());
  const std::map<uint32_t, EntrySegments> segments = SegmentsById(l);
  for (auto r = l.records.rbegin(); r != l.records.rend(); ++r) {
    std::printf("  record %-8s id %-10u at %10u, stored %10u bytes, signature %u bytes",
                r->manifest ? "manifest" : "file", r->id, r->dataOffset, r->dataSize,
                r->signatureSize);
    const size_t count = SegmentCount(segments, *r);
    if (count) std::printf(", %zu segment%s", count, count == 1 ? "" : "s");
    std::printf("\n");
  }
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
  const std::map<uint32_t, EntrySegments> segments = SegmentsById(l);
  for (auto r = l.records.rbegin(); r != l.records.rend(); ++r) {
    JsonObject(json);
    JsonField(json, "type");
    JsonString(json, r->manifest ? "manifest" : "file");
    JsonField(json, "id");
    JsonNumber(json, r->id);
    // Where its stored bytes begin: in the container, and in the file where the container
    // was found in it.
    JsonField(json, "offset");
    JsonNumber(json, r->dataOffset);
    JsonField(json, "fileOffset");
    if (s.fileOffset >= 0)
      JsonNumber(json, static_cast<uint64_t>(s.fileOffset) + r->dataOffset);
    else
      JsonNull(json);
    JsonField(json, "stored");
    JsonNumber(json, r->dataSize);
    JsonField(json, "signature");
    JsonNumber(json, r->signatureSize);
    // Segments by its entry's index; null without one (one stream).
    JsonField(json, "segments");
    const size_t count = SegmentCount(segments, *r);
    if (count)
      JsonNumber(json, count);
    else
      JsonNull(json);
    JsonField(json, "segmentSize");
    if (count)
      JsonNumber(json, segments.at(r->id).segmentSize);
    else
      JsonNull(json);
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

// What a file without any payload is, and how a finished setup comes to be one.
const char kNoPayload[] =
    "a bare stub. A finished setup shows this after it was signed again: signing replaces "
    "the certificate table, and the payload that was in it (or in its extra certificates) "
    "with it, so the stub exits 1168. Re-sign the bare stub and pack again";

// A PE file with no container anywhere: one whole-file source without any record.
bool IsBareStub(const OpenedSetup& setup, const SetupFacts& facts) {
  if (setup.sources.size() != 1 || !setup.sources[0].file || facts.padding.empty()) return false;
  PeImage pe;
  std::string notPe;
  if (!ReadPeImage(setup.file, &pe, &notPe)) return false;
  uint32_t start = 0;
  const uint32_t end = pe.tableSize ? pe.tableOffset : static_cast<uint32_t>(setup.file.size());
  return !FindContainerStart(setup.file.data(), static_cast<uint32_t>(setup.file.size()), &start) &&
         !FindContainerStart(setup.file.data(), end, &start) &&
         SignedAfterAppendHint(setup.file, setup.sources).empty();
}

// The verifying key against the one the stub trusts.
struct KeyComparison {
  std::string fingerprint;  // the verifying key's
  std::string mismatch;     // why they differ, "" when they agree or the stub names none
};

KeyComparison CompareWithStub(EVP_PKEY* key, const SetupFacts& facts) {
  KeyComparison c;
  uint8_t fingerprint[KEY_FINGERPRINT_SIZE];
  std::string error;
  if (KeyFingerprint(key, fingerprint, &error)) c.fingerprint = FingerprintHex(fingerprint);
  if (facts.keyKnown && !c.fingerprint.empty() && c.fingerprint != facts.fingerprint)
    c.mismatch = "the key's fingerprint " + c.fingerprint + " differs from the stub's " +
                 facts.fingerprint + ": the stub verifies with its own key, and with this key "
                 "every record fails; verify with the stub's public key";
  return c;
}

// The problems source by source, each source's from its start to its end (the reader walks
// a container from its end).
void ContainerOrder(const std::vector<FoundSource>& sources, std::vector<RecordProblem>* problems) {
  std::vector<RecordProblem> ordered;
  for (const FoundSource& s : sources) {
    std::vector<RecordProblem> mine;
    for (const RecordProblem& p : *problems)
      if (p.source == s.origin) mine.push_back(p);
    ordered.insert(ordered.end(), mine.rbegin(), mine.rend());
  }
  if (ordered.size() == problems->size()) *problems = ordered;
}

void WriteVerifyReport(JsonWriter* json, const std::string& path, const OpenedSetup& setup,
                       uint32_t checked, const std::vector<RecordProblem>& problems,
                       const SetupFacts& facts, const KeyComparison& keys,
                       const InstallReport& install, bool installs, const std::string& verdict) {
  BeginJsonDocument(json);
  JsonField(json, "file");
  JsonString(json, path);
  JsonField(json, "keyFingerprint");
  JsonString(json, keys.fingerprint);
  JsonField(json, "keyMatchesStub");
  if (facts.keyKnown)
    JsonBool(json, keys.mismatch.empty());
  else
    JsonNull(json);
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
  WriteSetupFacts(json, facts);
  if (install.coverageKnown)
    WriteCoverage(json, install.coverage);
  JsonField(json, "installs");
  JsonBool(json, installs);
  JsonField(json, "installProblems");
  JsonArray(json);
  for (const std::string& p : install.problems) JsonString(json, p);
  JsonEnd(json);
  JsonField(json, "warnings");
  JsonArray(json);
  for (const std::string& w : install.warnings) JsonString(json, w);
  JsonEnd(json);
  JsonField(json, "verdict");
  JsonString(json, verdict);
  JsonEnd(json);
}

}  // namespace

int RunInspect(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseCommand(argc, argv, kInspect, &args, &error)) return Usage("inspect", error);
  if (args.help) return std::fputs(CommandHelp(kInspect).c_str(), stdout), 0;
  if (!OneKey(args, "--public-key", &keyPath, &error)) return Usage("inspect", error);
  if (args.positional.size() != 1) return Usage("inspect", "give exactly one FILE");
  const bool json = Has(args, "--json");
  const std::string& path = args.positional[0];
  KeyHolder key;
  if (!keyPath.empty() && !(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  OpenedSetup setup;
  if (!OpenSetup(path, &setup, &error)) return Fail(error);
  const SetupFacts facts = DescribeSetup(setup.file);
  // A stub with nothing attached: its key and version are what there is to show.
  const bool bare = IsBareStub(setup, facts);
  JsonWriter out;
  if (json) {
    WriteInspectHead(&out, path, setup, facts);
    JsonField(&out, "payload");
    if (bare)
      JsonNull(&out);
    else
      JsonString(&out, "attached");
    JsonField(&out, "sources");
    JsonArray(&out);
  } else {
    for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
    std::printf("%s\n", VersionInfoLine(ReadVersionInfo(setup.file)).c_str());
    for (const std::string& n : setup.notes) std::printf("note: %s\n", Printable(n).c_str());
    if (bare) std::printf("payload: none (%s)\n", kNoPayload);
  }
  bool broken = false;
  std::vector<CoveragePackage> packages;
  for (size_t i = 0; i < setup.sources.size() && !bare; ++i) {
    SourceListing listing;
    ListSource(setup.sources[i], key.key, &listing);
    broken = broken || listing.problem != SourceListing::NONE;
    for (const ManifestText& e : listing.entries) {
      EntryShape shape;
      if (ReadEntryShape(e, &shape) && !shape.cabinet)
        packages.push_back({static_cast<int32_t>(i), e.id, e.text});
    }
    if (json)
      WriteSource(&out, i, setup.sources[i], listing);
    else
      PrintSource(i, setup.sources[i], listing);
  }
  const std::string hint = broken ? SignedAfterAppendHint(setup.file, setup.sources) : "";
  const Coverage coverage = ComputeCoverage(packages);
  if (json) {
    JsonEnd(&out);
    if (!packages.empty()) WriteCoverage(&out, coverage);
    JsonField(&out, "hint");
    if (hint.empty())
      JsonNull(&out);
    else
      JsonString(&out, hint);
    JsonEnd(&out);
    std::printf("%s\n", out.text.c_str());
  } else {
    if (!packages.empty() && !Has(args, "--quiet"))
      for (const std::string& line : CoverageLines(coverage)) std::printf("%s\n", line.c_str());
    if (!hint.empty()) std::printf("hint: %s\n", hint.c_str());
  }
  return broken ? 1 : 0;
}

int RunVerify(int argc, char** argv) {
  Args args;
  std::string error, keyPath;
  if (!ParseCommand(argc, argv, kVerify, &args, &error)) return Usage("verify", error);
  if (args.help) return std::fputs(CommandHelp(kVerify).c_str(), stdout), 0;
  if (!OneKey(args, "--public-key", &keyPath, &error)) return Usage("verify", error);
  if (keyPath.empty()) return Usage("verify", "--key PUBLIC (or --public-key) is required");
  if (args.positional.size() != 1) return Usage("verify", "give exactly one FILE");
  const bool json = Has(args, "--json"), quiet = Has(args, "--quiet"), verbose = Has(args, "--verbose");
  const std::string& path = args.positional[0];
  KeyHolder key;
  if (!(key.key = LoadPublicKey(keyPath, &error))) return Fail(error);
  OpenedSetup setup;
  if (!OpenSetup(path, &setup, &error)) return Fail(error);
  const SetupFacts facts = DescribeSetup(setup.file);
  const KeyComparison keys = CompareWithStub(key.key, facts);
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources(setup.sources, key.key, &checked, &problems);
  ContainerOrder(setup.sources, &problems);
  InstallReport install;
  if (problems.empty()) CheckInstall(setup.file, setup.sources, key.key, Has(args, "--require-fallback"), &install);
  const std::string hint = problems.empty() ? "" : SignedAfterAppendHint(setup.file, setup.sources);
  if (!hint.empty()) install.problems.push_back(hint);
  if (!keys.mismatch.empty()) install.problems.insert(install.problems.begin(), keys.mismatch);
  const std::string verdict = InstallVerdict(install, problems.size());
  const bool installs = problems.empty() && install.problems.empty();
  if (json) {
    JsonWriter out;
    WriteVerifyReport(&out, path, setup, checked, problems, facts, keys, install, installs, verdict);
    std::printf("%s\n", out.text.c_str());
  } else {
    if (!keys.mismatch.empty()) std::printf("key mismatch: %s\n", keys.mismatch.c_str());
    for (const RecordProblem& p : problems)
      std::printf("problem: %s: %s\n", Printable(p.source).c_str(), Printable(p.what).c_str());
    if (!quiet) {
      for (const std::string& line : facts.lines) std::printf("%s\n", line.c_str());
      if (install.coverageKnown)
        for (const std::string& line : CoverageLines(install.coverage))
          if (verbose || line.compare(0, 8, "warning:") == 0) std::printf("%s\n", line.c_str());
      std::printf("%s: %zu source(s), %u record(s), %s\n", path.c_str(), setup.sources.size(),
                  checked, problems.empty() ? "all verified" : "NOT all verified");
    }
    std::printf("verdict: %s\n", Printable(verdict).c_str());
  }
  if (installs) return 0;
  return Fail(path + ": " + Printable(verdict));
}
