// Taking the packages out of a setup without running it.
//
// PlanUnpack reads the manifest of every source and lays out what `extract` writes: one
// folder per package, named after its product code (when several packages of the setup
// share a product code: <code>-<arch>-<languages>, and the entry id on a further clash),
// holding main.msi (the name the stub gives every MSI; the original file name is not
// stored) and each cabinet under its cabinet-line name. Every name comes from the payload
// and is untrusted: SafeFileName admits only what the stub's IsPlainFileName admits (no
// separators, no characters Windows refuses, no device names such as CON or NUL, no trailing
// dot or blank), at most 255 bytes; a package or cabinet with any other name fails the plan
// as a whole.
// ReadVerifiedRecord finds a record the way the stub does, decodes it (a FileRecord through
// `file`'s segment index when it has one, DecodeFileRecord) and, with a key, checks its
// signature; with `file` (its manifest entry's facts) the bytes must match the entry's
// digest, key or not.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pack/reader.h"

struct UnpackFile {
  uint32_t id;          // FileRecord id in the package's source
  std::string name;     // "main.msi" or the cabinet's name
  RecordDigest digest;  // the entry's digest field (DIGEST_ABSENT when it has none)
  RecordSize size;        // its size field
  EntrySegments segments;  // its segments field
};

struct UnpackPackage {
  size_t source;
  uint32_t id;
  std::string architecture, languages, productCode, productName;
  std::string folder;
  std::vector<UnpackFile> files;  // main.msi first
};

bool SafeFileName(const std::string& name);
bool PlanUnpack(const std::vector<FoundSource>& sources, std::vector<UnpackPackage>* plan,
                std::string* error);
bool ReadVerifiedRecord(const FoundSource& source, bool manifest, uint32_t id, EVP_PKEY* key,
                        Bytes* decoded, std::string* error, const UnpackFile* file = nullptr);
