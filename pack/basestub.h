// The stub a setup is made from, read once and checked before any work.
//
// ReadBaseStub reads the stub (at most 4 GiB - 1 bytes), checks that it is a PE32+ image
// that can take a container the chosen way (signed for cert-table and extension, unsigned
// for append), and reads the key it trusts (fingerprint.h) and the containers it already
// carries (payloads.h). CheckBaseStub then refuses, with what to do: a key that is not the
// one the stub trusts, a development-key stub without `allowDevelopment`, and a stub that
// already carries a payload -- unless `existing` is REPLACE (every old container is removed
// when attaching) or KEEP (attach adds to them, for setups with several sources; refused in
// cert-table and append mode when the stub's one such container would be replaced).
#pragma once
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/fingerprint.h"

struct BaseStub {
  Bytes image;
  StubKey key;
  std::vector<std::string> payloads;  // the containers it carries, in words
  bool single = false;                 // one of them is behind the signature or appended
};

enum class ExistingPayload { REFUSE, REPLACE, KEEP };

bool ReadBaseStub(const std::string& path, const std::string& mode, BaseStub* stub,
                  std::string* error);
bool CheckBaseStub(const BaseStub& stub, const std::string& path, const std::string& mode,
                   EVP_PKEY* key, const std::string& keyPath, bool allowDevelopment,
                   ExistingPayload existing, std::string* error);
