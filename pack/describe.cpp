// What inspect and verify say about a setup as a whole (see describe.h).
#include "pack/describe.h"

#include <cstdio>

#include "pack/attach.h"
#include "pack/fingerprint.h"
#include "pack/versioninfo.h"
#include "pack/json.h"
#include "pack/payloads.h"

SetupFacts DescribeSetup(const Bytes& file) {
  SetupFacts facts;
  PeImage pe;
  std::string notPe;
  if (!ReadPeImage(file, &pe, &notPe)) {
    facts.lines.push_back("stub key: none (" + notPe + ")");
    facts.padding = "unsigned";
    return facts;
  }
  StubKey key;
  ReadStubKey(file, &key);
  if (key.found && key.problem.empty()) {
    const std::string hex = FingerprintHex(key.fingerprint);
    facts.lines.push_back("stub key: " + hex +
                          (key.development ? " (the DEVELOPMENT key of the stub's build: for "
                                             "testing only)"
                                           : " (SHA-256 of the public key blob)"));
    facts.keyKnown = true;
    facts.fingerprint = hex;
    facts.development = key.development;
  } else {
    facts.lines.push_back("stub key: unknown (" +
                          (key.problem.empty() ? std::string("the stub carries no key resource")
                                               : key.problem) +
                          ")");
  }
  if (ReadStubVersion(file, &facts.version))
    facts.lines.push_back("stub version: " + facts.version);
  else
    facts.lines.push_back("stub version: unknown (the file has no version resource)");
  std::string why;
  const PaddingVerdict verdict = CertificatePadding(file, &why);
  const char* result = verdict == PADDING_UNSIGNED ? "unsigned"
                       : verdict == PADDING_PASSES ? "passes"
                                                   : "fails";
  facts.lines.push_back(
      verdict == PADDING_UNSIGNED ? "certificate padding check: not signed"
      : verdict == PADDING_PASSES ? "certificate padding check: passes (nothing follows the signature)"
                                  : "certificate padding check: FAILS where Windows enforces it: " + why +
                                        "; use --mode extension for such machines");
  facts.padding = result;
  facts.paddingWhy = why;
  return facts;
}

void WriteSetupFacts(JsonWriter* json, const SetupFacts& facts) {
  JsonField(json, "stubKey");
  if (facts.keyKnown) {
    JsonObject(json);
    JsonField(json, "fingerprint");
    JsonString(json, facts.fingerprint);
    JsonField(json, "development");
    JsonBool(json, facts.development);
    JsonEnd(json);
  } else {
    JsonNull(json);
  }
  JsonField(json, "stubVersion");
  if (facts.version.empty())
    JsonNull(json);
  else
    JsonString(json, facts.version);
  JsonField(json, "paddingCheck");
  JsonObject(json);
  JsonField(json, "result");
  JsonString(json, facts.padding);
  JsonField(json, "why");
  if (facts.paddingWhy.empty())
    JsonNull(json);
  else
    JsonString(json, facts.paddingWhy);
  JsonEnd(json);
}

void WriteManifestEntry(JsonWriter* json, uint32_t id, const std::string& text) {
  JsonObject(json);
  JsonField(json, "id");
  JsonNumber(json, id);
  JsonField(json, "text");
  JsonString(json, text);
  JsonEnd(json);
}

std::string SignatureSizeProblem(const Bytes& image) {
  PeImage pe;
  SignatureEntry entry;
  std::string ignored;
  if (!ReadPeImage(image, &pe, &ignored) || pe.tableSize == 0 ||
      !ReadSignatureEntry(image, pe, &entry, &ignored) || entry.signature.size() <= SIGNATURE_DECODER_LIMIT)
    return "";
  char mib[32];
  std::snprintf(mib, sizeof(mib), "%.2f", entry.signature.size() / 1048576.0);
  return "the signature, with the containers carried as certificate extensions in it, is " +
         std::string(mib) + " MiB (" + std::to_string(entry.signature.size()) +
         " bytes), above the 64 MiB the stub's signature decoder takes: the setup would exit "
         "0x80093104 (CRYPT_E_ASN1_LARGE) before installing anything. Use --mode cert-table, or "
         "split the product over several setups";
}
