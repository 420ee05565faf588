// Fuzz target: package selection and file set assembly over an arbitrary manifest.
//
// Input: 4 bytes user LCID (LE), 1 byte options (bit 0: 64-bit platform; bit 1: register the
// manifest in a second source as well; bit 2: assemble requiring digest fields; bit 3: read every
// planned file back), 1 byte allocation budget (0: no injected failure,
// n: the n-th allocation of selection and assembly and all later ones fail), then the
// manifest. Each source's container is built here: the manifest record and a plain,
// unsigned FileRecord (4 bytes: its id) for every entry id the manifest holds, so that
// cabinet lines reach their records. SelectPackage runs its passes with MatchPackageEntry,
// and AssembleFileSet walks again with AddCabinetItems; a chosen package must be a proper
// one, every item name must be a NUL-terminated plain file name, and after the items are
// released nothing may stay allocated.
#include <cstring>
#include <vector>

#include "common/winseam.h"
#include "fuzz/fuzz_input.h"
#include "manifest/fileread.h"
#include "manifest/fileset.h"
#include "manifest/select.h"
#include "payload/sources.h"

namespace {
void AppendPlainRecord(std::vector<uint8_t>* c, const uint8_t type[16], uint32_t id,
                       const uint8_t* data, size_t size) {
  c->insert(c->end(), data, data + size);
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, 0, static_cast<uint32_t>(size));
  c->insert(c->end(), trailer, trailer + sizeof(trailer));
}

uint8_t* LocalCopy(const uint8_t* data, size_t size) {
  auto* block = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, size));
  FUZZ_CHECK(block != nullptr);
  if (size) std::memcpy(block, data, size);
  return block;
}

bool Terminated(const char* field, size_t capacity) { return strnlen(field, capacity) < capacity; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint32_t lcid = in.Le32();
  const uint8_t options = in.Byte();
  const uint8_t budget = in.Byte();
  if (in.size > 0xFFFFFFFFu) return 0;
  const uint8_t* manifest = in.data;
  const uint32_t manifestSize = static_cast<uint32_t>(in.size);

  std::vector<uint8_t> container;
  AppendPlainRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, manifestSize);
  for (uint64_t at = 0; at + MANIFEST_ENTRY_HEADER_SIZE <= manifestSize;) {
    const uint32_t id = ReadLe32(manifest + at);
    const uint64_t end = at + MANIFEST_ENTRY_HEADER_SIZE + ReadLe32(manifest + at + 4);
    if (end > manifestSize) break;
    uint8_t content[4];
    WriteLe32(content, id);
    AppendPlainRecord(&container, RECORD_TYPE_FILE, id, content, sizeof(content));
    at = end;
  }

  const long liveBefore = HostLiveAllocations();
  std::memset(&gSourceTable, 0, sizeof(gSourceTable));
  const SelectionContext context = {lcid, static_cast<uint32_t>(options & 1)};
  const int sourceCount = (options & 2) ? 2 : 1;
  for (int s = 0; s < sourceCount; ++s) {
    PayloadSource source;
    std::memset(&source, 0, sizeof(source));
    source.containerData = LocalCopy(container.data(), container.size());
    source.containerSize = static_cast<uint32_t>(container.size());
    source.manifest = LocalCopy(manifest, manifestSize);
    source.manifestSize = manifestSize;
    source.flags = 0;  // plain and unsigned: the records built above load as they are
    FUZZ_CHECK(StatusOk(AppendSource(&source)));
  }
  const long liveSources = HostLiveAllocations();

  HostFailAllocationAfter(budget == 0 ? -1 : budget - 1);
  PackageSelection selection;
  const Status selected = SelectPackage(&context, &selection);
  const bool chosen = StatusOk(selected);
  // No choice is 13, or a walk's failure (13 malformed, 8 without memory).
  FUZZ_CHECK(chosen || StatusCode(selected) == ERROR_INVALID_DATA ||
             StatusCode(selected) == ERROR_NOT_ENOUGH_MEMORY);
  FUZZ_CHECK(chosen == (selection.pass != SELECTION_PASS_NONE));
  FileSetItem* items = nullptr;
  int32_t itemCount = 0;
  bool assembled = false;
  if (chosen) {
    FUZZ_CHECK(selection.entryId != 0);
    FUZZ_CHECK(selection.sourceIndex >= 0 && selection.sourceIndex < sourceCount);
    FUZZ_CHECK(Terminated(selection.architecture, DESCRIPTOR_FIELD_SIZE));
    FUZZ_CHECK(Terminated(selection.languages, DESCRIPTOR_FIELD_SIZE));
    FUZZ_CHECK(Terminated(selection.productCode, DESCRIPTOR_FIELD_SIZE));
    FUZZ_CHECK(Terminated(selection.productName, DESCRIPTOR_FIELD_SIZE));
    FUZZ_CHECK(IsPlainFileName(selection.productCode));
    const uint32_t flags = (options & 4) ? FILESET_REQUIRE_DIGESTS : 0u;
    assembled = StatusOk(AssembleFileSet(&gSourceTable, &selection, &items, &itemCount, flags));
  } else {
    FUZZ_CHECK(selection.entryId == 0);
  }
  HostFailAllocationAfter(-1);

  FUZZ_CHECK(itemCount >= 0 && (itemCount == 0) == (items == nullptr));
  if (assembled) {
    FUZZ_CHECK(itemCount >= 1);
    FUZZ_CHECK(std::strcmp(items[0].name, MANIFEST_MSI_NAME) == 0);
  }
  for (int32_t i = 0; i < itemCount; ++i) {
    FUZZ_CHECK(Terminated(items[i].name, ITEM_PATH_SIZE));
    if (assembled) {
      FUZZ_CHECK(IsPlainFileName(items[i].name));
      FUZZ_CHECK(items[i].place.dataSize == 4);
      // Every record holds its id; a plan may still fail to read where the manifest's
      // digest or size fields do not fit it.
      if (options & 8) {
        uint8_t got[4] = {};
        uint32_t n = 0;
        struct Sink {
          uint8_t* got;
          uint32_t* n;
        } sink = {got, &n};
        const Status read = ReadPlannedFile(
            &gSourceTable, &items[i],
            [](void* user, const uint8_t* data, uint32_t size) {
              Sink* s = static_cast<Sink*>(user);
              for (uint32_t k = 0; k < size && *s->n < 4; ++k) s->got[(*s->n)++] = data[k];
              return true;
            },
            &sink);
        if (StatusOk(read)) FUZZ_CHECK(n == 4 && ReadLe32(got) == items[i].recordId);
      }
    }
  }
  FreeFileSet(items, itemCount);
  FUZZ_CHECK(HostLiveAllocations() == liveSources);
  FreeSources();
  FUZZ_CHECK(HostLiveAllocations() == liveBefore);
  return 0;
}
