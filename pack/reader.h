// Reading setups as the stub does, for inspect, verify and select.
//
// DiscoverSources finds the containers of a file the way the stub's discovery does: one per
// non-critical PAYLOAD_EXTENSION_OID extension of the certificates in the first certificate
// table entry, in signature order; when there is none, the whole file is the one container.
// Critical extensions are listed as notes; an extension's container is found in the file's
// bytes too, to tell where its records lie (`fileOffset`). A certificate entry that is no PKCS#7 message
// stops discovery (the stub stops there too). ListRecords takes the stub's own walk over a
// container's trailers (StepBackRecord) and lists every record up to the ManifestRecord, with
// a note on each trailer stepped over and on why the walk ended. IndexRecords makes of that one walk the id -> record index every
// lookup of the tool uses (a setup of tens of thousands of records costs one walk, not one per
// record); each FoundSource carries its container's index, built once as it is made.
// All reads stay inside the given bytes.
#pragma once
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "manifest/digest.h"
#include "manifest/entry.h"
#include "manifest/segments.h"
#include "manifest/size.h"
#include "pack/fileio.h"

struct RecordInfo {
  bool manifest;
  uint32_t id;
  uint32_t dataOffset;
  uint32_t dataSize;
  uint32_t signatureOffset;
  uint32_t signatureSize;
};

// Records from the end of the container to its start; `ending` says why the walk stopped,
// and is empty when it stopped at a well-formed ManifestRecord.
void ListRecords(const uint8_t* container, uint32_t size, std::vector<RecordInfo>* records,
                 std::vector<std::string>* skipped, std::string* ending);

// One walk of a container (ListRecords) and, for every id, the record the stub's FindRecord
// finds: of several FileRecords with one id the one nearest the end; the ManifestRecord when
// the walk reached a well-formed one. Offsets only, so the index stays valid when the
// container's bytes move.
struct RecordIndex {
  std::vector<RecordInfo> records;  // from the end to the start, as ListRecords lists them
  std::vector<std::string> skipped;
  std::string ending;
  std::map<uint32_t, size_t> files;  // id -> its reachable FileRecord in `records`
};
void IndexRecords(const uint8_t* container, uint32_t size, RecordIndex* index);
// The record FindRecord finds for the manifest type (`manifest`) or the file type and `id`,
// or null where it finds none.
const RecordInfo* LookUpRecord(const RecordIndex& index, bool manifest, uint32_t id);

// A container: `copy` (an extension's value) or, when `file` is not null, that whole file;
// its index is built as the source is made.
struct FoundSource {
  FoundSource(std::string origin, Bytes copy, const Bytes* file);

  std::string origin;  // "certificate 2, extension 1" or "whole file"
  Bytes copy;          // an extension's value
  const Bytes* file;   // the whole file, when it is the container
  RecordIndex index;   // of the container
  int64_t fileOffset = -1;  // where the container's bytes lie in the file; -1 where unknown

  const uint8_t* data() const { return file ? file->data() : copy.data(); }
  uint32_t size() const { return static_cast<uint32_t>(file ? file->size() : copy.size()); }
};

bool DiscoverSources(const Bytes& file, std::vector<FoundSource>* sources,
                     std::vector<std::string>* notes, std::string* error);

// Decodes a record's stored bytes with the stub's inflater; false with a reason on failure.
bool DecodeRecord(const uint8_t* stored, uint32_t size, Bytes* decoded, std::string* error);

// An entry's segments field (manifest/segments.h) as the tool keeps it.
struct EntrySegments {
  uint32_t state = SEGMENTS_ABSENT;  // SEGMENTS_ABSENT, _PRESENT or _MALFORMED
  uint32_t segmentSize = 0;
  std::vector<uint32_t> storedEnd;
};
// Reads a segments field's text.
EntrySegments ReadEntrySegmentsText(const std::string& field);
// Decodes a FileRecord as the stub does: segment by segment with the stub's segment decoder
// when its entry carries an index (which must then match the record, and `size` must be
// present), else as one stream (DecodeRecord). A mismatching index fails as corrupt.
bool DecodeFileRecord(const uint8_t* stored, uint32_t storedSize, const EntrySegments& segments,
                      const RecordSize& size, Bytes* decoded, std::string* error);

struct ManifestText {
  uint32_t id;
  std::string text;                  // UTF-8, up to the first NUL
  std::vector<std::string> fields;   // as the stub splits them (ReadManifestFields), UTF-8
  uint32_t fieldCount;               // all fields; `fields` keeps the first ENTRY_MAX_FIELDS
  bool exact;                        // every kept field converted exactly
};
// A manifest text in one of the two shapes the stub reads: a cabinet line ("cab" in any case
// and two more fields) or a package descriptor (four fields), either one followed by at most
// a digest field, behind that a size field and behind that a segments field. `fields` holds
// the regular fields, `digest`, `size` and `segments` the others as the stub reads them.
// False for anything else, a malformed digest, size or segments field included.
struct EntryShape {
  bool cabinet;
  std::vector<std::string> fields;
  RecordDigest digest;
  RecordSize size;
  EntrySegments segments;
};
bool ReadEntryShape(const ManifestText& entry, EntryShape* shape);

// Parses decoded manifest bytes; false (with the entries read so far) when it is malformed.
bool ParseManifest(const Bytes& manifest, std::vector<ManifestText>* entries, std::string* error);

struct RecordProblem {
  std::string source;
  std::string what;
};
// Checks every record of every source: decoding and the signature with `key`, that the
// stub's lookup reaches it, that every manifest entry has its FileRecord, and that the record
// matches the entry's digest field where there is one.
void VerifySources(const std::vector<FoundSource>& sources, EVP_PKEY* key, uint32_t* checked,
                   std::vector<RecordProblem>* problems);
// UTF-16LE code units as UTF-8 (unpaired surrogates become U+FFFD).
std::string Utf16LeToUtf8(const uint8_t* p, size_t units);
