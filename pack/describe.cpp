// What inspect and verify say about a setup as a whole (see describe.h).
#include "pack/describe.h"

#include "pack/attach.h"
#include "pack/fingerprint.h"
#include "pack/json.h"
#include "pack/payloads.h"

SetupFacts DescribeSetup(const Bytes& file) {
  SetupFacts facts;
  PeImage pe;
  std::string notPe;
  if (!ReadPeImage(file, &pe, &notPe)) {
    facts.lines.push_back("stub key: none (" + notPe + ")");
    facts.jsonMembers = "\"stubKey\": null, \"paddingCheck\": {\"result\": \"unsigned\", \"why\": null}";
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
    facts.jsonMembers = "\"stubKey\": {\"fingerprint\": \"" + hex + "\", \"development\": " +
                        (key.development ? "true" : "false") + "}";
  } else {
    facts.lines.push_back("stub key: unknown (" +
                          (key.problem.empty() ? std::string("the stub carries no key resource")
                                               : key.problem) +
                          ")");
    facts.jsonMembers = "\"stubKey\": null";
  }
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
  facts.jsonMembers += std::string(", \"paddingCheck\": {\"result\": \"") + result +
                       "\", \"why\": " + (why.empty() ? std::string("null") : JsonText(why)) + "}";
  return facts;
}
