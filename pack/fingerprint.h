// The payload key a stub trusts, as the stub's resources tell it.
//
// A stub built by this project carries an RT_RCDATA resource named STUB_KEY_RESOURCE_NAME of
// STUB_KEY_RESOURCE_SIZE bytes: the magic "MSKF", a u32 LE version (1), u32 LE flags
// (STUB_KEY_DEVELOPMENT: the key is the development key the build generated) and the
// SHA-256 of the 276-byte PUBLICKEYBLOB compiled into it (its fingerprint). The build writes
// it (cmake/PublicKey.cmake); the stub never reads it.
//
// ReadStubKey finds that resource in a PE32+ image through the resource directory (every
// offset checked against the image); `found` is false for a stub without it (an older
// stub, or another program). KeyFingerprint hashes the PUBLICKEYBLOB of a key (public or
// private). CheckKeyAgainstStub is the tool's one rule for packing with a key: it refuses
// a key whose fingerprint differs from the stub's (naming both), and a development-key stub
// unless `allowDevelopment`; a stub without the resource passes (nothing to compare).
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "pack/fileio.h"

enum : uint32_t {
  STUB_KEY_RESOURCE_SIZE = 44,
  STUB_KEY_RESOURCE_VERSION = 1,
  STUB_KEY_DEVELOPMENT = 1,
  KEY_FINGERPRINT_SIZE = 32,
};
static const char STUB_KEY_RESOURCE_NAME[] = "MSISTUB_KEY";
static const char STUB_KEY_RESOURCE_MAGIC[4] = {'M', 'S', 'K', 'F'};

struct StubKey {
  bool found = false;
  bool development = false;
  uint8_t fingerprint[KEY_FINGERPRINT_SIZE] = {};
  std::string problem;  // why a resource that is there could not be read ("" otherwise)
};

bool ReadStubKey(const Bytes& image, StubKey* key);
// The file version of the image's version resource (RT_VERSION) as "a.b.c.d"; false (and
// "") when it has none.
bool ReadStubVersion(const Bytes& image, std::string* version);
bool KeyFingerprint(EVP_PKEY* key, uint8_t fingerprint[KEY_FINGERPRINT_SIZE], std::string* error);
std::string FingerprintHex(const uint8_t fingerprint[KEY_FINGERPRINT_SIZE]);
bool CheckKeyAgainstStub(const StubKey& stub, const std::string& stubPath, EVP_PKEY* key,
                         const std::string& keyPath, bool allowDevelopment, std::string* error);
