// Selection with the user's real default LCID under Wine, whose locale follows LANG.
//
//   manifest_locale_select <expected LCID> <expected product code>
//
// Registers one manifest listing an English (1033) and a German (1031) x64 package, takes
// GetUserDefaultLCID as the user's LCID, runs SelectPackage, prints what it saw and chose,
// and exits 0 only when both match the expectations.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "manifest/select.h"
#include "payload/sources.h"

namespace {
void AppendEntry(std::vector<uint8_t>* manifest, uint32_t id, const char* text) {
  size_t length = (std::strlen(text) + 1) * 2;
  size_t at = manifest->size();
  manifest->resize(at + MANIFEST_ENTRY_HEADER_SIZE + length, 0);
  WriteLe32(manifest->data() + at, id);
  WriteLe32(manifest->data() + at + 4, static_cast<uint32_t>(length));
  for (size_t i = 0; text[i]; ++i)
    (*manifest)[at + MANIFEST_ENTRY_HEADER_SIZE + 2 * i] = static_cast<uint8_t>(text[i]);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: manifest_locale_select <lcid> <product code>\n");
    return 2;
  }
  std::vector<uint8_t> manifest;
  AppendEntry(&manifest, 1000, "x64\\1033\\{EN}\\English");
  AppendEntry(&manifest, 2000, "x64\\1031\\{DE}\\Deutsch");

  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.manifest = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, manifest.size()));
  if (!source.manifest) return 3;
  std::memcpy(source.manifest, manifest.data(), manifest.size());
  source.manifestSize = static_cast<uint32_t>(manifest.size());

  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  const SelectionContext context = {static_cast<uint32_t>(GetUserDefaultLCID()), 1};
  const uint32_t userLcid = context.userLcid;
  if (!StatusOk(AppendSource(&gSourceTable, &source))) return 3;

  PackageSelection selection;
  bool chosen = StatusOk(SelectPackage(&context, &selection));
  std::printf("user LCID %u, chosen %s (entry %u, pass %u)\n", userLcid,
              chosen ? selection.productCode : "nothing", selection.entryId, selection.pass);
  bool ok = chosen && userLcid == std::strtoul(argv[1], nullptr, 10) &&
            std::strcmp(selection.productCode, argv[2]) == 0;
  FreeSources(&gSourceTable);
  return ok ? 0 : 1;
}
