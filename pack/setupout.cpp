// Writing a setup (see setupout.h).
#include "pack/setupout.h"

#include <cstdio>

#include "pack/cli.h"
#include "pack/describe.h"
#include "pack/payloads.h"

namespace {
bool AttachOne(const std::string& mode, Bytes* image, const std::vector<Bytes>& containers,
               const ExtensionOptions& ext, std::string* error) {
  if (mode == "extension") return AttachAsExtensions(image, containers, ext, error);
  if (containers.size() != 1) {
    *error = "mode " + mode + " carries exactly one container; use --mode extension for several";
    return false;
  }
  if (mode == "append") return AppendToImage(image, containers[0], error);
  return AttachToCertificateTable(image, containers[0], error);
}
}  // namespace

bool ValidMode(const std::string& mode) {
  return mode == "cert-table" || mode == "extension" || mode == "append";
}

int WriteAttached(const std::string& mode, BaseStub* stub, const std::string& stubPath,
                  const std::string& outPath, const std::vector<Bytes>& containers,
                  const ExtensionOptions& ext, bool replace, bool quiet, JsonWriter* json) {
  std::string error;
  if (replace && !RemoveCarriedPayloads(&stub->image, &error)) return Fail(stubPath + ": " + error);
  if (!AttachOne(mode, &stub->image, containers, ext, &error)) return Fail(stubPath + ": " + error);
  if (!WriteFileReplacing(outPath, stub->image.data(), stub->image.size(), false, false, &error))
    return Fail(error);
  // A signature the stub's decoder refuses: the setup is written, and the warning says why
  // it will not run.
  const std::string tooLarge = SignatureSizeProblem(stub->image);
  if (!tooLarge.empty() && !quiet) std::fprintf(stderr, "warning: %s\n", tooLarge.c_str());
  if (json) {
    JsonField(json, "warnings");
    JsonArray(json);
    if (!tooLarge.empty()) JsonString(json, tooLarge);
    JsonEnd(json);
    JsonField(json, "out");
    JsonString(json, outPath);
    JsonField(json, "size");
    JsonNumber(json, stub->image.size());
    JsonField(json, "containers");
    JsonNumber(json, containers.size());
    JsonField(json, "mode");
    JsonString(json, mode);
    JsonField(json, "replaced");
    JsonBool(json, replace && !stub->payloads.empty());
  } else if (!quiet) {
    std::printf("%s: %zu bytes, %zu container(s) attached (%s)\n", outPath.c_str(),
                stub->image.size(), containers.size(), mode.c_str());
  }
  return 0;
}
