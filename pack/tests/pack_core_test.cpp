// Core of the packaging tool: manifest and record bytes, keys, attaching to a PE, reading back
// with the stub's own lookup and decoding, and the setup descriptions.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#endif

#include "common/format.h"
#include "manifest/idlist.h"
#include "pack/attach.h"
#include "pack/bundle.h"
#include "pack/json.h"
#include "pack/payloads.h"
#include "pack/keys.h"
#include "pack/packer.h"
#include "pack/reader.h"
#include "pack/setup.h"
#include "pack/unpack.h"
#include "pack/text.h"
#include "pack/writer.h"
#include "pack/tests/fixtures.h"
#include "payload/container.h"
#include "payload/record.h"
#include "payload/segment.h"
#include "payload/sources.h"

namespace fs = std::filesystem;

namespace {
struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("pack-core-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// The development key the build generated: the stub's built-in key is its public half.
EVP_PKEY* DevKey() {
  static EVP_PKEY* key = [] {
    std::string error;
    EVP_PKEY* k = LoadPrivateKey(MSISTUB_TEST_PRIVATE_KEY, &error);
    EXPECT_NE(k, nullptr) << error;
    return k;
  }();
  return key;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes ContainerOf(const std::vector<ManifestEntry>& entries,
                  const std::vector<std::pair<uint32_t, Bytes>>& files) {
  Bytes manifest, container;
  std::string error;
  EXPECT_TRUE(EncodeManifest(entries, &manifest, &error)) << error;
  EXPECT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, 0, manifest, DevKey(), &error));
  for (const auto& f : files)
    EXPECT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_FILE, f.first, f.second, DevKey(), &error));
  return container;
}

// Loads a record the way the stub does (FindRecord, InflateRecord, VerifyRecord with the
// built-in key).
Status StubLoad(const Bytes& container, const uint8_t type[16], uint32_t id, Bytes* out) {
  PayloadSource source{};
  source.containerData = const_cast<uint8_t*>(container.data());
  source.containerSize = static_cast<uint32_t>(container.size());
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  uint8_t* data = nullptr;
  uint32_t size = 0;
  const Status status = LoadRecord(&source, type, id, &data, &size);
  if (StatusOk(status)) {
    out->assign(data, data + size);
    LocalFree(data);
  }
  return status;
}

uint32_t SecurityOffset(const Bytes& image) { return ReadLe32(&image[0x80 + PE_SECURITY_DIR_OFFSET]); }
uint32_t SecuritySize(const Bytes& image) { return ReadLe32(&image[0x80 + PE_SECURITY_DIR_OFFSET + 4]); }
}  // namespace

TEST(Manifest, CabinetLineIsFortyFourBytes) {
  Bytes manifest;
  std::string error;
  ASSERT_TRUE(EncodeManifest({{1001, "cab\\1000\\main.cab"}}, &manifest, &error));
  ASSERT_EQ(manifest.size(), 44u);
  EXPECT_EQ(ReadLe32(&manifest[0]), 1001u);
  EXPECT_EQ(ReadLe32(&manifest[4]), 36u);
  const char* text = "cab\\1000\\main.cab";
  for (size_t i = 0; i < 17; ++i) {
    EXPECT_EQ(manifest[8 + 2 * i], static_cast<uint8_t>(text[i]));
    EXPECT_EQ(manifest[9 + 2 * i], 0);
  }
  EXPECT_EQ(manifest[42], 0);
  EXPECT_EQ(manifest[43], 0);
}

TEST(Manifest, NonAsciiBecomesUtf16AndMalformedUtf8IsRefused) {
  Bytes manifest;
  std::string error;
  // U+00E9 and U+1F600 (a surrogate pair).
  ASSERT_TRUE(EncodeManifest({{5, "\xC3\xA9\xF0\x9F\x98\x80"}}, &manifest, &error));
  const Bytes expected = {5, 0, 0, 0, 8, 0, 0, 0, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0};
  EXPECT_EQ(manifest, expected);
  for (const char* bad : {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xFF"}) {
    EXPECT_FALSE(EncodeManifest({{5, bad}}, &manifest, &error)) << bad;
    EXPECT_NE(error.find("UTF-8"), std::string::npos);
  }
}

TEST(Records, TrailerBytesLevelNineStreamAndStubAcceptsThem) {
  const Bytes msi = Text(std::string(5000, 'm') + "end");
  const Bytes container = ContainerOf({{1000, "x64\\1033\\{C}\\Name"}}, {{1000, msi}, {1001, Bytes()}});

  // Last trailer: FileRecord 1001 with a 256-byte signature.
  const uint8_t* t = &container[container.size() - RECORD_TRAILER_SIZE];
  EXPECT_EQ(0, std::memcmp(t, RECORD_TYPE_FILE, 16));
  EXPECT_EQ(ReadLe32(t + 16), 1001u);
  EXPECT_EQ(ReadLe32(t + 20), 256u);

  // The manifest is the first record: its data starts the container, as a level-9 stream.
  RecordSpan span;
  ASSERT_TRUE(StatusOk(FindRecord(container.data(), static_cast<uint32_t>(container.size()),
                                  RECORD_TYPE_MANIFEST, 0, &span)));
  EXPECT_EQ(span.data, container.data());
  EXPECT_EQ(container[0], 0x78);
  EXPECT_EQ(container[1], 0xDA);
  const uint8_t* mt = span.signature + span.signatureSize;
  const uint8_t expectedHead[16] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46,
                                    0x91, 0x8c, 0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55};
  EXPECT_EQ(0, std::memcmp(mt, expectedHead, 16));
  EXPECT_EQ(ReadLe32(mt + 16), 0u);
  EXPECT_EQ(ReadLe32(mt + 20), 256u);
  EXPECT_EQ(ReadLe32(mt + 24), span.dataSize);

  // The stub decodes and verifies every record with its own code and built-in key.
  Bytes out;
  ASSERT_TRUE(StatusOk(StubLoad(container, RECORD_TYPE_FILE, 1000, &out)));
  EXPECT_EQ(out, msi);
  ASSERT_TRUE(StatusOk(StubLoad(container, RECORD_TYPE_FILE, 1001, &out)));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(StatusOk(StubLoad(container, RECORD_TYPE_MANIFEST, 0, &out)));
  EXPECT_EQ(ReadLe32(&out[0]), 1000u);
}

TEST(Records, SignatureCoversDecodedBytesAndOnlyTheMatchingKey) {
  const Bytes data = Text("decoded content");
  uint8_t signature[RECORD_SIGNATURE_SIZE];
  std::string error;
  ASSERT_TRUE(SignRecordBytes(DevKey(), data.data(), data.size(), signature, &error));
  EXPECT_TRUE(CheckRecordSignature(DevKey(), data.data(), data.size(), signature, sizeof(signature)));
  EXPECT_TRUE(StatusOk(VerifyRecord(data.data(), static_cast<uint32_t>(data.size()), signature,
                                    sizeof(signature))));
  Bytes stored;
  ASSERT_TRUE(CompressRecordData(data.data(), data.size(), &stored, &error));
  EXPECT_FALSE(CheckRecordSignature(DevKey(), stored.data(), stored.size(), signature, sizeof(signature)));

  EVP_PKEY* other = EVP_RSA_gen(2048);
  EXPECT_FALSE(CheckRecordSignature(other, data.data(), data.size(), signature, sizeof(signature)));
  EXPECT_FALSE(KeysMatch(other, DevKey()));
  EVP_PKEY_free(other);
}

// Every compression level makes a stream both of the stub's inflaters decode to the content;
// levels outside 0..12 are refused.
TEST(Records, EveryLevelDecodesInBothStubInflaters) {
  Bytes content = Text(std::string(20000, 'a'));
  for (size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<uint8_t>(i * 31 >> 3);
  for (int level = 0; level <= MAX_COMPRESSION_LEVEL; ++level) {
    SCOPED_TRACE(level);
    Bytes stored;
    std::string error;
    ASSERT_TRUE(CompressRecordData(content.data(), content.size(), &stored, &error, level)) << error;
    const uint32_t n = static_cast<uint32_t>(content.size());
    uint8_t* out = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(StatusCode(InflateRecord(stored.data(), static_cast<uint32_t>(stored.size()), &out, &size)),
              0u);
    EXPECT_TRUE(Bytes(out, out + size) == content);
    LocalFree(out);
    ASSERT_EQ(StatusCode(InflateSizedRecord(stored.data(), static_cast<uint32_t>(stored.size()), n, &out)),
              0u);
    EXPECT_TRUE(Bytes(out, out + n) == content);
    LocalFree(out);
  }
  Bytes stored;
  std::string error;
  for (int level : {-1, MAX_COMPRESSION_LEVEL + 1}) {
    EXPECT_FALSE(CompressRecordData(content.data(), content.size(), &stored, &error, level));
    EXPECT_NE(error.find("is not between 0 and 12"), std::string::npos) << error;
  }
}

// Files compressed side by side give the container one thread gives, and the first file
// that cannot be read (in setup order) is the one reported.
TEST(Setup, ParallelCompressionGivesTheSameContainer) {
  TempDir dir;
  SetupSpec setup;
  setup.packages.push_back({"x64", "1033", "{A}", "A", dir / "a.msi"});
  const size_t sizes[] = {70000, 3, 0, 400000, 12345};
  for (size_t i = 0; i < 5; ++i) {
    Bytes bytes(sizes[i]);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>((k * (i + 3)) >> (k % 5));
    const std::string name = i == 0 ? "a.msi" : "c" + std::to_string(i) + ".cab";
    std::FILE* f = std::fopen((dir / name).c_str(), "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (i > 0) setup.cabinets.push_back({dir / name, {1000}, ""});
  }
  std::string error;
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  Bytes one, many;
  setup.threads = 1;
  ASSERT_TRUE(BuildContainer(setup, DevKey(), &one, &error)) << error;
  setup.threads = 4;
  ASSERT_TRUE(BuildContainer(setup, DevKey(), &many, &error)) << error;
  EXPECT_TRUE(one == many);
  // Each entry ends with its file's size field and its segment index.
  Bytes manifest;
  std::vector<ManifestText> entries;
  ASSERT_TRUE(StatusOk(StubLoad(many, RECORD_TYPE_MANIFEST, 0, &manifest)));
  ASSERT_TRUE(ParseManifest(manifest, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const std::string tail = "\\size=" + std::to_string(sizes[i]) + "\\segments=1048576:";
    EXPECT_NE(entries[i].text.find(tail), std::string::npos) << entries[i].text;
  }

  setup.compressionLevel = 1;
  Bytes fast;
  ASSERT_TRUE(BuildContainer(setup, DevKey(), &fast, &error)) << error;
  EXPECT_FALSE(fast == many);

  fs::remove(dir / "c1.cab");
  fs::remove(dir / "c3.cab");
  Bytes broken;
  EXPECT_FALSE(BuildContainer(setup, DevKey(), &broken, &error));
  EXPECT_NE(error.find("c1.cab"), std::string::npos) << error;
}

TEST(Keys, KeygenWritesMatchingPemAndBlobAndNeverReplacesThePrivateKey) {
  TempDir dir;
  const std::string prefix = dir / "k";
  std::string error;
  ASSERT_TRUE(GenerateKeyFiles(prefix, &error)) << error;

  EVP_PKEY* priv = LoadPrivateKey(prefix + ".private.pem", &error);
  EVP_PKEY* pem = LoadPublicKey(prefix + ".public.pem", &error);
  EVP_PKEY* blob = LoadPublicKey(prefix + ".public.blob", &error);
  ASSERT_TRUE(priv && pem && blob) << error;
  EXPECT_TRUE(KeysMatch(priv, pem));
  EXPECT_TRUE(KeysMatch(priv, blob));

  // PUBLICKEYBLOB layout: BLOBHEADER, "RSA1", bit length, exponent, modulus little-endian.
  FILE* f = std::fopen((prefix + ".public.blob").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint8_t b[300];
  const size_t n = std::fread(b, 1, sizeof(b), f);
  std::fclose(f);
  ASSERT_EQ(n, 276u);
  const uint8_t head[12] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1'};
  EXPECT_EQ(0, std::memcmp(b, head, sizeof(head)));
  EXPECT_EQ(ReadLe32(b + 12), 2048u);
  EXPECT_EQ(ReadLe32(b + 16), 65537u);
  BIGNUM* n1 = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(priv, "n", &n1), 1);
  uint8_t modulus[256];
  ASSERT_EQ(BN_bn2lebinpad(n1, modulus, sizeof(modulus)), 256);
  EXPECT_EQ(0, std::memcmp(b + 20, modulus, 256));
  BN_free(n1);
#ifndef _WIN32
  EXPECT_EQ(fs::status(prefix + ".private.pem").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#else
  // Protected (nothing inherited from the folder), full access for the user alone: the
  // descriptor the file is created with, as SDDL and back through the system's parser.
  std::string sddl;
  ASSERT_TRUE(OwnerOnlyDescriptorText(&sddl, &error)) << error;
  ASSERT_EQ(sddl.rfind("D:P(A;;FA;;;S-1-5-", 0), 0u) << sddl;
  EXPECT_EQ(sddl.find(")("), std::string::npos) << "more than one entry: " << sddl;
  PSECURITY_DESCRIPTOR parsed = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                   &parsed, nullptr));
  LPSTR back = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
      parsed, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &back, nullptr));
  EXPECT_EQ(std::string(back), sddl);
  LocalFree(back);
  LocalFree(parsed);
  // Wine keeps no access lists; pack/tests/e2e_wine.sh checks the mode it maps this one to.
#endif

  const auto before = fs::last_write_time(prefix + ".private.pem");
  EXPECT_FALSE(GenerateKeyFiles(prefix, &error));
  EXPECT_NE(error.find("already exists"), std::string::npos) << error;
  EXPECT_EQ(fs::last_write_time(prefix + ".private.pem"), before);
  EVP_PKEY_free(priv);
  EVP_PKEY_free(pem);
  EVP_PKEY_free(blob);
}

TEST(Attach, CertificateTableKeepsAlignmentAndEndsWithTheContainer) {
  const SignedPe pe = MakeSignedPe();
  // Container sizes over every remainder modulo 8.
  for (size_t extra = 0; extra < 8; ++extra) {
    const Bytes container = ContainerOf({{1000, "x64\\1033\\{C}\\N"}}, {{1000, Bytes(extra, 'z')}});
    Bytes image = pe.image;
    std::string error;
    ASSERT_TRUE(AttachToCertificateTable(&image, container, &error)) << error;
    const uint32_t table = SecurityOffset(image);
    EXPECT_EQ(table, SecurityOffset(pe.image));
    EXPECT_EQ(SecuritySize(image) % 8, 0u);
    EXPECT_EQ(table + SecuritySize(image), image.size());
    EXPECT_EQ(ReadLe32(&image[table]), SecuritySize(image));
    // Header, the signature unchanged, zero padding, the container to the last byte.
    EXPECT_EQ(0, std::memcmp(&image[table + 8], pe.signature.data(), pe.signature.size()));
    const size_t pad = image.size() - container.size() - (table + 8 + pe.signature.size());
    EXPECT_LT(pad, 8u);
    for (size_t i = 0; i < pad; ++i) EXPECT_EQ(image[table + 8 + pe.signature.size() + i], 0);
    EXPECT_EQ(0, std::memcmp(&image[image.size() - container.size()], container.data(), container.size()));
    EXPECT_EQ(ReadLe32(&image[0x80 + PE_CHECKSUM_OFFSET]),
              ComputePeChecksum(image, 0x80 + PE_CHECKSUM_OFFSET));
    // The streamed form (a container too large for memory) gives the same bytes: the prefix,
    // the container, and the checksum over both, run in pieces of odd sizes.
    for (const char* mode : {"cert-table", "append"}) {
      const Bytes& stub = std::string(mode) == "append" ? Pe32PlusHeaders() : pe.image;
      Bytes whole = stub;
      ASSERT_TRUE(std::string(mode) == "append" ? AppendToImage(&whole, container, &error)
                                                : AttachToCertificateTable(&whole, container, &error));
      Bytes streamed;
      uint32_t checksumAt = 0;
      ASSERT_TRUE(AttachedPrefix(stub, mode, container.size(), &streamed, &checksumAt, &error)) << error;
      streamed.insert(streamed.end(), container.begin(), container.end());
      PeChecksum sum;
      BeginPeChecksum(&sum, checksumAt);
      for (size_t at = 0, step = 1; at < streamed.size(); at += step, step = step * 3 % 11 + 1)
        UpdatePeChecksum(&sum, &streamed[at], std::min(step, streamed.size() - at));
      WriteLe32(&streamed[checksumAt], FinishPeChecksum(&sum));
      EXPECT_TRUE(streamed == whole) << mode << " " << extra;
    }

    // The stub's own checks find the entry, and the image fallback finds the container.
    const uint8_t* content = nullptr;
    uint32_t contentSize = 0;
    ASSERT_TRUE(LocateCertificateEntry(image.data(), static_cast<uint32_t>(image.size()), &content,
                                       &contentSize));
    EXPECT_EQ(content, &image[table + 8]);
    Bytes out;
    EXPECT_TRUE(StatusOk(StubLoad(image, RECORD_TYPE_FILE, 1000, &out)));
    EXPECT_EQ(out, Bytes(extra, 'z'));

    // Attaching again replaces the container instead of stacking a second one.
    const Bytes second = ContainerOf({{1000, "x64\\1031\\{D}\\M"}}, {{1000, Text("two")}});
    ASSERT_TRUE(AttachToCertificateTable(&image, second, &error)) << error;
    EXPECT_EQ(image.size(), ((table + 8 + pe.signature.size() + second.size() + 7) & ~size_t(7)));
    ASSERT_TRUE(StatusOk(StubLoad(image, RECORD_TYPE_FILE, 1000, &out)));
    EXPECT_EQ(out, Text("two"));
  }
}

// Every way a stub can carry a container is found and taken out again, giving back the bare
// stub byte for byte (with its checksum set); the padding check fails only with a container
// behind the signature.
TEST(Attach, CarriedPayloadsAreFoundAndRemovedInEveryMode) {
  SignedPe pe = MakeSignedPe();
  Bytes unsigned_ = Pe32PlusHeaders();
  for (Bytes* image : {&pe.image, &unsigned_})
    WriteLe32(&(*image)[0x80 + PE_CHECKSUM_OFFSET], ComputePeChecksum(*image, 0x80 + PE_CHECKSUM_OFFSET));
  const Bytes container = ContainerOf({{1000, "x64\\1033\\{C}\\N"}}, {{1000, Text("msi")}});
  std::string error, why;
  std::vector<std::string> found;
  ASSERT_TRUE(FindCarriedPayloads(pe.image, &found, &error)) << error;
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(CertificatePadding(pe.image, &why), PADDING_PASSES) << why;
  EXPECT_EQ(CertificatePadding(unsigned_, &why), PADDING_UNSIGNED);

  Bytes table = pe.image, both, appended = unsigned_;
  ASSERT_TRUE(AttachToCertificateTable(&table, container, &error)) << error;
  Bytes extensions = pe.image;
  ExtensionOptions critical;
  critical.critical = true;
  ASSERT_TRUE(AttachAsExtensions(&extensions, {container, container}, ExtensionOptions(), &error));
  ASSERT_TRUE(AttachAsExtensions(&extensions, {container}, critical, &error));
  both = extensions;
  ASSERT_TRUE(AttachToCertificateTable(&both, container, &error)) << error;
  ASSERT_TRUE(AppendToImage(&appended, container, &error)) << error;
  const struct {
    const char* name;
    Bytes image;
    const Bytes& bare;
    size_t found;
    PaddingVerdict padding;
  } cases[] = {
      {"cert-table", table, pe.image, 1, PADDING_FAILS},
      {"extensions, one critical", extensions, pe.image, 3, PADDING_PASSES},
      {"extensions and cert-table", both, pe.image, 4, PADDING_FAILS},
      {"append", appended, unsigned_, 1, PADDING_UNSIGNED},
  };
  for (auto c : cases) {
    ASSERT_TRUE(FindCarriedPayloads(c.image, &found, &error)) << c.name << ": " << error;
    EXPECT_EQ(found.size(), c.found) << c.name;
    EXPECT_EQ(CertificatePadding(c.image, &why), c.padding) << c.name;
    ASSERT_TRUE(RemoveCarriedPayloads(&c.image, &error)) << c.name << ": " << error;
    EXPECT_TRUE(c.image == c.bare) << c.name;
  }
}

TEST(Attach, ExtensionsAreFoundInOrderAndCriticalOnesPassedOver) {
  const SignedPe pe = MakeSignedPe();
  const Bytes a = ContainerOf({{1000, "x64\\1033\\{A}\\A"}}, {{1000, Text("a")}});
  const Bytes b = ContainerOf({{1000, "x64\\1033\\{B}\\B"}}, {{1000, Text("bb")}});
  const Bytes c = ContainerOf({{1000, "x64\\1033\\{C}\\C"}}, {{1000, Text("ccc")}});
  Bytes image = pe.image;
  std::string error;
  ExtensionOptions critical;
  critical.critical = true;
  ASSERT_TRUE(AttachAsExtensions(&image, {a}, critical, &error)) << error;
  ExtensionOptions together;
  together.oneCertificate = true;
  ASSERT_TRUE(AttachAsExtensions(&image, {b, c}, together, &error)) << error;
  ASSERT_TRUE(AttachAsExtensions(&image, {a}, ExtensionOptions(), &error)) << error;
  EXPECT_EQ(SecuritySize(image) % 8, 0u);
  EXPECT_EQ(SecurityOffset(image) + SecuritySize(image), image.size());

  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  ASSERT_TRUE(DiscoverSources(image, &sources, &notes, &error)) << error;
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_EQ(sources[0].copy, b);
  EXPECT_EQ(sources[0].origin, "certificate 3, extension 1");
  EXPECT_EQ(sources[1].copy, c);
  EXPECT_EQ(sources[1].origin, "certificate 3, extension 2");
  EXPECT_EQ(sources[2].copy, a);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("critical"), std::string::npos);

  // The original signer's signature over its content still verifies. Checked in the native
  // run: the Windows libcrypto is built without the digest lookups PKCS7_verify needs (the
  // Wine end-to-end test checks real Authenticode signatures with osslsigncode instead).
#ifndef _WIN32
  const uint8_t* content = nullptr;
  uint32_t contentSize = 0;
  ASSERT_TRUE(LocateCertificateEntry(image.data(), static_cast<uint32_t>(image.size()), &content,
                                     &contentSize));
  const unsigned char* cursor = content;
  PKCS7* p7 = d2i_PKCS7(nullptr, &cursor, contentSize);
  ASSERT_NE(p7, nullptr);
  EXPECT_EQ(PKCS7_verify(p7, nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY), 1);
  PKCS7_free(p7);
#endif

  // A container behind the signature survives adding extensions.
  ASSERT_TRUE(AttachToCertificateTable(&image, c, &error));
  ASSERT_TRUE(AttachAsExtensions(&image, {b}, ExtensionOptions(), &error)) << error;
  EXPECT_EQ(0, std::memcmp(&image[image.size() - c.size()], c.data(), c.size()));
}

TEST(Attach, AppendReplacesAnEarlierContainerAndRefusals) {
  Bytes unsignedPe = Pe32PlusHeaders();
  const Bytes a = ContainerOf({{1000, "x64\\1033\\{A}\\A"}}, {{1000, Text("a")}});
  const Bytes b = ContainerOf({{1000, "x64\\1033\\{B}\\B"}}, {{1000, Text("b")}});
  std::string error;
  Bytes image = unsignedPe;
  ASSERT_TRUE(AppendToImage(&image, a, &error)) << error;
  ASSERT_TRUE(AppendToImage(&image, b, &error)) << error;
  EXPECT_EQ(image.size(), unsignedPe.size() + b.size());
  EXPECT_EQ(ReadLe32(&image[0x80 + PE_CHECKSUM_OFFSET]),
            ComputePeChecksum(image, 0x80 + PE_CHECKSUM_OFFSET));

  const SignedPe pe = MakeSignedPe();
  Bytes pe32 = Pe32PlusHeaders(0x10B);
  Bytes notPe = Text(std::string(200, 'x'));
  Bytes trailing = pe.image;
  trailing.push_back(1);
  WriteLe32(&trailing[0x80 + PE_SECURITY_DIR_OFFSET + 4], SecuritySize(pe.image));
  struct Case {
    const char* name;
    Bytes image;
    int mode;  // 0 cert-table, 1 extension, 2 append
    const char* message;
  } cases[] = {
      {"not a PE", notPe, 0, "not a PE executable"},
      {"PE32", pe32, 0, "32-bit (PE32)"},
      {"PE32 append", pe32, 2, "32-bit (PE32)"},
      {"unsigned, table", unsignedPe, 0, "not signed"},
      {"unsigned, extension", unsignedPe, 1, "not signed"},
      {"signed, append", pe.image, 2, "is signed"},
      {"bytes after the table", trailing, 0, "data follows the certificate table"},
  };
  for (Case& c : cases) {
    const Bytes before = c.image;
    error.clear();
    bool ok = c.mode == 0   ? AttachToCertificateTable(&c.image, a, &error)
              : c.mode == 1 ? AttachAsExtensions(&c.image, {a}, ExtensionOptions(), &error)
                            : AppendToImage(&c.image, a, &error);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(c.image, before) << c.name;
  }
}

std::string DigestFieldOf(const Bytes& content);

TEST(Reader, VerifyReportsEachBadRecordAndMissingFiles) {
  EVP_PKEY* key = DevKey();
  const std::string msiEntry = "x64\\1033\\{A}\\A\\" + DigestFieldOf(Text("msi"));
  const std::string cabEntry = "cab\\1000\\a.cab\\" + DigestFieldOf(Text("cab"));
  Bytes good = ContainerOf({{1000, msiEntry}, {1001, cabEntry}},
                           {{1000, Text("msi")}, {1001, Text("cab")}});
  struct Case {
    const char* name;
    Bytes container;
    std::vector<std::string> expected;
  };
  // Corrupt the msi's stream, the cabinet's signature, and drop the cabinet.
  Bytes corruptStream = good, badSignature = good;
  std::vector<RecordInfo> records;
  std::vector<std::string> skipped;
  std::string ending;
  ListRecords(good.data(), static_cast<uint32_t>(good.size()), &records, &skipped, &ending);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(ending.empty());
  corruptStream[records[1].dataOffset + 2] ^= 0xFF;
  badSignature[records[0].signatureOffset + 10] ^= 0x01;
  Bytes missing = ContainerOf({{1000, msiEntry}, {1001, cabEntry}}, {{1000, Text("msi")}});
  Bytes unbound = ContainerOf({{1000, "x64\\1033\\{A}\\A"}, {1001, "cab\\1000\\a.cab"}},
                              {{1000, Text("msi")}, {1001, Text("cab")}});
  Bytes shadowed = good;
  {
    std::string error;
    ASSERT_TRUE(AppendSignedRecord(&shadowed, RECORD_TYPE_FILE, 1000, Text("again"), key, &error));
  }
  Case cases[] = {
      {"good", good, {}},
      {"corrupt stream", corruptStream, {"file record 1000: the zlib stream"}},
      {"bad signature", badSignature, {"file record 1001: the signature does not verify"}},
      {"missing file", missing, {"manifest entry 1001 (" + cabEntry + "): no file record 1001"}},
      {"shadowed", shadowed,
       {"file record 1000: unreachable", "manifest entry 1000 (" + msiEntry +
                                             "): file record 1000 does not match"}},
      // Entries that bind nothing are refused by the stub: each one is a problem.
      {"no digest fields", unbound,
       {"manifest entry 1000 (x64\\1033\\{A}\\A): no sha256= field",
        "manifest entry 1001 (cab\\1000\\a.cab): no sha256= field"}},
      {"no manifest", Text(std::string(100, 'q')), {"no manifest record"}},
  };
  for (const Case& c : cases) {
    FoundSource source{"whole file", Bytes(), &c.container};
    std::vector<RecordProblem> problems;
    uint32_t checked = 0;
    VerifySources({source}, key, &checked, &problems);
    ASSERT_EQ(problems.size(), c.expected.size()) << c.name;
    for (size_t i = 0; i < problems.size(); ++i)
      EXPECT_EQ(problems[i].what.rfind(c.expected[i], 0), 0u) << c.name << ": " << problems[i].what;
  }
}

// The digest field of `content`, as BuildContainer writes it.
std::string DigestFieldOf(const Bytes& content) {
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(content.data(), static_cast<uint32_t>(content.size()), digest);
  return std::string(RECORD_DIGEST_PREFIX) + HexText(digest, sizeof(digest));
}

TEST(Reader, DigestFieldsAreCheckedByVerifyAndExtract) {
  EVP_PKEY* key = DevKey();
  const std::string msiLine = "x64\\1033\\{A}\\A\\" + DigestFieldOf(Text("msi"));
  const std::string cabLine = "cab\\1000\\a.cab\\" + DigestFieldOf(Text("cab"));
  struct Case {
    const char* name;
    Bytes container;
    std::string problem;  // of verify, and of extract reading the cabinet; empty: none
  };
  const Case cases[] = {
      {"bound", ContainerOf({{1000, msiLine}, {1001, cabLine}}, {{1000, Text("msi")}, {1001, Text("cab")}}),
       ""},
      // Record 1001 signed genuinely, but holding other bytes than its entry names.
      {"relabelled",
       ContainerOf({{1000, msiLine}, {1001, cabLine}}, {{1000, Text("msi")}, {1001, Text("other")}}),
       "does not match"},
      {"malformed field",
       ContainerOf({{1000, msiLine}, {1001, "cab\\1000\\a.cab\\sha256=00"}},
                   {{1000, Text("msi")}, {1001, Text("cab")}}),
       "is not 64 hex digits"},
      // The size field behind the digest: the record's decoded length, as the stub demands.
      {"bound with sizes",
       ContainerOf({{1000, msiLine + "\\size=3"}, {1001, cabLine + "\\size=3"}},
                   {{1000, Text("msi")}, {1001, Text("cab")}}),
       ""},
      {"wrong size",
       ContainerOf({{1000, msiLine + "\\size=3"}, {1001, cabLine + "\\size=4"}},
                   {{1000, Text("msi")}, {1001, Text("cab")}}),
       "decodes to 3 bytes, not the entry's 4"},
      {"malformed size",
       ContainerOf({{1000, msiLine + "\\size=3"}, {1001, cabLine + "\\size=3x"}},
                   {{1000, Text("msi")}, {1001, Text("cab")}}),
       "is not a decimal size"},
  };
  for (const Case& c : cases) {
    FoundSource source{"whole file", Bytes(), &c.container};
    std::vector<RecordProblem> problems;
    uint32_t checked = 0;
    VerifySources({source}, key, &checked, &problems);
    ASSERT_EQ(problems.size(), c.problem.empty() ? 0u : 1u) << c.name;
    if (!c.problem.empty()) {
      EXPECT_EQ(problems[0].what.rfind("manifest entry 1001 (cab\\1000\\a.cab\\", 0), 0u)
          << problems[0].what;
      EXPECT_NE(problems[0].what.find(c.problem), std::string::npos) << problems[0].what;
    }

    std::vector<UnpackPackage> plan;
    std::string error;
    const bool planned = PlanUnpack({source}, &plan, &error);
    if (c.problem == "is not 64 hex digits" || c.problem == "is not a decimal size") {
      EXPECT_FALSE(planned) << c.name;
      EXPECT_NE(error.find("at most a sha256= field of 64 hex digits, a size= field"),
                std::string::npos) << error;
      continue;
    }
    if (c.problem.find("decodes to") == 0) continue;  // the digest still matches the bytes
    ASSERT_TRUE(planned) << c.name << ": " << error;
    ASSERT_EQ(plan.size(), 1u);
    ASSERT_EQ(plan[0].files.size(), 2u);
    Bytes decoded;
    // The extract reads with the entry's digest, key or not.
    for (EVP_PKEY* k : {key, static_cast<EVP_PKEY*>(nullptr)}) {
      const UnpackFile& cab = plan[0].files[1];
      const bool read = ReadVerifiedRecord(source, false, cab.id, k, &decoded, &error, &cab);
      EXPECT_EQ(read, c.problem.empty()) << c.name;
      if (!read) EXPECT_NE(error.find("does not match its manifest entry's digest"), std::string::npos) << error;
    }
  }
}

TEST(Reader, SignedDataWithoutContentIsRefusedNotDereferenced) {
  // ContentInfo { signedData } with the content left out.
  const Bytes der = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  Bytes image = Pe32PlusHeaders();
  const uint32_t at = static_cast<uint32_t>(image.size());
  image.resize(at + 24, 0);
  WriteLe32(&image[at], 8 + static_cast<uint32_t>(der.size()));
  std::memcpy(&image[at + 8], der.data(), der.size());
  WriteLe32(&image[0x80 + PE_SECURITY_DIR_OFFSET], at);
  WriteLe32(&image[0x80 + PE_SECURITY_DIR_OFFSET + 4], 24);
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;
  std::string error;
  EXPECT_FALSE(DiscoverSources(image, &sources, &notes, &error));
  EXPECT_NE(error.find("no PKCS#7 signature"), std::string::npos) << error;
  const Bytes container = ContainerOf({{1000, "x64\\1033\\{A}\\A"}}, {{1000, Text("a")}});
  EXPECT_FALSE(AttachAsExtensions(&image, {container}, ExtensionOptions(), &error));
  EXPECT_NE(error.find("does not hold a PKCS#7 SignedData"), std::string::npos) << error;
}

TEST(Reader, MalformedFileTrailerIsSteppedOverLikeTheStub) {
  Bytes container = ContainerOf({{1000, "x64\\1033\\{A}\\A"}}, {{1000, Text("msi")}});
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, RECORD_TYPE_FILE, 1002, 0xFFFFFF00u, 0);
  container.insert(container.end(), trailer, trailer + sizeof(trailer));
  std::vector<RecordInfo> records;
  std::vector<std::string> skipped;
  std::string ending;
  ListRecords(container.data(), static_cast<uint32_t>(container.size()), &records, &skipped, &ending);
  EXPECT_TRUE(ending.empty());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].id, 1000u);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("1002"), std::string::npos);
}

namespace {
void AppendTrailer(Bytes* c, const uint8_t type[16], uint32_t id, uint32_t signatureSize,
                   uint32_t dataSize) {
  uint8_t trailer[RECORD_TRAILER_SIZE];
  WriteRecordTrailer(trailer, type, id, signatureSize, dataSize);
  c->insert(c->end(), trailer, trailer + sizeof trailer);
}

// The index answers every lookup as the stub's FindRecord does, for the ids in `ids`.
void ExpectIndexAgrees(const Bytes& c, const std::vector<uint32_t>& ids, const char* name) {
  const FoundSource source("whole file", Bytes(), &c);
  for (uint32_t id : ids) {
    for (bool manifest : {false, true}) {
      RecordSpan span;
      const bool found = StatusOk(FindRecord(c.data(), static_cast<uint32_t>(c.size()),
                                             manifest ? RECORD_TYPE_MANIFEST : RECORD_TYPE_FILE,
                                             id, &span));
      const RecordInfo* r = LookUpRecord(source.index, manifest, id);
      ASSERT_EQ(r != nullptr, found) << name << ": id " << id << (manifest ? " (manifest)" : "");
      if (!r) continue;
      EXPECT_EQ(c.data() + r->dataOffset, span.data) << name << ": id " << id;
      EXPECT_EQ(r->dataSize, span.dataSize) << name << ": id " << id;
      EXPECT_EQ(c.data() + r->signatureOffset, span.signature) << name << ": id " << id;
      EXPECT_EQ(r->signatureSize, span.signatureSize) << name << ": id " << id;
    }
  }
}
}  // namespace

// One walk indexes a container, and the index finds what FindRecord finds: the record of an
// id nearest the end, nothing behind a foreign trailer, the manifest only by its own id,
// malformed file trailers stepped over.
TEST(Reader, RecordIndexFindsWhatTheStubFinds) {
  const std::vector<uint32_t> ids = {0, 1, 7, 999, 1000, 1001, 1002, 1003, 0xFFFFFFFFu};
  Bytes layered = ContainerOf({{1000, "x64\\1033\\{A}\\A"}}, {{1000, Text("old")}, {1001, Text("cab")}});
  std::string error;
  ASSERT_TRUE(AppendSignedRecord(&layered, RECORD_TYPE_FILE, 1000, Text("new"), DevKey(), &error)) << error;
  AppendTrailer(&layered, RECORD_TYPE_FILE, 1002, 0xFFFFFF00u, 0);  // signature does not fit
  layered.insert(layered.end(), 256, 0x5A);
  AppendTrailer(&layered, RECORD_TYPE_FILE, 1003, 256, 0xFFFFFF00u);  // data does not fit
  ExpectIndexAgrees(layered, ids, "layered");
  Bytes foreignEnd = layered;
  foreignEnd.insert(foreignEnd.end(), 28, 0x11);
  ExpectIndexAgrees(foreignEnd, ids, "foreign trailer at the end");
  Bytes otherManifestId;
  AppendTrailer(&otherManifestId, RECORD_TYPE_MANIFEST, 1, 0, 0);
  AppendTrailer(&otherManifestId, RECORD_TYPE_FILE, 1000, 0, 0);
  ExpectIndexAgrees(otherManifestId, ids, "manifest of id 1");
  Bytes badManifest;
  AppendTrailer(&badManifest, RECORD_TYPE_MANIFEST, 0, 5, 0);
  AppendTrailer(&badManifest, RECORD_TYPE_FILE, 1000, 0, 0);
  ExpectIndexAgrees(badManifest, ids, "manifest whose sizes do not fit");

  // A hostile container: 40,000 empty records (28 bytes each, 1.1 MB) behind an empty
  // manifest, every hundredth id twice. The walk lists each trailer once, the index holds
  // each id once, and it agrees with FindRecord (checked on a sample: FindRecord itself walks
  // the whole container for each id).
  Bytes hostile;
  AppendTrailer(&hostile, RECORD_TYPE_MANIFEST, 0, 0, 0);
  for (uint32_t id = 0; id < 40000; ++id) AppendTrailer(&hostile, RECORD_TYPE_FILE, id % 39600, 0, 0);
  const FoundSource source("whole file", Bytes(), &hostile);
  EXPECT_EQ(source.index.records.size(), 40001u);
  EXPECT_TRUE(source.index.ending.empty());
  EXPECT_EQ(source.index.files.size(), 39600u);
  for (uint32_t id = 0; id < 39600; ++id) {
    const RecordInfo* r = LookUpRecord(source.index, false, id);
    ASSERT_NE(r, nullptr) << id;
    // The later of two records with one id: the trailer of record k ends at 28 * (k + 2).
    const uint32_t k = id < 400 ? id + 39600 : id;
    EXPECT_EQ(r->dataOffset, RECORD_TRAILER_SIZE * (k + 1)) << id;
  }
  std::vector<uint32_t> sample = {39600, 40000};
  for (uint32_t id = 0; id < 39600; id += 397) sample.push_back(id);
  ExpectIndexAgrees(hostile, sample, "hostile");

  // verify reads each record once through the index: every empty record is one problem
  // (an empty compressed stream does not inflate), the shadowed ones are unreachable.
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources({source}, DevKey(), &checked, &problems);
  EXPECT_EQ(checked, 40001u);
  size_t unreachable = 0;
  for (const RecordProblem& p : problems) unreachable += p.what.find("unreachable") != std::string::npos;
  EXPECT_EQ(unreachable, 400u);
}

// Id lists are what the stub reads with NextListNumber; the tool admits only lists it reads
// the same way, and refuses everything the stub would read otherwise (blanks and signs it
// skips, digits it stops behind, numbers it wraps, empty items it passes over).
TEST(Setup, IdLists) {
  const struct {
    std::string list;
    std::vector<uint32_t> ids;  // empty: refused
    const char* refused;
  } cases[] = {
      {"1033", {1033}, ""},
      {"1033;1031", {1033, 1031}, ""},
      {"0;4294967295", {0, 4294967295u}, ""},
      {"01033", {1033}, ""},
      {"", {}, ""},
      {"1033;", {}, ""},
      {";1033", {}, ""},
      {"1033;;1031", {}, ""},
      {" 1033", {}, " 1033"},
      {"1033 ;1031", {}, "1033 "},
      {"+1033", {}, "+1033"},
      {"1033;-1", {}, "-1"},
      {"1033x", {}, "1033x"},
      {"4294967296", {}, "4294967296"},
      {"12345678901", {}, "12345678901"},
      {"0x409", {}, "0x409"},
      {std::string("1033\0;1031", 10), {}, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> ids;
    std::string refused = "unset";
    const bool ok = ParseIdList(c.list, &ids, &refused);
    EXPECT_EQ(ok, !c.ids.empty()) << c.list;
    if (!ok && c.refused) EXPECT_EQ(refused, c.refused) << c.list;
    if (!ok) continue;
    EXPECT_EQ(ids, c.ids) << c.list;
    // What the tool admits, the stub reads as the same numbers.
    std::vector<uint32_t> stub;
    unsigned int n = 0;
    for (const char* at = c.list.c_str(); at;)
      if (NextListNumber(&at, &n)) stub.push_back(n);
    EXPECT_EQ(stub, ids) << c.list;
  }
}

TEST(Setup, ArgumentsConfigAndIds) {
  TempDir dir;
  PackageSpec p;
  std::string error;
  ASSERT_TRUE(ParsePackageArgument("x64:1033;1031:{CODE}:Name:C:\\dir\\a:b.msi", &p, &error));
  EXPECT_EQ(p.architecture, "x64");
  EXPECT_EQ(p.languages, "1033;1031");
  EXPECT_EQ(p.productCode, "{CODE}");
  EXPECT_EQ(p.productName, "Name");
  EXPECT_EQ(p.msiPath, "C:\\dir\\a:b.msi");
  EXPECT_FALSE(ParsePackageArgument("x64:1033:{CODE}:a.msi", &p, &error));

  CabinetSpec c;
  ASSERT_TRUE(ParseCabinetArgument("C:\\x\\main.cab:1000;1001", &c, &error));
  EXPECT_EQ(c.path, "C:\\x\\main.cab");
  EXPECT_EQ(c.packageIds, (std::vector<uint32_t>{1000, 1001}));
  for (const char* bad : {"main.cab", "main.cab:", "main.cab:10x", ":1000", "main.cab:1000;;1001"})
    EXPECT_FALSE(ParseCabinetArgument(bad, &c, &error)) << bad;

  {
    FILE* f = std::fopen((dir / "setup.json").c_str(), "wb");
    std::fputs("{\"packages\": [{\"arch\": \"x64\", \"languages\": [1033, 1031],\n"
               " \"productCode\": \"{A}\", \"productName\": \"Name: with colon \\u00e9\","
               " \"msi\": \"a.msi\"},\n"
               " {\"arch\": \"Intel\", \"languages\": \"1033\", \"productCode\": \"{B}\","
               " \"productName\": \"B\", \"msi\": \"/abs/b.msi\"}],\n"
               " \"cabinets\": [{\"path\": \"sub/x.cab\", \"packages\": [1000, 1001],"
               " \"name\": \"main.cab\"}]}",
               f);
    std::fclose(f);
  }
  SetupSpec setup;
  ASSERT_TRUE(LoadSetupConfig(dir / "setup.json", &setup, &error)) << error;
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  ASSERT_EQ(setup.packages.size(), 2u);
  EXPECT_EQ(setup.packages[0].msiPath, dir / "a.msi");
  EXPECT_EQ(setup.packages[1].msiPath, "/abs/b.msi");
  const std::vector<ManifestEntry> entries = SetupManifest(setup);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].id, 1000u);
  EXPECT_EQ(entries[0].text, "x64\\1033;1031\\{A}\\Name: with colon \xC3\xA9");
  EXPECT_EQ(entries[1].id, 1001u);
  EXPECT_EQ(entries[1].text, "Intel\\1033\\{B}\\B");
  EXPECT_EQ(entries[2].id, 1002u);
  EXPECT_EQ(entries[2].text, "cab\\1000;1001\\main.cab");
}

TEST(Setup, RefusesWhatTheStubWouldTripOver) {
  auto package = [](const char* arch, const char* langs, const char* code, const char* name) {
    PackageSpec p;
    p.architecture = arch, p.languages = langs, p.productCode = code, p.productName = name;
    p.msiPath = "a.msi";
    return p;
  };
  auto cab = [](const char* path, std::vector<uint32_t> ids, const char* name) {
    CabinetSpec c;
    c.path = path, c.packageIds = ids, c.name = name;
    return c;
  };
  struct Case {
    const char* name;
    SetupSpec setup;
    const char* message;
  } cases[] = {
      {"no package", {}, "no package given"},
      {"arch", {{package("arm64", "1033", "{A}", "N")}, {}}, "must be x64 or Intel"},
      {"languages", {{package("x64", "1033;en", "{A}", "N")}, {}}, "decimal LCIDs"},
      {"backslash", {{package("x64", "1033", "{A}", "a\\b")}, {}}, "backslash"},
      {"code folder", {{package("x64", "1033", "../x", "N")}, {}}, "plain file name"},
      {"long name", {{package("x64", "1033", "{A}", std::string(256, 'n').c_str())}, {}}, "255"},
      {"cab main.msi", {{package("X64", "1033", "{A}", "N")}, {cab("x/MAIN.MSI", {1000}, "")}},
       "cannot be the name"},
      {"cab id", {{package("x64", "1033", "{A}", "N")}, {cab("a.cab", {1001}, "")}},
       "package id 1001 does not exist"},
      {"same name", {{package("x64", "1033", "{A}", "N")},
                     {cab("a/m.cab", {1000}, ""), cab("b/m.cab", {1000}, "")}},
       "both written as"},
  };
  for (Case& c : cases) {
    std::string error;
    EXPECT_FALSE(FinishSetup(&c.setup, &error)) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
  }
}

// Bundles the 64-bit stub could not fully use, as the selection compares them: architecture
// without regard to case, languages by their low 16 bits.
TEST(Setup, BundlesWithPackagesTheStubNeverChooses) {
  auto bundle = [](std::vector<std::pair<const char*, const char*>> packages) {
    SetupSpec setup;
    uint32_t id = FIRST_PACKAGE_ID;
    for (const auto& p : packages) {
      PackageSpec spec;
      spec.architecture = p.first, spec.languages = p.second, spec.productCode = "{A}";
      spec.productName = "N", spec.msiPath = "p" + std::to_string(id) + ".msi", spec.id = id++;
      setup.packages.push_back(spec);
    }
    return setup;
  };
  struct Case {
    SetupSpec setup;
    bool forStub;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {bundle({{"x64", "1033"}, {"x64", "1031"}, {"Intel", "1033"}}), true, nullptr},
      {bundle({{"x64", "1033;1031"}, {"x64", "1036;1031"}}), true, nullptr},
      {bundle({{"Intel", "1033"}}), false, nullptr},
      {bundle({{"Intel", "1033"}, {"Intel", "1031"}}), true, "no package is for x64"},
      {bundle({{"x64", "1033;1031"}, {"X64", "1031"}}), true, "package 1001 (p1001.msi, X64, 1031, {A}) could never be chosen: package 1000"},
      {bundle({{"x64", "1033"}, {"x64", "66569"}}), true, "package 1001 (p1001.msi, x64, 66569, {A}) could never be chosen"},
      {bundle({{"Intel", "1033"}, {"Intel", "1033"}}), false, "package 1001 (p1001.msi, Intel, 1033, {A}) could never be chosen"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> notes;
    std::string error;
    const bool ok = CheckBundle(c.setup, c.forStub, &notes, &error);
    EXPECT_EQ(ok, c.message == nullptr) << error;
    if (c.message) EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(CheckBundle(cases[0].setup, true, &notes, &error));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("package 1002 (p1002.msi, Intel, 1033, {A}) is for Intel"), std::string::npos);

  for (const char* guid : {"{5A1D0C11-0000-4A00-8000-000000001033}", "{abcdef01-2345-6789-abcd-ef0123456789}"})
    EXPECT_TRUE(IsBracedGuid(guid)) << guid;
  for (const char* text : {"", "not-a-guid", "5A1D0C11-0000-4A00-8000-000000001033",
                           "{5A1D0C11-0000-4A00-8000-00000000103}", "{5A1D0C11-0000-4A00-8000-00000000103G}",
                           "{5A1D0C11_0000-4A00-8000-000000001033}", "{5A1D0C11-0000-4A00-8000-000000001033}x"})
    EXPECT_FALSE(IsBracedGuid(text)) << text;
}

// A setup that cannot fit stops at the first record past the limit, not after compressing
// everything.
TEST(Setup, BuildStopsAtTheFirstRecordPastTheRoom) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("pack-room-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  SetupSpec setup;
  for (int i = 0; i < 3; ++i) {
    const std::string path = (dir / ("p" + std::to_string(i) + ".msi")).string();
    std::string error;
    Bytes content(4096);
    uint32_t state = 2463534242u + i;  // xorshift: bytes zlib cannot shrink
    for (uint8_t& b : content) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      b = static_cast<uint8_t>(state);
    }
    ASSERT_TRUE(WriteFileReplacing(path, content.data(), content.size(), false, false, &error)) << error;
    PackageSpec p;
    p.architecture = "x64", p.languages = std::to_string(1033 + i), p.productCode = "{A}";
    p.productName = "N", p.msiPath = path;
    setup.packages.push_back(p);
  }
  std::string error;
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  uint64_t done = 0;
  const PackProgress progress{[](uint64_t d, uint64_t, void* c) { *static_cast<uint64_t*>(c) = d; },
                              &done};
  Bytes container;
  EXPECT_FALSE(BuildContainer(setup, DevKey(), &container, &error, &progress, nullptr, 1000));
  EXPECT_LE(done, 4096u);  // the first file's bytes at most
  EXPECT_NE(error.find("p0.msi: the setup would exceed 4 GiB - 1 bytes"), std::string::npos) << error;
  EXPECT_TRUE(BuildContainer(setup, DevKey(), &container, &error, &progress, nullptr)) << error;
  std::filesystem::remove_all(dir);
}

// Bytes that compress as real files do: 64 KiB blocks of text-like, zero and random bytes.
Bytes MixedBytes(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t state = 2463534242u ^ seed;
  static const char kWords[] = "setup cabinet install file data engine readme the of and ";
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    const size_t block = (i >> 16) % 3;
    out[i] = block == 0 ? static_cast<uint8_t>(kWords[(i * 7 + (state & 3)) % (sizeof kWords - 1)])
             : block == 1 ? 0 : static_cast<uint8_t>(state);
  }
  return out;
}

// Whole-stream inflate with zlib itself, as a reader that knows nothing of segments.
bool ZlibInflatesTo(const Bytes& stored, const Bytes& expected) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  Bytes out(expected.size() + 1);
  zs.next_in = const_cast<uint8_t*>(stored.data());
  zs.avail_in = static_cast<uInt>(stored.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == expected.size() &&
                  std::equal(expected.begin(), expected.end(), out.begin());
  inflateEnd(&zs);
  return ok;
}

SegmentIndex IndexOf(uint32_t segmentSize, const std::vector<uint32_t>& lengths, std::vector<uint32_t>* ends) {
  ends->clear();
  uint32_t end = 0;
  for (uint32_t l : lengths) ends->push_back(end += l);
  return SegmentIndex{segmentSize, static_cast<uint32_t>(ends->size()), ends->data()};
}

// A segmented record is one zlib stream (zlib decodes it whole) and, by its index, segments
// that decode on their own: at and around segment boundaries, empty, at several levels and
// segment sizes.
TEST(Segments, RecordsDecodeWholeAndSegmentBySegment) {
  const uint32_t M = 1u << 20;
  struct Case {
    size_t size;
    int level;
    uint32_t segmentSize;
  } cases[] = {{0, 9, M},          {1, 9, M},     {M - 1, 9, M},     {M, 9, M},      {M + 1, 9, M},
               {5 * M, 9, M},      {5 * M + 123, 9, M}, {2 * M + 7, 0, M}, {2 * M + 7, 1, M},
               {2 * M + 7, 12, M}, {5 * M, 9, 2 * M},   {3 * M, 6, 8 * M}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, level " + std::to_string(c.level) + ", segments of " +
                 std::to_string(c.segmentSize));
    const Bytes data = MixedBytes(c.size, static_cast<uint32_t>(c.size));
    Bytes stored;
    std::vector<uint32_t> lengths;
    std::string error;
    ASSERT_TRUE(CompressSegmentedRecord(data.data(), data.size(), c.level, c.segmentSize, &stored,
                                        &lengths, &error)) << error;
    EXPECT_EQ(lengths.size(), SegmentCountFor(static_cast<uint32_t>(c.size), c.segmentSize));
    EXPECT_TRUE(ZlibInflatesTo(stored, data));
    std::vector<uint32_t> ends;
    const SegmentIndex index = IndexOf(c.segmentSize, lengths, &ends);
    ASSERT_EQ(ends.back(), stored.size());
    for (size_t i = 0; i + 1 < ends.size(); ++i)
      EXPECT_EQ(0, std::memcmp(&stored[ends[i] - 4], "\x00\x00\xff\xff", 4)) << "segment " << i;
    Bytes decoded(c.size + 1);
    ASSERT_EQ(StatusCode(DecodeSegmentedRecord(stored.data(), static_cast<uint32_t>(stored.size()), &index,
                                               static_cast<uint32_t>(c.size), decoded.data())), 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), decoded.begin()));
  }
  // The tool packs nothing else than a power of two from 1 to 8 MiB.
  for (uint64_t size : {0ull, 1ull, 512ull << 10, (1ull << 20) - 1, 3ull << 20, 16ull << 20})
    EXPECT_FALSE(ValidSegmentSize(size)) << size;
  for (uint64_t size : {1ull << 20, 2ull << 20, 4ull << 20, 8ull << 20}) EXPECT_TRUE(ValidSegmentSize(size)) << size;
}

// Files of several segments come out the same on one thread and on four, each entry carries
// the index of its record, and the tool's readers decode through it.
TEST(Setup, SegmentedFilesAreTheSameOnAnyNumberOfThreads) {
  TempDir dir;
  const uint32_t M = 1u << 20;
  const size_t sizes[] = {5 * M, 0, 3 * M + 1};
  SetupSpec setup;
  setup.packages.push_back({"x64", "1033", "{A}", "A", dir / "a.msi"});
  std::vector<Bytes> contents;
  for (size_t i = 0; i < 3; ++i) {
    contents.push_back(MixedBytes(sizes[i], static_cast<uint32_t>(i)));
    const std::string name = i == 0 ? "a.msi" : "c" + std::to_string(i) + ".cab";
    std::string error;
    ASSERT_TRUE(WriteFileReplacing(dir / name, contents.back().data(), contents.back().size(), false,
                                   false, &error)) << error;
    if (i > 0) setup.cabinets.push_back({dir / name, {1000}, ""});
  }
  std::string error;
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  Bytes one, four;
  setup.threads = 1;
  ASSERT_TRUE(BuildContainer(setup, DevKey(), &one, &error)) << error;
  setup.threads = 4;
  ASSERT_TRUE(BuildContainer(setup, DevKey(), &four, &error)) << error;
  EXPECT_TRUE(one == four);

  FoundSource source{"whole file", Bytes(), &four};
  std::vector<UnpackPackage> plan;
  ASSERT_TRUE(PlanUnpack({source}, &plan, &error)) << error;
  ASSERT_EQ(plan.size(), 1u);
  ASSERT_EQ(plan[0].files.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const UnpackFile& f = plan[0].files[i];
    ASSERT_EQ(f.segments.state, SEGMENTS_PRESENT) << i;
    EXPECT_EQ(f.segments.segmentSize, M);
    EXPECT_EQ(f.segments.storedEnd.size(), SegmentCountFor(static_cast<uint32_t>(sizes[i]), M)) << i;
    // The record is what the tool compresses in memory, and it decodes whole with zlib.
    const RecordInfo* r = LookUpRecord(source.index, false, f.id);
    ASSERT_NE(r, nullptr);
    Bytes expected;
    std::vector<uint32_t> lengths;
    ASSERT_TRUE(CompressSegmentedRecord(contents[i].data(), contents[i].size(), DEFAULT_COMPRESSION_LEVEL, M,
                                        &expected, &lengths, &error));
    EXPECT_TRUE(Bytes(four.begin() + r->dataOffset, four.begin() + r->dataOffset + r->dataSize) == expected) << i;
    EXPECT_TRUE(ZlibInflatesTo(expected, contents[i])) << i;
    Bytes decoded;
    ASSERT_TRUE(ReadVerifiedRecord(source, false, f.id, DevKey(), &decoded, &error, &f)) << error;
    EXPECT_TRUE(decoded == contents[i]) << i;
  }
  std::vector<RecordProblem> problems;
  uint32_t checked = 0;
  VerifySources({source}, DevKey(), &checked, &problems);
  EXPECT_TRUE(problems.empty()) << problems[0].what;
  EXPECT_EQ(checked, 4u);
}

// An index that does not match its record fails the record as corrupt in verify and extract,
// naming the entry; a setup without the field is still read as one stream.
TEST(Reader, SegmentIndexMustMatchItsRecord) {
  const uint32_t M = 1u << 20;
  const Bytes cab = MixedBytes(3 * M + 5, 7);
  Bytes stored;
  std::vector<uint32_t> lengths;
  std::string error;
  ASSERT_TRUE(CompressSegmentedRecord(cab.data(), cab.size(), 9, M, &stored, &lengths, &error)) << error;
  ASSERT_EQ(lengths.size(), 4u);
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(cab.data(), static_cast<uint32_t>(cab.size()), digest);
  const std::string msiLine = "x64\\1033\\{A}\\A\\" + DigestFieldOf(Text("msi"));
  const std::string cabLine = "cab\\1000\\a.cab\\sha256=" + HexText(digest, sizeof digest) + "\\size=" +
                              std::to_string(cab.size());
  auto container = [&](const std::string& cabEntry) {
    Bytes c = ContainerOf({{1000, msiLine}, {1001, cabEntry}}, {{1000, Text("msi")}});
    EXPECT_TRUE(AppendStoredRecord(&c, RECORD_TYPE_FILE, 1001, stored, cab.size(), digest, DevKey(), &error));
    return c;
  };
  std::vector<uint32_t> swapped = lengths, short3 = lengths, split = lengths;
  std::swap(swapped[0], swapped[1]);
  short3[2] += short3[3], short3.pop_back();
  split[1] -= 1, split[2] += 1;
  struct Case {
    const char* name;
    std::string entry;
    const char* problem;  // empty: reads fine
  } cases[] = {
      {"matching index", cabLine + "\\" + SegmentsField(M, lengths), ""},
      {"no index (one stream)", cabLine, ""},
      {"lengths swapped", cabLine + "\\" + SegmentsField(M, swapped), "corrupt: a segment does not decode"},
      {"a boundary one byte off", cabLine + "\\" + SegmentsField(M, split), "corrupt: a segment does not decode"},
      {"one segment too few", cabLine + "\\" + SegmentsField(M, short3), "corrupt: the entry's segment index does not fit"},
      {"another segment size", cabLine + "\\" + SegmentsField(2 * M, lengths), "corrupt: the entry's segment index does not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = container(c.entry);
    FoundSource source{"whole file", Bytes(), &bytes};
    std::vector<RecordProblem> problems;
    uint32_t checked = 0;
    VerifySources({source}, DevKey(), &checked, &problems);
    std::vector<UnpackPackage> plan;
    ASSERT_TRUE(PlanUnpack({source}, &plan, &error)) << error;
    Bytes decoded;
    const bool read = ReadVerifiedRecord(source, false, 1001, DevKey(), &decoded, &error, &plan[0].files[1]);
    if (!*c.problem) {
      EXPECT_TRUE(problems.empty()) << problems[0].what;
      EXPECT_TRUE(read && decoded == cab) << error;
      continue;
    }
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].what.rfind(std::string("file record 1001 (manifest entry 1001): ") + c.problem, 0), 0u)
        << problems[0].what;
    EXPECT_FALSE(read);
    EXPECT_NE(error.find(std::string("file record 1001 (a.cab): ") + c.problem), std::string::npos) << error;
  }
}

TEST(Json, ValuesAndErrors) {
  JsonValue v;
  std::string error;
  ASSERT_TRUE(ParseJson(" {\"a\": [1, -2.5e3, true, null, \"x\\n\\ud83d\\ude00\"], \"b\": {}} ", &v, &error));
  const JsonValue* a = v.Find("a");
  ASSERT_TRUE(a && a->items.size() == 5);
  EXPECT_EQ(a->items[1].text, "-2.5e3");
  EXPECT_EQ(a->items[4].text, "x\n\xF0\x9F\x98\x80");
  for (const char* bad : {"{", "{\"a\" 1}", "[1,]", "\"open", "{} x", "[\"\\ud800\"]", "tru"}) {
    EXPECT_FALSE(ParseJson(bad, &v, &error)) << bad;
    EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << bad << ": " << error;
  }
  EXPECT_FALSE(ParseJson(std::string(100, '['), &v, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos);
}

// The writer's layout is the tool's --json layout, which scripts read: nested objects and
// arrays, empty ones, escaped text, and number lists whose odd items stay strings. The result
// must also read back with the parser.
TEST(Json, WriterLayout) {
  JsonWriter json;
  JsonObject(&json);
  JsonField(&json, "schema");
  JsonNumber(&json, 1);
  JsonField(&json, "name");
  JsonString(&json, "a\"b\\c\x01");
  JsonField(&json, "empty");
  JsonArray(&json);
  JsonEnd(&json);
  JsonField(&json, "items");
  JsonArray(&json);
  JsonObject(&json);
  JsonField(&json, "ok");
  JsonBool(&json, true);
  JsonField(&json, "why");
  JsonNull(&json);
  JsonEnd(&json);
  JsonNumber(&json, 4294967296u);
  JsonNumberList(&json, "1033;x;;01031;000");
  JsonEnd(&json);
  JsonField(&json, "last");
  JsonBool(&json, false);
  JsonEnd(&json);
  EXPECT_EQ(json.text,
            "{\"schema\": 1, \"name\": \"a\\\"b\\\\c\\u0001\", \"empty\": [], \"items\": "
            "[{\"ok\": true, \"why\": null}, 4294967296, [1033, \"x\", \"\", 1031, 0]], "
            "\"last\": false}");
  JsonWriter list;
  JsonNumberList(&list, "1033;1031");
  JsonValue v;
  std::string error;
  ASSERT_TRUE(ParseJson(list.text, &v, &error)) << error;
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[1].text, "1031");
}
