// A setup or container opened for the commands that read one (see setupfile.h).
#include "pack/setupfile.h"

#include "common/format.h"
#include "pack/attach.h"
#include "payload/container.h"

bool OpenSetup(const std::string& path, OpenedSetup* setup, std::string* error) {
  if (!ReadWholeFile(path, 0xFFFFFFFFu, &setup->file, error)) return false;
  if (DiscoverSources(setup->file, &setup->sources, &setup->notes, error)) return true;
  *error = path + ": " + *error;
  return false;
}

std::string SignedAfterAppendHint(const Bytes& file, const std::vector<FoundSource>& sources) {
  PeImage pe;
  std::string ignored;
  uint32_t start = 0;
  if (sources.size() != 1 || sources[0].file == nullptr || !ReadPeImage(file, &pe, &ignored) ||
      pe.tableSize == 0 || pe.tableOffset > file.size())
    return "";
  // Signing tools pad the file with up to 7 zero bytes so the table starts 8-byte aligned.
  bool found = false;
  for (uint32_t end = pe.tableOffset; !found && end > 0 && pe.tableOffset - end < 8; --end) {
    found = FindContainerStart(file.data(), end, &start);
    if (file[end - 1] != 0) break;
  }
  if (!found) return "";
  RecordSpan span;
  if (StatusOk(FindRecord(file.data(), static_cast<uint32_t>(file.size()), RECORD_TYPE_MANIFEST,
                          MANIFEST_RECORD_ID, &span)))
    return "";
  return "a payload ends where the signature begins: the file was signed after the payload was "
         "appended, and the stub cannot find it. Sign the bare stub, then attach (cert-table or "
         "extension)";
}
