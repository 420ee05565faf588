// Writing a setup: containers attached to a stub read before, the result written whole.
//
// ValidMode accepts the three ways of carrying a container: cert-table, extension, append.
// WriteAttached removes every container the stub carries first when `replace` is set,
// attaches `containers` the chosen way (extension takes several, the others exactly one),
// and writes the image to `outPath` (never half-written, fileio.h). A signature the stub's
// decoder would refuse (describe.h) is a warning on stderr unless `quiet`. It reports as
// make, build and attach do: the members "warnings", "out", "size", "containers", "mode",
// "replaced" into the object `json` has open when `json` is given, else one line on stdout
// unless `quiet`.
// It returns the exit code: 0, or 1 after printing the failure.
// WriteAttachedParts does the same for one container built in parts (setup.h) without
// holding it in memory in cert-table and append mode: the stub's bytes, then the container
// copied piece by piece, the PE checksum computed on the way and filled in last.
// WriteContainerFile writes such a container alone, never half-written.
#pragma once
#include <string>
#include <vector>

#include "pack/attach.h"
#include "pack/basestub.h"
#include "pack/json.h"
#include "pack/setup.h"

// True for cert-table, extension and append.
bool ValidMode(const std::string& mode);
// Attaches and writes the setup; the exit code (0, or 1 after printing the failure).
int WriteAttached(const std::string& mode, BaseStub* stub, const std::string& stubPath,
                  const std::string& outPath, const std::vector<Bytes>& containers,
                  const ExtensionOptions& ext, bool replace, bool quiet, JsonWriter* json);
int WriteAttachedParts(const std::string& mode, BaseStub* stub, const std::string& stubPath,
                       const std::string& outPath, const ContainerParts& parts, bool replace,
                       bool quiet, JsonWriter* json);
bool WriteContainerFile(const std::string& path, const ContainerParts& parts, std::string* error);
