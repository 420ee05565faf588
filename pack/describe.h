// What inspect and verify say about a setup as a whole, besides its records: the payload key
// its stub trusts (fingerprint.h) and whether Windows would accept its certificate table
// with the certificate padding check on (payloads.h). DescribeSetup gives both as lines
// for people ("stub key: ...", "certificate padding check: ...") and as facts that
// WriteSetupFacts writes as JSON members of the open object ("stubKey": {"fingerprint",
// "development"} or null, "stubVersion": "a.b.c.d" or null, "paddingCheck": {"result", "why"}). WriteManifestEntry writes one
// manifest entry as the tool's JSON shows it: {"id", "text"}.
// SignatureSizeProblem says when the PKCS#7 signature of a signed image (with the
// containers carried as certificate extensions inside it) is larger than
// SIGNATURE_DECODER_LIMIT, the most the stub's message decoder takes: the stub then exits
// 0x80093104 (CRYPT_E_ASN1_LARGE) before it finds any payload. Measured under Wine: an
// extension container of 67,100,013 bytes installs, one of 67,107,013 bytes fails (the
// signature around it passes 64 MiB). "" for an image within the limit or not signed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/json.h"

enum : uint64_t { SIGNATURE_DECODER_LIMIT = 64ull << 20 };

std::string SignatureSizeProblem(const Bytes& image);

// What DescribeSetup found.
struct SetupFacts {
  std::vector<std::string> lines;
  bool keyKnown = false;      // the stub's key resource was found and read
  std::string fingerprint;    // its fingerprint in hex
  bool development = false;   // it is the development key of the stub's build
  std::string version;        // the stub's file version ("a.b.c.d"), "" when it has none
  std::string padding;        // "unsigned", "passes" or "fails"
  std::string paddingWhy;     // why it fails ("" otherwise)
};

// The stub key and padding facts of `file` (any file: a non-PE one has neither).
SetupFacts DescribeSetup(const Bytes& file);
// The "stubKey" and "paddingCheck" members, into the object `json` has open.
void WriteSetupFacts(JsonWriter* json, const SetupFacts& facts);
// The entry `id` with its UTF-8 `text` as the next value of `json`.
void WriteManifestEntry(JsonWriter* json, uint32_t id, const std::string& text);
