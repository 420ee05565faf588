// Writing a setup (see setupout.h).
#include "pack/setupout.h"

#include <algorithm>
#include <cstdio>

#include "pack/cli.h"
#include "common/format.h"
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

namespace {
// Copies the container behind the bytes already written, the checksum running over both.
bool CopyContainer(const ContainerParts& parts, OutputFile* out, PeChecksum* checksum,
                   std::string* error) {
  Bytes chunk(std::min<uint64_t>(parts.size(), 1u << 20));
  for (uint64_t at = 0; at < parts.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), parts.size() - at));
    if (!ReadContainerParts(parts, at, chunk.data(), n, error) ||
        !WriteOutput(out, chunk.data(), n, error))
      return false;
    if (checksum) UpdatePeChecksum(checksum, chunk.data(), n);
    at += n;
  }
  return true;
}

// The report of WriteAttached.
void ReportSetup(const std::string& outPath, const std::string& mode, uint64_t size, size_t containers,
                 bool replaced, const std::string& tooLarge, bool quiet, JsonWriter* json) {
  if (!tooLarge.empty() && !quiet) std::fprintf(stderr, "warning: %s\n", tooLarge.c_str());
  if (json) {
    JsonField(json, "warnings");
    JsonArray(json);
    if (!tooLarge.empty()) JsonString(json, tooLarge);
    JsonEnd(json);
    JsonField(json, "out");
    JsonString(json, outPath);
    JsonField(json, "size");
    JsonNumber(json, size);
    JsonField(json, "containers");
    JsonNumber(json, containers);
    JsonField(json, "mode");
    JsonString(json, mode);
    JsonField(json, "replaced");
    JsonBool(json, replaced);
  } else if (!quiet) {
    std::printf("%s: %llu bytes, %zu container(s) attached (%s)\n", outPath.c_str(),
                static_cast<unsigned long long>(size), containers, mode.c_str());
  }
}
}  // namespace

bool WriteContainerFile(const std::string& path, const ContainerParts& parts, std::string* error) {
  OutputFile out;
  if (!BeginOutputFile(path, false, false, &out, error)) return false;
  if (!CopyContainer(parts, &out, nullptr, error)) {
    AbandonOutputFile(&out);
    return false;
  }
  return CommitOutputFile(&out, error);
}

int WriteAttachedParts(const std::string& mode, BaseStub* stub, const std::string& stubPath,
                       const std::string& outPath, const ContainerParts& parts, bool replace,
                       bool quiet, JsonWriter* json) {
  std::string error;
  if (mode == "extension") {
    // The container becomes an extension value inside the signature: in memory, as the
    // certificate is encoded whole (the stub's decoder takes signatures up to 64 MiB).
    Bytes container(static_cast<size_t>(parts.size()));
    if (!ReadContainerParts(parts, 0, container.data(), container.size(), &error)) return Fail(error);
    return WriteAttached(mode, stub, stubPath, outPath, {container}, ExtensionOptions(), replace,
                         quiet, json);
  }
  if (replace && !RemoveCarriedPayloads(&stub->image, &error)) return Fail(stubPath + ": " + error);
  Bytes prefix;
  uint32_t checksumOffset = 0;
  if (!AttachedPrefix(stub->image, mode, parts.size(), &prefix, &checksumOffset, &error))
    return Fail(stubPath + ": " + error);
  PeChecksum checksum;
  BeginPeChecksum(&checksum, checksumOffset);
  UpdatePeChecksum(&checksum, prefix.data(), prefix.size());
  OutputFile out;
  if (!BeginOutputFile(outPath, false, false, &out, &error)) return Fail(error);
  uint8_t sum[4];
  bool ok = WriteOutput(&out, prefix.data(), prefix.size(), &error) &&
            CopyContainer(parts, &out, &checksum, &error);
  if (ok) WriteLe32(sum, FinishPeChecksum(&checksum));
  ok = ok && WriteOutputAt(&out, checksumOffset, sum, sizeof sum, &error);
  if (!ok) AbandonOutputFile(&out);
  if (!ok || !CommitOutputFile(&out, &error)) return Fail(error);
  ReportSetup(outPath, mode, prefix.size() + parts.size(), 1, replace && !stub->payloads.empty(),
              "", quiet, json);
  return 0;
}

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
  ReportSetup(outPath, mode, stub->image.size(), containers.size(), replace && !stub->payloads.empty(),
              SignatureSizeProblem(stub->image), quiet, json);
  return 0;
}
