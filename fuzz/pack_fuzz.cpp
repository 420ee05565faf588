// Fuzz target: the packaging tool's reader, as inspect and verify run it, on an arbitrary file.
//
// Input: the file. DiscoverSources, then for every source ListRecords, the manifest's
// decoding and parsing, and VerifySources with the built-in public key. The records listed
// must lie inside their container, in order, and must agree with the stub's own lookup:
// the manifest the walk ends at is the one FindRecord finds, and each listed file record id
// is found by FindRecord at the place of its first (latest) listing, and by the source's
// record index at the same place. The input is also parsed as a decoded manifest: a whole
// parse accounts for every byte, and no text keeps a NUL.
// The stub facts inspect shows (the key resource, the carried payloads, the padding check)
// are read from it too; --replace's removal must find nothing left afterwards.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "pack/fingerprint.h"
#include "pack/payloads.h"
#include "pack/reader.h"
#include "payload/container.h"
#include "payload/record.h"

namespace {
EVP_PKEY* BuiltInKey() {
  static EVP_PKEY* key = [] {
    uint8_t blob[PAYLOAD_PUBLIC_KEY_SIZE];
    AssemblePayloadPublicKey(blob);
    const unsigned char* cursor = blob;
    return b2i_PublicKey(&cursor, static_cast<long>(sizeof(blob)));
  }();
  return key;
}

void CheckRecords(const uint8_t* container, uint32_t size, const std::vector<RecordInfo>& records,
                  const std::string& ending, const RecordIndex& index) {
  uint64_t limit = size;  // records are listed from the end backwards
  for (size_t i = 0; i < records.size(); ++i) {
    const RecordInfo& r = records[i];
    FUZZ_CHECK(static_cast<uint64_t>(r.dataOffset) + r.dataSize == r.signatureOffset);
    FUZZ_CHECK(static_cast<uint64_t>(r.signatureOffset) + r.signatureSize + RECORD_TRAILER_SIZE <=
               limit);
    limit = r.dataOffset;
    FUZZ_CHECK(r.manifest == (i + 1 == records.size() && ending.empty()));
    RecordSpan span;
    const Status found =
        FindRecord(container, size, r.manifest ? RECORD_TYPE_MANIFEST : RECORD_TYPE_FILE, r.id,
                   &span);
    bool latest = true;
    for (size_t k = 0; k < i; ++k)
      latest = latest && !(records[k].id == r.id && records[k].manifest == r.manifest);
    if (r.manifest || latest) {
      FUZZ_CHECK(StatusOk(found));
      FUZZ_CHECK(span.data == container + r.dataOffset && span.dataSize == r.dataSize);
      FUZZ_CHECK(span.signature == container + r.signatureOffset &&
                 span.signatureSize == r.signatureSize);
    }
    // The tool's index answers as FindRecord does.
    const RecordInfo* indexed = LookUpRecord(index, r.manifest, r.id);
    FUZZ_CHECK((indexed != nullptr) == StatusOk(found));
    if (indexed) FUZZ_CHECK(container + indexed->dataOffset == span.data);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  {
    StubKey key;
    const bool read = ReadStubKey(file, &key);
    FUZZ_CHECK(!read || (key.found && key.problem.empty()));
    std::string why, error;
    CertificatePadding(file, &why);
    std::vector<std::string> found;
    Bytes image = file;
    if (FindCarriedPayloads(file, &found, &error) && RemoveCarriedPayloads(&image, &error)) {
      FUZZ_CHECK(FindCarriedPayloads(image, &found, &error));
      FUZZ_CHECK(found.empty());
    }
  }
  {
    std::vector<ManifestText> entries;
    std::string why;
    const bool whole = ParseManifest(file, &entries, &why);
    FUZZ_CHECK(whole == why.empty());
    size_t minimum = 0;
    for (const ManifestText& e : entries) {
      FUZZ_CHECK(e.text.find('\0') == std::string::npos);
      minimum += MANIFEST_ENTRY_HEADER_SIZE;
    }
    FUZZ_CHECK(minimum <= size);
    if (whole) FUZZ_CHECK(size == 0 || !entries.empty());
  }
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  std::string error;
  if (!DiscoverSources(file, &sources, &notes, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(!sources.empty());
  for (const FoundSource& s : sources) {
    if (s.file) FUZZ_CHECK(s.data() == file.data() && s.size() == file.size());
    std::vector<RecordInfo> records;
    std::vector<std::string> skipped;
    std::string ending;
    ListRecords(s.data(), s.size(), &records, &skipped, &ending);
    CheckRecords(s.data(), s.size(), records, ending, s.index);
    FUZZ_CHECK(s.index.records.size() == records.size() && s.index.ending == ending);
    if (!ending.empty()) continue;
    const RecordInfo& m = records.back();
    Bytes manifest;
    if (!DecodeRecord(s.data() + m.dataOffset, m.dataSize, &manifest, &error)) continue;
    std::vector<ManifestText> entries;
    ParseManifest(manifest, &entries, &error);
  }
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  FUZZ_CHECK(BuiltInKey() != nullptr);
  VerifySources(sources, BuiltInKey(), &checked, &problems);
  return 0;
}
