// Reading setups as the stub does (see reader.h).
#include "pack/reader.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <map>

#include "common/chars.h"
#include "common/format.h"
#include "common/winseam.h"
#include "pack/keys.h"
#include "pack/text.h"
#include "pack/writer.h"
#include "payload/container.h"
#include "payload/record.h"
#include "payload/sources.h"

namespace {
bool SameType(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 16) == 0; }

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

std::string RecordName(const RecordInfo& r) {
  return r.manifest ? "manifest record" : "file record " + std::to_string(r.id);
}
}  // namespace

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
        sources->push_back(std::move(found));
      }
    }
    PKCS7_free(p7);
  }
  if (sources->empty()) sources->push_back({"whole file", Bytes(), &file});
  return true;
}

void ListRecords(const uint8_t* container, uint32_t size, std::vector<RecordInfo>* records,
                 std::vector<std::string>* skipped, std::string* ending) {
  records->clear();
  ending->clear();
  uint32_t pos = size;
  for (;;) {
    if (pos < RECORD_TRAILER_SIZE) {
      *ending = "the walk ran out of bytes before a manifest record";
      return;
    }
    pos -= RECORD_TRAILER_SIZE;
    const uint8_t* t = container + pos;
    RecordInfo r{};
    r.id = ReadLe32(t + TRAILER_ID_OFFSET);
    r.signatureSize = ReadLe32(t + TRAILER_SIGNATURE_SIZE_OFFSET);
    r.dataSize = ReadLe32(t + TRAILER_DATA_SIZE_OFFSET);
    const uint32_t trailerAt = pos;
    if (SameType(t, RECORD_TYPE_MANIFEST)) {
      r.manifest = true;
      if (r.signatureSize > pos || r.dataSize > pos - r.signatureSize) {
        *ending = "the manifest record's sizes do not fit in front of its trailer (offset " +
                  std::to_string(trailerAt) + ")";
        return;
      }
      r.signatureOffset = pos - r.signatureSize;
      r.dataOffset = r.signatureOffset - r.dataSize;
      records->push_back(r);
      return;
    }
    if (!SameType(t, RECORD_TYPE_FILE)) {
      *ending = "an unknown trailer type at offset " + std::to_string(trailerAt) +
                " ends the walk before any manifest record";
      return;
    }
    if (r.signatureSize > pos) {
      skipped->push_back("file record " + std::to_string(r.id) + " at offset " +
                         std::to_string(trailerAt) + ": signature size too large; stepped over");
      continue;
    }
    pos -= r.signatureSize;
    if (r.dataSize > pos) {
      skipped->push_back("file record " + std::to_string(r.id) + " at offset " +
                         std::to_string(trailerAt) + ": data size too large; stepped over");
      continue;
    }
    r.signatureOffset = pos;
    pos -= r.dataSize;
    r.dataOffset = pos;
    records->push_back(r);
  }
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
    std::string text = Utf16LeToUtf8(manifest.data() + at + MANIFEST_ENTRY_HEADER_SIZE, length / 2);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    entries->push_back({id, text});
    at += MANIFEST_ENTRY_HEADER_SIZE + length;
  }
  return true;
}

bool ReadEntryShape(const std::string& text, EntryShape* shape) {
  std::vector<std::string> fields = SplitText(text, '\\');
  shape->cabinet = UpperAscii(fields[0]) == "CAB";
  shape->digest = RecordDigest{};
  shape->size = RecordSize{};
  const size_t regular = shape->cabinet ? CABINET_DIGEST_FIELD : DESCRIPTOR_DIGEST_FIELD;
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

// Checks each record: reachable through the stub's lookup, decodable, a 256-byte signature
// that verifies with `key`; what those that pass hold goes to `out`.
void VerifyRecords(const FoundSource& source, const std::vector<RecordInfo>& records, EVP_PKEY* key,
                   uint32_t* checked, VerifiedRecords* out, std::vector<RecordProblem>* problems) {
  auto fail = [&](const std::string& what) { problems->push_back({source.origin, what}); };
  for (const RecordInfo& r : records) {
    ++*checked;
    // The stub reaches records only through FindRecord: a record shadowed by a later one
    // with the same id is never read.
    RecordSpan span;
    const uint8_t* type = r.manifest ? RECORD_TYPE_MANIFEST : RECORD_TYPE_FILE;
    if (!StatusOk(FindRecord(source.data(), source.size(), type, r.id, &span)) ||
        span.data != source.data() + r.dataOffset) {
      fail(RecordName(r) + ": unreachable, a later record has the same id");
      continue;
    }
    Bytes decoded;
    std::string why;
    if (!DecodeRecord(span.data, span.dataSize, &decoded, &why)) {
      fail(RecordName(r) + ": " + why);
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
}

// Every manifest entry has its FileRecord, and the record matches the entry's digest and
// size fields as the stub reads them.
void CheckEntries(const FoundSource& source, const VerifiedRecords& verified,
                  std::vector<RecordProblem>* problems) {
  auto fail = [&](const std::string& what) { problems->push_back({source.origin, what}); };
  for (const ManifestText& e : verified.entries) {
    const std::string entry = "manifest entry " + std::to_string(e.id) + " (" + e.text + ")";
    RecordSpan span;
    if (!StatusOk(FindRecord(source.data(), source.size(), RECORD_TYPE_FILE, e.id, &span))) {
      fail(entry + ": no file record " + std::to_string(e.id));
      continue;
    }
    // The digest field as the stub reads it: after a cabinet line's third field or a
    // descriptor's fourth.
    const std::vector<std::string> fields = SplitText(e.text, '\\');
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
    std::vector<RecordInfo> records;
    std::vector<std::string> skipped;
    std::string ending;
    ListRecords(source.data(), source.size(), &records, &skipped, &ending);
    for (const std::string& s : skipped) problems->push_back({source.origin, s});
    if (!ending.empty()) problems->push_back({source.origin, "no manifest record: " + ending});
    VerifiedRecords verified;
    VerifyRecords(source, records, key, checked, &verified, problems);
    CheckEntries(source, verified, problems);
  }
}
