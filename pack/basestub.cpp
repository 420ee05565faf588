// The stub a setup is made from (see basestub.h).
#include "pack/basestub.h"

#include "pack/attach.h"
#include "pack/payloads.h"

bool ReadBaseStub(const std::string& path, const std::string& mode, BaseStub* stub,
                  std::string* error) {
  PeImage pe;
  if (!ReadWholeFile(path, 0xFFFFFFFFu, &stub->image, error)) return false;
  if (!ReadPeImage(stub->image, &pe, error)) {
    *error = path + ": " + *error;
    return false;
  }
  if (mode != "append" && pe.tableSize == 0) {
    *error = path + ": the stub is not signed, and mode " + mode +
             " carries the payload in its signature. Sign the stub first (osslsigncode sign ... or "
             "signtool sign ...), then pack the signed stub; --mode append makes a setup that must "
             "stay unsigned (signing it afterwards hides the payload from the stub)";
    return false;
  }
  if (mode == "append" && pe.tableSize != 0) {
    *error = path + ": the stub is signed; --mode append would break its signature. Use "
             "--mode cert-table or extension with a signed stub (the setup keeps its signature); "
             "append only to an unsigned stub, for a setup that stays unsigned: signing an "
             "appended setup puts the signature behind the payload, and the stub no longer finds "
             "it (exit code 1168)";
    return false;
  }
  ReadStubKey(stub->image, &stub->key);
  if (!FindCarriedPayloads(stub->image, &stub->payloads, error, &stub->single)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool CheckBaseStub(const BaseStub& stub, const std::string& path, const std::string& mode,
                   EVP_PKEY* key, const std::string& keyPath, bool allowDevelopment,
                   ExistingPayload existing, std::string* error) {
  if (!CheckKeyAgainstStub(stub.key, path, key, keyPath, allowDevelopment, error)) return false;
  if (!stub.payloads.empty() && existing == ExistingPayload::REFUSE) {
    std::string list;
    for (const std::string& p : stub.payloads) list += (list.empty() ? "" : "; ") + p;
    *error = path + ": already carries a payload (" + list + "): the stub would still find the "
             "old packages. Start from the bare signed stub, or give --replace to remove every "
             "old container first";
    return false;
  }
  if (existing == ExistingPayload::KEEP && stub.single && mode != "extension") {
    *error = path + ": carries a container behind its signature or at its end already, and mode " +
             mode + " would replace it, not add to it. Use --mode extension to add, or --replace";
    return false;
  }
  return true;
}
