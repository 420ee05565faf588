// Seed corpus generator for the fuzz targets.
//
// make_seeds <out-dir> [private-key.pem]
// Writes valid inputs for every target into <out-dir>/<target>/: containers written by the
// packaging tool's writer (pack/writer.h: manifests encoded by EncodeManifest, records signed
// and laid out by AppendStoredRecord; manifest first, then file records; data deflated by
// zlib at level 9, each record signed over its plain bytes with the given key), or, when no
// key is given, the same layout with zero signatures, and plain records; zlib bombs, small PE32+ images carrying a certificate table and an
// appended container, and command lines. Each target's header bytes (see the targets) come
// first; segment_diff gets records cut into independently deflated 1 MiB segments.
// <out-dir>/record-large/ holds inputs too slow for fuzzing that the replay still
// runs. Exit code 0 on success.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED
#endif
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "pack/keys.h"
#include "pack/writer.h"

namespace {

EVP_PKEY* gKey = nullptr;

Bytes Deflate(const Bytes& plain) {
  uLongf size = compressBound(plain.size());
  Bytes out(size);
  if (compress2(out.data(), &size, plain.data(), plain.size(), 9) != Z_OK) {
    std::fprintf(stderr, "make_seeds: compress2 failed\n");
    std::exit(1);
  }
  out.resize(size);
  return out;
}

// A zero signature without a key.
Bytes Sign(const Bytes& content) {
  Bytes sig(RECORD_SIGNATURE_SIZE, 0);
  std::string error;
  if (gKey && !SignRecordBytes(gKey, content.data(), content.size(), sig.data(), &error)) {
    std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
    std::exit(1);
  }
  return sig;
}

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

// A record as the tool writes it when there is a key; otherwise (no key, or a plain record
// the tool never writes) the same layout put together here.
void AppendRecord(Bytes* container, const uint8_t type[16], uint32_t id, const Bytes& content,
                  bool compressed = true) {
  const Bytes stored = compressed ? Deflate(content) : content;
  std::string error;
  if (gKey && compressed) {
    uint8_t digest[RECORD_DIGEST_SIZE];
    SHA256(content.data(), content.size(), digest);
    if (!AppendStoredRecord(container, type, id, stored, content.size(), digest, gKey, &error)) {
      std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
      std::exit(1);
    }
    return;
  }
  const Bytes sig = Sign(content);
  Append(container, stored);
  Append(container, sig);
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, static_cast<uint32_t>(sig.size()),
                     static_cast<uint32_t>(stored.size()));
  container->insert(container->end(), trailer, trailer + sizeof(trailer));
}

// Manifest bytes of ASCII entries, encoded by the tool.
Bytes Manifest(const std::vector<ManifestEntry>& entries) {
  Bytes m;
  std::string error;
  if (!EncodeManifest(entries, &m, &error)) {
    std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
    std::exit(1);
  }
  return m;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char kWords[] = "setup package cabinet record stream table file ";
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(kWords[(i + seed) % (sizeof(kWords) - 1)]);
  return out;
}

// The manifests: one package with its cabinet, two languages, and a two-package payload.
Bytes ManifestSimple() {
  return Manifest({{1000, "x64\\1033\\{7D2F3C4A-1B2C-4D5E-8F90-A1B2C3D4E5F6}\\Sample Product"},
                   {1001, "cab\\1000\\main.cab"}});
}
Bytes ManifestMulti() {
  return Manifest({{1000, "Intel\\1031;2055\\{11111111-2222-3333-4444-555555555555}\\Produkt"},
                   {1001, "x64\\1033;1031\\{66666666-7777-8888-9999-AAAAAAAAAAAA}\\Product"},
                   {1002, "CAB\\1000;1001\\data1.cab"},
                   {1003, "cab\\1001\\data2.cab"}});
}

// The simple manifest with digest fields that match the manifest target's records (each one
// the 4 bytes of its id), and one malformed digest field.
std::string DigestFieldOfId(uint32_t id) {
  uint8_t content[4], digest[SHA256_DIGEST_LENGTH];
  WriteLe32(content, id);
  SHA256(content, sizeof(content), digest);
  static const char kDigits[] = "0123456789abcdef";
  std::string field = std::string("\\") + RECORD_DIGEST_PREFIX;
  for (uint8_t b : digest) field += kDigits[b >> 4], field += kDigits[b & 15];
  return field;
}
Bytes ManifestDigests() {
  return Manifest({{1000, "x64\\1033\\{7D2F3C4A-1B2C-4D5E-8F90-A1B2C3D4E5F6}\\Sample Product" +
                              DigestFieldOfId(1000)},
                   {1001, "cab\\1000\\main.cab" + DigestFieldOfId(1001)},
                   {1002, "cab\\1000\\more.cab\\SHA256=0123"}});
}

// manifest, MSI 1000, cabinet 1001 (and more files for the multi manifest).
Bytes Container(const Bytes& manifest, uint32_t files) {
  Bytes c;
  AppendRecord(&c, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest);
  for (uint32_t i = 0; i < files; ++i)
    AppendRecord(&c, RECORD_TYPE_FILE, 1000 + i, Text(600 + 300 * i, i));
  return c;
}

// A minimal PE32+ image whose certificate table holds one entry: `pkcs7` followed by the
// container, which ends at the image's last byte.
Bytes Image(const Bytes& pkcs7, const Bytes& container) {
  const uint32_t lfanew = 0x80;
  const uint32_t tableAt = lfanew + PE_HEADERS_SIZE + 56;  // some section bytes in between
  Bytes img(tableAt, 0);
  img[0] = 'M';
  img[1] = 'Z';
  WriteLe32(&img[PE_LFANEW_OFFSET], lfanew);
  std::memcpy(&img[lfanew], "PE\0\0", 4);
  WriteLe16(&img[lfanew + 4], 0x8664);
  WriteLe16(&img[lfanew + 20], 240);
  WriteLe16(&img[lfanew + PE_OPTIONAL_MAGIC_OFFSET], PE_OPTIONAL_MAGIC_PE32PLUS);
  const uint32_t entryLength =
      WIN_CERTIFICATE_HEADER_SIZE + static_cast<uint32_t>(pkcs7.size() + container.size());
  WriteLe32(&img[lfanew + PE_SECURITY_DIR_OFFSET], tableAt);
  WriteLe32(&img[lfanew + PE_SECURITY_DIR_OFFSET + 4], entryLength);
  uint8_t head[8];
  WriteLe32(head, entryLength);
  WriteLe16(head + 4, 0x0200);
  WriteLe16(head + 6, 0x0002);
  img.insert(img.end(), head, head + 8);
  Append(&img, pkcs7);
  Append(&img, container);
  return img;
}

void Need(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "make_seeds: %s failed\n", what);
    std::exit(1);
  }
}

// A DER PKCS#7 SignedData whose one certificate carries `containers` as payload extensions
// (non-critical, or critical when `critical`). The certificate's key is a throwaway RSA-1024
// key: it only carries the extensions.
Bytes SignedData(const std::vector<Bytes>& containers, bool critical) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  X509* cert = X509_new();
  Need(key && cert, "certificate key");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Seed"),
                             -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  ASN1_OBJECT* oid = OBJ_txt2obj(PAYLOAD_EXTENSION_OID, 1);
  for (const Bytes& c : containers) {
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, c.data(), static_cast<int>(c.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, critical ? 1 : 0, value);
    Need(ext && X509_add_ext(cert, ext, -1), "payload extension");
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(value);
  }
  ASN1_OBJECT_free(oid);
  Need(X509_sign(cert, key, EVP_sha256()) > 0, "certificate signature");
  BIO* content = BIO_new_mem_buf("image digest", -1);
  PKCS7* p7 = PKCS7_sign(cert, key, nullptr, content, PKCS7_BINARY | PKCS7_NOATTR);
  Need(p7 != nullptr, "PKCS7_sign");
  unsigned char* der = nullptr;
  const int len = i2d_PKCS7(p7, &der);
  Need(len > 0, "i2d_PKCS7");
  Bytes out(der, der + len);
  OPENSSL_free(der);
  PKCS7_free(p7);
  BIO_free(content);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

// The manifest record of the simple manifest alone: small enough for an extension seed.
Bytes SmallContainer() {
  Bytes c;
  AppendRecord(&c, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, ManifestSimple());
  return c;
}

std::string gOut;

void Write(const std::string& target, const std::string& name, const Bytes& header,
           const Bytes& body) {
  const std::string dir = gOut + "/" + target;
  mkdir(gOut.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  bool ok = header.empty() || std::fwrite(header.data(), 1, header.size(), f) == header.size();
  ok = ok && (body.empty() || std::fwrite(body.data(), 1, body.size(), f) == body.size());
  if (std::fclose(f) != 0 || !ok) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

Bytes Request(uint8_t selector, uint32_t id) {
  Bytes h(5);
  h[0] = selector;
  WriteLe32(&h[1], id);
  return h;
}
Bytes RecordRequest(uint8_t selector, uint32_t id, uint8_t budget = 0, uint8_t flags = 0) {
  Bytes h = Request(selector, id);
  h.push_back(budget);
  h.push_back(flags);
  return h;
}

Bytes Utf16Line(const std::u16string& line) {
  Bytes out{0};  // no injected allocation failure
  for (char16_t c : line) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}
// Container lookups and record decoding over the simple and multi containers.
void WriteContainerSeeds(const Bytes& simple, const Bytes& multi) {
  Write("container", "simple-manifest", Request(0, 0), simple);
  Write("container", "simple-file-1000", Request(1, 1000), simple);
  Write("container", "simple-file-1001", Request(1, 1001), simple);
  Write("container", "multi-file-1002", Request(1, 1002), multi);
  Write("container", "multi-missing", Request(1, 2000), multi);
}

void WriteRecordSeeds(const Bytes& simple, const Bytes& multi) {
  Write("record", "simple-manifest", RecordRequest(0, 0), simple);
  Write("record", "simple-file-1000", RecordRequest(1, 1000), simple);
  Write("record", "multi-file-1003", RecordRequest(1, 1003), multi);
  Write("record", "multi-manifest-alloc-fail", RecordRequest(0, 0, 2), multi);
  Write("record", "simple-plain-unsigned", RecordRequest(1, 1001, 0, 3),
        [] {
          Bytes c;
          AppendRecord(&c, RECORD_TYPE_MANIFEST, 0, ManifestSimple(), false);
          AppendRecord(&c, RECORD_TYPE_FILE, 1001, Text(500, 7), false);
          return c;
        }());
  // Zlib bombs, a thousandfold. The small one (under 256 stored bytes, 200 KiB) seeds
  // the fuzzer; the large one (1 MiB from about 1 KiB) is left to the replay, beside the
  // fuzzer's inputs.
  for (const size_t plain : {size_t(200) << 10, size_t(1) << 20}) {
    Bytes c;
    AppendRecord(&c, RECORD_TYPE_MANIFEST, 0, Bytes(plain, 0));
    Write(plain < (size_t(1) << 20) ? "record" : "record-large", "bomb-manifest",
          RecordRequest(0, 0), c);
  }
}

void WriteInflateSeeds() {
  // Sized against growing inflation: size choice (0 zlib's length, 1 libdeflate's, 2 the
  // next three bytes), offset, stream.
  const Bytes text = Text(3000, 2);
  Write("inflate_diff", "text-exact", {0, 0}, Deflate(text));
  Write("inflate_diff", "text-one-short", {0, 0xFF}, Deflate(text));
  Write("inflate_diff", "text-libdeflate-length", {1, 0}, Deflate(text));
  Write("inflate_diff", "text-trailing-bytes", {0, 0}, [&] {
    Bytes b = Deflate(text);
    Append(&b, Text(40, 9));
    return b;
  }());
  Write("inflate_diff", "bomb-explicit-size", {2, 0, 0x00, 0x20, 0x03}, Deflate(Bytes(200 << 10, 0)));
  Write("inflate_diff", "empty-content", {0, 0}, Deflate(Bytes()));
}

// A record cut into segments of SEGMENT_SIZE_MIN (1 MiB) decoded bytes, each deflated on
// its own: the stream and the stored length of each segment.
std::pair<Bytes, std::vector<uint32_t>> SegmentedDeflate(const Bytes& plain) {
  const size_t segment = size_t(1) << 20;
  Bytes out = {0x78, 0xDA};
  std::vector<uint32_t> lengths;
  size_t begin = 0;
  do {
    const size_t length = plain.size() - begin < segment ? plain.size() - begin : segment;
    const bool last = begin + length == plain.size();
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    Bytes part(deflateBound(&zs, length) + 16);
    zs.next_in = const_cast<Bytef*>(plain.data() + begin);
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = part.data();
    zs.avail_out = static_cast<uInt>(part.size());
    deflate(&zs, last ? Z_FINISH : Z_FULL_FLUSH);
    out.insert(out.end(), part.data(), part.data() + (part.size() - zs.avail_out));
    deflateEnd(&zs);
    if (last) {
      const uLong adler = adler32(1, plain.data(), static_cast<uInt>(plain.size()));
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(adler >> shift));
    }
    uint32_t start = 0;
    for (uint32_t l : lengths) start += l;
    lengths.push_back(static_cast<uint32_t>(out.size()) - start);
    begin += length;
  } while (begin < plain.size());
  return {out, lengths};
}

void WriteSegmentSeeds() {
  // Segment count, size choice (0: zlib's length), the stored lengths of all segments but
  // the last (u16 LE), the stream.
  const size_t mib = size_t(1) << 20;
  Bytes two(mib, 0);
  Append(&two, Text(200, 4));
  Bytes three(2 * mib, 0);
  std::memcpy(three.data() + mib - 100, Text(200, 6).data(), 200);
  Append(&three, Text(60, 8));
  const std::pair<const char*, Bytes> records[] = {
      {"one-segment-text", Text(3000, 2)}, {"empty", Bytes()},
      {"two-segments", two}, {"three-segments", three}, {"exactly-two-segments", Bytes(2 * mib, 0)}};
  for (const auto& record : records) {
    const auto segmented = SegmentedDeflate(record.second);
    Bytes header = {static_cast<uint8_t>(segmented.second.size() - 1), 0};
    for (size_t i = 0; i + 1 < segmented.second.size(); ++i) {
      header.push_back(static_cast<uint8_t>(segmented.second[i]));
      header.push_back(static_cast<uint8_t>(segmented.second[i] >> 8));
    }
    Write("segment_diff", record.first, header, segmented.first);
  }
  // The first segment's end one byte late, and a decoded size one byte short.
  const auto segmented = SegmentedDeflate(two);
  const uint32_t late = segmented.second[0] + 1;
  Write("segment_diff", "end-one-late",
        {1, 0, static_cast<uint8_t>(late), static_cast<uint8_t>(late >> 8)}, segmented.first);
  Write("segment_diff", "size-one-short",
        {1, 1, 0xFF, static_cast<uint8_t>(segmented.second[0]),
         static_cast<uint8_t>(segmented.second[0] >> 8)},
        segmented.first);
}

void WriteImageSeeds(const Bytes& simple, const Bytes& multi) {
  // Images as the packaging tool attaches containers: appended behind the signature, carried
  // in certificate extensions, or both with the extension marked critical.
  const Bytes small = SmallContainer();
  const Bytes plainSig = SignedData({}, false);
  const std::pair<const char*, Bytes> images[] = {
      {"image-appended", Image(Text(300, 3), simple)},
      {"image-appended-multi", Image(Text(120, 5), multi)},
      {"image-signed-appended", Image(plainSig, small)},
      {"image-extension", Image(SignedData({small}, false), {})},
      {"image-two-extensions", Image(SignedData({small, small}, false), {})},
      {"image-critical-appended", Image(SignedData({small}, true), small)},
  };
  for (const auto& image : images) {
    Write("sources", image.first, {}, image.second);
    Write("pack", image.first, {}, image.second);
  }
  Write("sources", "container-only", {}, simple);
  Write("pack", "container-only", {}, simple);
}

void WriteManifestSeeds() {
  // Manifest target: LCID, options (bit 0 64-bit, bit 1 two sources), budget, manifest.
  struct ManifestSeed {
    const char* name;
    uint32_t lcid;
    uint8_t options;
    uint8_t budget;
    Bytes manifest;
  } manifests[] = {
      {"simple-en-us-x64", 1033, 1, 0, ManifestSimple()},
      {"multi-de-ch-x86", 2055, 0, 0, ManifestMulti()},
      {"multi-de-de-x64-two-sources", 1031, 3, 0, ManifestMulti()},
      {"multi-ja-fallback", 1041, 1, 0, ManifestMulti()},
      {"multi-alloc-fail", 1033, 1, 4, ManifestMulti()},
      {"digests-en-us-x64", 1033, 1, 0, ManifestDigests()},
  };
  for (const ManifestSeed& m : manifests) {
    Bytes h(6);
    WriteLe32(&h[0], m.lcid);
    h[4] = m.options;
    h[5] = m.budget;
    Write("manifest", m.name, h, m.manifest);
  }
}

void WriteCommandLineSeeds() {
  Write("cmdline", "switches", {}, Utf16Line(u"setup.exe /qn REBOOT=ReallySuppress /l*v log.txt"));
  Write("cmdline", "quotes", {},
        Utf16Line(u"\"C:\\Program Files\\setup.exe\" TARGETDIR=\"C:\\My Dir\" \"\" a\"b c\"d"));
  Write("cmdline", "separators", {}, Utf16Line(u" \t\r\n x \t"));
  Write("cmdline", "unicode", {}, Utf16Line(u"s\u00e9tup /i \u65e5\u672c \xd800x \xdc00"));
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_seeds <out-dir> [private-key.pem]\n");
    return 2;
  }
  gOut = argv[1];
  if (argc == 3 && argv[2][0]) {
    FILE* f = std::fopen(argv[2], "r");
    if (!f || !(gKey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr))) {
      std::fprintf(stderr, "make_seeds: cannot read private key %s\n", argv[2]);
      return 1;
    }
    std::fclose(f);
  }

  const Bytes simple = Container(ManifestSimple(), 2);
  const Bytes multi = Container(ManifestMulti(), 4);

  WriteContainerSeeds(simple, multi);
  WriteRecordSeeds(simple, multi);
  WriteInflateSeeds();
  WriteSegmentSeeds();
  WriteImageSeeds(simple, multi);
  WriteManifestSeeds();
  WriteCommandLineSeeds();
  if (gKey) EVP_PKEY_free(gKey);
  return 0;
}
