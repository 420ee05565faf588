// Reading setups as the stub does (see reader.h).
#include "pack/reader.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "common/chars.h"
#include "common/format.h"
#include "common/winseam.h"
#include "pack/keys.h"
#include "pack/text.h"
#include "pack/writer.h"
#include "payload/container.h"
#include "payload/record.h"
#include "payload/segment.h"
#include "payload/sources.h"

namespace {
// Where `needle` lies in [from, end): the value of an extension sits in the signature's DER
// as it is. A hostile file may repeat a prefix many times, so the search gives up after a
// few places that match the prefix but not the rest (the offset is then unknown).
const uint8_t* FindBytes(const uint8_t* from, const uint8_t* end, const Bytes& needle) {
  const size_t prefix = std::min<size_t>(needle.size(), 64);
  for (unsigned tries = 0; prefix && tries < 16 && static_cast<size_t>(end - from) >= needle.size(); ++tries) {
    from = std::search(from, end - needle.size() + prefix, needle.begin(), needle.begin() + prefix);
    if (from == end - needle.size() + prefix) return nullptr;
    if (std::equal(needle.begin(), needle.end(), from)) return from;
    ++from;
  }
  return nullptr;
}

std::string RecordName(const RecordInfo& r) {
  return r.manifest ? "manifest record" : "file record " + std::to_string(r.id);
}
}  // namespace

std::string Utf16LeToUtf8(const uint8_t* p, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = ReadLe16(p + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t d = ReadLe16(p + 2 * (i + 1));
      if (d >= 0xDC00 && d <= 0xDFFF) c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00), ++i;
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    char bytes[4];
    out.append(bytes, EncodeUtf8(c, bytes));
  }
  return out;
}

FoundSource::FoundSource(std::string origin_, Bytes copy_, const Bytes* file_)
    : origin(std::move(origin_)), copy(std::move(copy_)), file(file_) {
  IndexRecords(data(), size(), &index);
}

bool DiscoverSources(const Bytes& file, std::vector<FoundSource>* sources,
                     std::vector<std::string>* notes, std::string* error) {
  sources->clear();
  if (file.size() > 0xFFFFFFFFu) {
    *error = "larger than 4 GiB - 1 bytes; the stub could not read it";
    return false;
  }
  const uint32_t size = static_cast<uint32_t>(file.size());
  const uint8_t* content = nullptr;
  uint32_t contentSize = 0;
  if (LocateCertificateEntry(file.data(), size, &content, &contentSize)) {
    const unsigned char* cursor = content;
    PKCS7* p7 = d2i_PKCS7(nullptr, &cursor, contentSize);
    // A signedData content type may come without its content: no SignedData to read.
    if (!p7 || !PKCS7_type_is_signed(p7) || !p7->d.sign) {
      PKCS7_free(p7);
      ERR_clear_error();
      *error = "the certificate table's first entry is no PKCS#7 signature; the stub stops here";
      return false;
    }
    STACK_OF(X509)* certs = p7->d.sign->cert;
    const int count = certs ? sk_X509_num(certs) : 0;
    const uint8_t* searchFrom = content;
    for (int c = 0; c < count; ++c) {
      X509* cert = sk_X509_value(certs, c);
      const int extensions = X509_get_ext_count(cert);
      for (int e = 0; e < extensions; ++e) {
        X509_EXTENSION* ext = X509_get_ext(cert, e);
        char oid[128];
        if (OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(ext), 1) <= 0 ||
            std::strcmp(oid, PAYLOAD_EXTENSION_OID) != 0)
          continue;
        const std::string where =
            "certificate " + std::to_string(c + 1) + ", extension " + std::to_string(e + 1);
        if (X509_EXTENSION_get_critical(ext)) {
          notes->push_back(where + ": payload extension marked critical; the stub passes it over");
          continue;
        }
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        const uint8_t* bytes = ASN1_STRING_get0_data(value);
        FoundSource found{where, Bytes(bytes, bytes + ASN1_STRING_length(value)), nullptr};
        const uint8_t* at = FindBytes(searchFrom, content + contentSize, found.copy);
        if (at) {
          found.fileOffset = at - file.data();
          searchFrom = at + found.copy.size();
        }
        sources->push_back(std::move(found));
      }
    }
    PKCS7_free(p7);
  }
  if (sources->empty()) sources->push_back({"whole file", Bytes(), &file});
  if (sources->size() == 1 && sources->front().file) sources->front().fileOffset = 0;
  return true;
}

void ListRecords(const uint8_t* container, uint32_t size, std::vector<RecordInfo>* records,
                 std::vector<std::string>* skipped, std::string* ending) {
  records->clear();
  ending->clear();
  // The stub's own walk, step by step (StepBackRecord), with what each step found in words.
  uint32_t pos = size;
  RecordStep step;
  for (bool more = true; more;) {
    more = StepBackRecord(container, &pos, &step);
    const std::string at = std::to_string(step.trailerAt);
    const std::string file = "file record " + std::to_string(step.id) + " at offset " + at;
    switch (step.kind) {
      case RECORD_STEP_FILE:
      case RECORD_STEP_MANIFEST: {
        RecordInfo r{};
        r.manifest = step.kind == RECORD_STEP_MANIFEST;
        r.id = step.id;
        r.dataOffset = static_cast<uint32_t>(step.span.data - container);
        r.dataSize = step.span.dataSize;
        r.signatureOffset = static_cast<uint32_t>(step.span.signature - container);
        r.signatureSize = step.span.signatureSize;
        records->push_back(r);
        break;
      }
      case RECORD_STEP_SIGNATURE_TOO_LARGE:
        skipped->push_back(file + ": signature size too large; stepped over");
        break;
      case RECORD_STEP_DATA_TOO_LARGE:
        skipped->push_back(file + ": data size too large; stepped over");
        break;
      case RECORD_STEP_END_NO_ROOM:
        *ending = "the walk ran out of bytes before a manifest record";
        break;
      case RECORD_STEP_END_BAD_MANIFEST:
        *ending = "the manifest record's sizes do not fit in front of its trailer (offset " + at + ")";
        break;
      default:
        *ending = "an unknown trailer type at offset " + at + " ends the walk before any manifest record";
        break;
    }
  }
}

void IndexRecords(const uint8_t* container, uint32_t size, RecordIndex* index) {
  index->skipped.clear();
  index->files.clear();
  ListRecords(container, size, &index->records, &index->skipped, &index->ending);
  // Listed from the end: the first record of an id is the one FindRecord stops at.
  for (size_t i = 0; i < index->records.size(); ++i)
    if (!index->records[i].manifest) index->files.emplace(index->records[i].id, i);
}

const RecordInfo* LookUpRecord(const RecordIndex& index, bool manifest, uint32_t id) {
  if (manifest) {
    // Only a well-formed ManifestRecord ends the walk without a reason, and it is listed last.
    if (!index.ending.empty() || index.records.empty()) return nullptr;
    const RecordInfo& last = index.records.back();
    return last.manifest && last.id == id ? &last : nullptr;
  }
  const auto found = index.files.find(id);
  return found == index.files.end() ? nullptr : &index.records[found->second];
}

bool DecodeRecord(const uint8_t* stored, uint32_t size, Bytes* decoded, std::string* error) {
  uint8_t* out = nullptr;
  uint32_t outSize = 0;
  const Status status = InflateRecord(stored, size, &out, &outSize);
  if (!StatusOk(status)) {
    *error = StatusCode(status) == ERROR_NOT_ENOUGH_MEMORY
                 ? "out of memory while inflating"
                 : "the zlib stream is corrupt, truncated or needs a dictionary";
    return false;
  }
  decoded->assign(out, out + outSize);
  LocalFree(out);
  return true;
}

EntrySegments ReadEntrySegmentsText(const std::string& field) {
  EntrySegments out;
  SegmentIndex index{};
  ReadSegmentsField(field.c_str(), &out.state, &index);
  if (out.state == SEGMENTS_PRESENT) {
    out.segmentSize = index.segmentSize;
    out.storedEnd.assign(index.storedEnd, index.storedEnd + index.count);
  }
  FreeSegmentIndex(&index);
  return out;
}

bool DecodeFileRecord(const uint8_t* stored, uint32_t storedSize, const EntrySegments& segments,
                      const RecordSize& size, Bytes* decoded, std::string* error) {
  if (segments.state == SEGMENTS_ABSENT) return DecodeRecord(stored, storedSize, decoded, error);
  if (segments.state != SEGMENTS_PRESENT || size.state != SIZE_PRESENT) {
    *error = std::string("corrupt: the entry's ") + RECORD_SEGMENTS_PREFIX + " field " +
             (segments.state != SEGMENTS_PRESENT ? "is malformed" : "comes without a size field") +
             " (the stub fails the record with 13)";
    return false;
  }
  const SegmentIndex index{segments.segmentSize, static_cast<uint32_t>(segments.storedEnd.size()),
                           const_cast<uint32_t*>(segments.storedEnd.data())};
  if (!StatusOk(CheckSegmentIndex(&index, storedSize, size.bytes))) {
    *error = "corrupt: the entry's segment index does not fit the record (" +
             std::to_string(index.count) + " segments for " + std::to_string(size.bytes) +
             " bytes, " + std::to_string(storedSize) + " stored; the stub fails it with 13)";
    return false;
  }
  try {
    decoded->assign(size.bytes, 0);
  } catch (const std::bad_alloc&) {
    *error = "out of memory for " + std::to_string(size.bytes) + " decoded bytes";
    return false;
  }
  uint8_t none[1];
  const Status status = DecodeSegmentedRecord(stored, storedSize, &index, size.bytes,
                                              decoded->empty() ? none : decoded->data());
  if (StatusOk(status)) return true;
  *error = StatusCode(status) == ERROR_NOT_ENOUGH_MEMORY
               ? "out of memory while decoding its segments"
               : "corrupt: a segment does not decode to its length or does not end where the "
                 "entry's segment index says (the stub fails it with 13)";
  return false;
}

bool ParseManifest(const Bytes& manifest, std::vector<ManifestText>* entries, std::string* error) {
  entries->clear();
  const uint64_t size = manifest.size();
  uint64_t at = 0;
  while (at < size) {
    if (size - at < MANIFEST_ENTRY_HEADER_SIZE) {
      *error = "manifest: " + std::to_string(size - at) + " stray bytes after the last entry";
      return false;
    }
    const uint32_t id = ReadLe32(manifest.data() + at);
    const uint32_t length = ReadLe32(manifest.data() + at + 4);
    if (at + MANIFEST_ENTRY_HEADER_SIZE + length > size) {
      *error = "manifest: entry " + std::to_string(id) + " runs past the end of the manifest";
      return false;
    }
    const uint8_t* units = manifest.data() + at + MANIFEST_ENTRY_HEADER_SIZE;
    std::string text = Utf16LeToUtf8(units, length / 2);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    // The fields as the stub reads them: split in UTF-16, each converted on its own.
    ManifestFields read;
    if (!StatusOk(ReadManifestFields(id, units, length, &read))) {
      *error = "manifest: out of memory reading entry " + std::to_string(id);
      return false;
    }
    ManifestText entry{id, text, {}, read.fieldCount, true};
    for (uint32_t f = 0; f < read.fieldCount && f < ENTRY_MAX_FIELDS; ++f) {
      entry.fields.push_back(read.text[f]);
      if (!EntryField(&read, f)) entry.exact = false;
    }
    FreeManifestFields(&read);
    entries->push_back(entry);
    at += MANIFEST_ENTRY_HEADER_SIZE + length;
  }
  return true;
}

bool ReadEntryShape(const ManifestText& entry, EntryShape* shape) {
  std::vector<std::string> fields = entry.fields;
  if (fields.empty() || fields.size() != entry.fieldCount || !entry.exact) return false;
  shape->cabinet = UpperAscii(fields[0]) == "CAB";
  shape->digest = RecordDigest{};
  shape->size = RecordSize{};
  shape->segments = EntrySegments{};
  const size_t regular = shape->cabinet ? CABINET_DIGEST_FIELD : DESCRIPTOR_DIGEST_FIELD;
  if (fields.size() == regular + 3) {
    shape->segments = ReadEntrySegmentsText(fields[regular + 2]);
    if (shape->segments.state != SEGMENTS_PRESENT) return false;
    fields.pop_back();
  }
  if (fields.size() == regular + 2) {
    ReadSizeField(fields[regular + 1].c_str(), &shape->size);
    if (shape->size.state != SIZE_PRESENT) return false;
    fields.pop_back();
  }
  if (fields.size() == regular + 1) {
    ReadDigestField(fields[regular].c_str(), &shape->digest);
    if (shape->digest.state != DIGEST_PRESENT) return false;
    fields.pop_back();
  }
  for (const std::string& f : fields)
    if (f.empty()) return false;
  shape->fields = fields;
  return fields.size() == regular;
}

namespace {
// What the records of a source that pass their checks hold.
struct VerifiedRecords {
  std::vector<ManifestText> entries;       // the manifest's
  std::map<uint32_t, std::string> sha256;  // of each reachable FileRecord's decoded bytes
  std::map<uint32_t, uint64_t> sizes;      // and their number
};

// The segments and size fields of every entry that has them, by id, as the stub reads them.
struct EntryBinding {
  EntrySegments segments;
  RecordSize size;
};

// Checks each record: reachable through the stub's lookup, decodable (a FileRecord through
// its entry's segment index where the verified manifest gives one), a 256-byte signature
// that verifies with `key`; what those that pass hold goes to `out`. The manifest goes
// first: the FileRecords are decoded as its entries say.
void VerifyRecords(const FoundSource& source, EVP_PKEY* key, uint32_t* checked,
                   VerifiedRecords* out, std::vector<RecordProblem>* problems) {
  // Problems are told in the walk's order, whichever record is checked first.
  std::vector<std::string> found(source.index.records.size());
  size_t at = 0;
  auto fail = [&](const std::string& what) { found[at] = what; };
  std::map<uint32_t, EntryBinding> bindings;
  for (bool manifestPass : {true, false}) {
    for (at = 0; at < source.index.records.size(); ++at) {
      const RecordInfo& r = source.index.records[at];
      if (r.manifest != manifestPass) continue;
      ++*checked;
      // The stub reaches records only through FindRecord: a record shadowed by a later one
      // with the same id is never read.
      const RecordInfo* reached = LookUpRecord(source.index, r.manifest, r.id);
      if (!reached || reached->dataOffset != r.dataOffset) {
        fail(RecordName(r) + ": unreachable, a later record has the same id");
        continue;
      }
      const RecordSpan span = {source.data() + r.dataOffset, r.dataSize,
                               source.data() + r.signatureOffset, r.signatureSize};
      Bytes decoded;
      std::string why;
      const auto bound = bindings.find(r.id);
      const bool decodedOk =
          r.manifest || bound == bindings.end()
              ? DecodeRecord(span.data, span.dataSize, &decoded, &why)
              : DecodeFileRecord(span.data, span.dataSize, bound->second.segments,
                                 bound->second.size, &decoded, &why);
      if (!decodedOk) {
        // A segment index that does not match names the entry that gives it.
        const bool indexed = !r.manifest && bound != bindings.end() &&
                             bound->second.segments.state != SEGMENTS_ABSENT;
        fail(RecordName(r) + (indexed ? " (manifest entry " + std::to_string(r.id) + ")" : "") +
             ": " + why);
        continue;
      }
      if (span.signatureSize != RECORD_SIGNATURE_SIZE) {
        fail(RecordName(r) + ": the signature is " + std::to_string(span.signatureSize) +
             " bytes, not 256");
        continue;
      }
      uint8_t digest[RECORD_DIGEST_SIZE];
      DigestRecordBytes(decoded.data(), static_cast<uint32_t>(decoded.size()), digest);
      if (!CheckRecordDigestSignature(key, digest, span.signature, span.signatureSize)) {
        fail(RecordName(r) + ": the signature does not verify with this key");
        continue;
      }
      if (r.manifest && !ParseManifest(decoded, &out->entries, &why)) fail(why);
      if (!r.manifest) out->sha256[r.id] = HexText(digest, sizeof(digest));
      if (!r.manifest) out->sizes[r.id] = decoded.size();
    }
    // The index and size of each entry, where its shape is one the stub reads.
    for (const ManifestText& e : manifestPass ? out->entries : std::vector<ManifestText>()) {
      const std::vector<std::string>& f = e.fields;
      if (f.empty() || !e.exact) continue;
      const bool cabinet = UpperAscii(f[0]) == "CAB";
      const size_t sizeField = cabinet ? CABINET_SIZE_FIELD : DESCRIPTOR_SIZE_FIELD;
      const size_t segmentsField = cabinet ? CABINET_SEGMENTS_FIELD : DESCRIPTOR_SEGMENTS_FIELD;
      EntryBinding b;
      if (f.size() > sizeField) ReadSizeField(f[sizeField].c_str(), &b.size);
      if (f.size() > segmentsField) b.segments = ReadEntrySegmentsText(f[segmentsField]);
      bindings.emplace(e.id, b);
    }
  }
  for (const std::string& what : found)
    if (!what.empty()) problems->push_back({source.origin, what});
}

// Every manifest entry has its FileRecord, and the record matches the entry's digest and
// size fields as the stub reads them.
void CheckEntries(const FoundSource& source, const VerifiedRecords& verified,
                  std::vector<RecordProblem>* problems) {
  auto fail = [&](const std::string& what) { problems->push_back({source.origin, what}); };
  for (const ManifestText& e : verified.entries) {
    const std::string entry = "manifest entry " + std::to_string(e.id) + " (" + e.text + ")";
    if (!LookUpRecord(source.index, false, e.id)) {
      fail(entry + ": no file record " + std::to_string(e.id));
      continue;
    }
    if (!e.exact)
      fail(entry + ": a field is not valid UTF-16 (an unpaired surrogate); the stub reads no "
           "name, code, keyword, number, digest or size from it");
    // The digest field as the stub reads it: after a cabinet line's third field or a
    // descriptor's fourth.
    const std::vector<std::string>& fields = e.fields;
    const size_t at = UpperAscii(fields[0]) == "CAB" ? CABINET_DIGEST_FIELD : DESCRIPTOR_DIGEST_FIELD;
    RecordDigest digest{};
    if (fields.size() > at) ReadDigestField(fields[at].c_str(), &digest);
    const auto found = verified.sha256.find(e.id);
    if (digest.state == DIGEST_ABSENT)
      fail(entry + ": no " + RECORD_DIGEST_PREFIX + " field binds it to its file record (the "
           "stub refuses such a manifest, since a digest-less manifest lets signed records be "
           "served under other ids; pack the setup again with this msistub-pack)");
    else if (digest.state == DIGEST_MALFORMED)
      fail(entry + ": the " + RECORD_DIGEST_PREFIX + " field is not 64 hex digits (the stub "
           "refuses this entry's file)");
    else if (digest.state == DIGEST_PRESENT && found != verified.sha256.end() &&
             found->second != HexText(digest.bytes, RECORD_DIGEST_SIZE))
      fail(entry + ": file record " + std::to_string(e.id) +
           " does not match the entry's digest (the record was replaced or relabelled; the "
           "stub refuses it)");
    // The size field as the stub reads it, right behind the digest field's place.
    RecordSize size{};
    if (fields.size() > at + 1) ReadSizeField(fields[at + 1].c_str(), &size);
    const auto decodedSize = verified.sizes.find(e.id);
    if (size.state == SIZE_MALFORMED)
      fail(entry + ": the " + RECORD_SIZE_PREFIX + " field is not a decimal size below 4 GiB "
           "(the stub refuses this entry's file)");
    else if (size.state == SIZE_PRESENT && decodedSize != verified.sizes.end() &&
             decodedSize->second != size.bytes)
      fail(entry + ": file record " + std::to_string(e.id) + " decodes to " +
           std::to_string(decodedSize->second) + " bytes, not the entry's " +
           std::to_string(size.bytes) + " (the stub refuses it)");
  }
}
}  // namespace

void VerifySources(const std::vector<FoundSource>& sources, EVP_PKEY* key, uint32_t* checked,
                   std::vector<RecordProblem>* problems) {
  *checked = 0;
  for (const FoundSource& source : sources) {
    for (const std::string& s : source.index.skipped) problems->push_back({source.origin, s});
    if (!source.index.ending.empty())
      problems->push_back({source.origin, "no manifest record: " + source.index.ending});
    VerifiedRecords verified;
    VerifyRecords(source, key, checked, &verified, problems);
    CheckEntries(source, verified, problems);
  }
}
