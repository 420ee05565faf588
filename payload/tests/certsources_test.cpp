// Certificate-extension sources under the real cryptographic message functions: PKCS#7
// SignedData messages with certificates that carry containers in extensions are made with
// OpenSSL, put into the certificate table of a PE32+ image, and decoded by the system.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>

#include "payload/sources.h"
#include "tempfile.h"
#include "testkit.h"

extern const char kTestPrivateKeyPem[];

namespace {
struct Extension {
  const char* oid;
  bool critical;
  Bytes value;
};

EVP_PKEY* TestKey() {
  BIO* bio = BIO_new_mem_buf(kTestPrivateKeyPem, -1);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

X509* MakeCertificate(EVP_PKEY* key, const char* name, const std::vector<Extension>& extensions) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name),
                             -1, -1, 0);
  X509_set_issuer_name(cert, subject);
  X509_set_pubkey(cert, key);
  for (const Extension& e : extensions) {
    ASN1_OBJECT* obj = OBJ_txt2obj(e.oid, 1);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, e.value.data(), static_cast<int>(e.value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, e.critical ? 1 : 0, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(value);
    ASN1_OBJECT_free(obj);
  }
  X509_sign(cert, key, EVP_sha256());
  return cert;
}

// DER of a PKCS#7 SignedData over a few bytes, signed by the first certificate and carrying
// all of them in order.
Bytes SignedData(const std::vector<std::vector<Extension>>& certificates) {
  EVP_PKEY* key = TestKey();
  std::vector<X509*> certs;
  for (size_t i = 0; i < certificates.size(); ++i)
    certs.push_back(MakeCertificate(key, ("signer " + std::to_string(i)).c_str(), certificates[i]));
  STACK_OF(X509)* extra = sk_X509_new_null();
  for (size_t i = 1; i < certs.size(); ++i) sk_X509_push(extra, certs[i]);
  static const char kContent[] = "signed image digest";
  BIO* data = BIO_new_mem_buf(kContent, -1);
  PKCS7* p7 = PKCS7_sign(certs[0], key, extra, data, PKCS7_BINARY | PKCS7_NOATTR);
  EXPECT_NE(p7, nullptr);
  unsigned char* der = nullptr;
  const int size = i2d_PKCS7(p7, &der);
  Bytes out(der, der + size);
  OPENSSL_free(der);
  PKCS7_free(p7);
  BIO_free(data);
  sk_X509_free(extra);
  for (X509* c : certs) X509_free(c);
  EVP_PKEY_free(key);
  return out;
}

// A PE32+ image whose certificate table holds one WIN_CERTIFICATE with `content` and, behind
// it inside the same entry, `appended`; the table ends the file.
Bytes PeImageWithCertificate(const Bytes& content, const Bytes& appended) {
  Bytes image(0x400, 0);
  image[0] = 'M';
  image[1] = 'Z';
  const uint32_t lfanew = 0x80;
  WriteLe32(&image[PE_LFANEW_OFFSET], lfanew);
  std::memcpy(&image[lfanew], "PE\0\0", 4);
  WriteLe16(&image[lfanew + PE_OPTIONAL_MAGIC_OFFSET], PE_OPTIONAL_MAGIC_PE32PLUS);
  const uint32_t entryLength =
      WIN_CERTIFICATE_HEADER_SIZE + static_cast<uint32_t>(content.size() + appended.size());
  WriteLe32(&image[lfanew + PE_SECURITY_DIR_OFFSET], static_cast<uint32_t>(image.size()));
  WriteLe32(&image[lfanew + PE_SECURITY_DIR_OFFSET + 4], entryLength);
  uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
  WriteLe32(header, entryLength);
  WriteLe16(header + 4, 0x0200);  // WIN_CERT_REVISION_2_0
  WriteLe16(header + 6, 0x0002);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  image.insert(image.end(), header, header + sizeof(header));
  image = Concat(image, content);
  return Concat(image, appended);
}

Bytes ContainerWithManifest(const Bytes& manifest) {
  Bytes c;
  AppendSignedRecord(&c, RECORD_TYPE_MANIFEST, 0, manifest);
  AppendSignedRecord(&c, RECORD_TYPE_FILE, 1000, TextBytes(900, 4));
  return c;
}

Bytes BadlySignedContainer() {
  Bytes c;
  AppendRawRecord(&c, RECORD_TYPE_MANIFEST, 0, Deflate(TextBytes(40, 1)), SignContent(TextBytes(40, 2)));
  return c;
}

class CertificateSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&gSourceTable, 0, sizeof(gSourceTable)); }
  void TearDown() override { FreeSources(&gSourceTable); }

  uint32_t Discover(const Bytes& image) {
    return StatusCode(
        FindCertificateSources(&gSourceTable, image.data(), static_cast<uint32_t>(image.size())));
  }
  std::string Manifest(uint32_t index) {
    const PayloadSource& s = gSourceTable.sources[index];
    return std::string(reinterpret_cast<const char*>(s.manifest), s.manifestSize);
  }
};

const char kOtherOid[] = "1.2.840.113556.1.8000.2554.2951.50896.53846.17503.37240.13145692.12219547";
}  // namespace

// Non-critical extensions of the identifier yield sources certificate by certificate and
// extension by extension; critical ones and other identifiers are passed over.
TEST_F(CertificateSourcesTest, OneSourcePerNonCriticalExtensionInOrder) {
  const Bytes m1 = TextBytes(60, 1), m2 = TextBytes(70, 2), m3 = TextBytes(80, 3);
  const Bytes skipped = ContainerWithManifest(TextBytes(90, 9));
  const Bytes image = PeImageWithCertificate(
      SignedData({
          {{kOtherOid, false, skipped},
           {PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m1)},
           {PAYLOAD_EXTENSION_OID, true, skipped},
           {PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m2)}},
          {},
          {{PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m3)}},
      }),
      Bytes());
  ASSERT_EQ(Discover(image), 0u);
  ASSERT_EQ(gSourceTable.sourceCount, 3u);
  EXPECT_EQ(Manifest(0), std::string(m1.begin(), m1.end()));
  EXPECT_EQ(Manifest(1), std::string(m2.begin(), m2.end()));
  EXPECT_EQ(Manifest(2), std::string(m3.begin(), m3.end()));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(gSourceTable.sources[i].flags, 3u);
  // A source holds only its container, not the image.
  EXPECT_EQ(gSourceTable.sources[2].containerSize, ContainerWithManifest(m3).size());
}

// The usual form: no extension, the container appended behind the PKCS#7 structure inside
// the certificate entry. The message still decodes, no certificate source is found, and the
// whole image then registers as the one source.
TEST_F(CertificateSourcesTest, AppendedContainerFallsBackToTheImage) {
  const Bytes manifest = TextBytes(135, 5);
  const Bytes image =
      PeImageWithCertificate(SignedData({{{kOtherOid, false, Bytes(4, 1)}}}), ContainerWithManifest(manifest));
  ASSERT_EQ(Discover(image), 0u);
  EXPECT_EQ(gSourceTable.sourceCount, 0u);
  ASSERT_EQ(StatusCode(AddContainerSource(&gSourceTable, image.data(),
                                          static_cast<uint32_t>(image.size()))),
            0u);
  ASSERT_EQ(gSourceTable.sourceCount, 1u);
  EXPECT_EQ(Manifest(0), std::string(manifest.begin(), manifest.end()));

  // Without the appended container the image has nothing to offer.
  FreeSources(&gSourceTable);
  const Bytes bare = PeImageWithCertificate(SignedData({{}}), Bytes());
  ASSERT_EQ(Discover(bare), 0u);
  EXPECT_EQ(StatusCode(
                AddContainerSource(&gSourceTable, bare.data(), static_cast<uint32_t>(bare.size()))),
            static_cast<uint32_t>(ERROR_NOT_FOUND));
  EXPECT_EQ(gSourceTable.sourceCount, 0u);
}

// The first failure ends discovery with its code; sources found before it stay registered.
TEST_F(CertificateSourcesTest, BadContainerStopsDiscoveryKeepingEarlierSources) {
  const Bytes m1 = TextBytes(60, 1);
  const Bytes image = PeImageWithCertificate(
      SignedData({
          {{PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m1)}},
          {{PAYLOAD_EXTENSION_OID, false, BadlySignedContainer()},
           {PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(TextBytes(70, 2))}},
          {{PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(TextBytes(80, 3))}},
      }),
      Bytes());
  EXPECT_EQ(Discover(image), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  ASSERT_EQ(gSourceTable.sourceCount, 1u);
  EXPECT_EQ(Manifest(0), std::string(m1.begin(), m1.end()));

  FreeSources(&gSourceTable);
  const Bytes noManifest = PeImageWithCertificate(
      SignedData({{{PAYLOAD_EXTENSION_OID, false, NoiseBytes(100, 3)}}}), Bytes());
  EXPECT_EQ(Discover(noManifest), static_cast<uint32_t>(ERROR_NOT_FOUND));
  EXPECT_EQ(gSourceTable.sourceCount, 0u);
}

TEST_F(CertificateSourcesTest, EntryThatIsNoMessageFailsWithTheDecoderError) {
  const Bytes image = PeImageWithCertificate(NoiseBytes(500, 6), Bytes());
  EXPECT_NE(Discover(image), 0u);
  EXPECT_EQ(gSourceTable.sourceCount, 0u);
}

TEST_F(CertificateSourcesTest, ImagesWithoutAUsableTableGiveNoSourceAndNoFailure) {
  Bytes pe32 = PeImageWithCertificate(SignedData({{{PAYLOAD_EXTENSION_OID, false,
                                                    ContainerWithManifest(TextBytes(60, 1))}}}),
                                      Bytes());
  WriteLe16(&pe32[0x80 + PE_OPTIONAL_MAGIC_OFFSET], 0x10B);
  Bytes noTable = PeImageWithCertificate(Bytes(), Bytes());
  WriteLe32(&noTable[0x80 + PE_SECURITY_DIR_OFFSET + 4], 0);
  for (const Bytes& image : {pe32, noTable, NoiseBytes(3000, 1), Bytes(10, 0)}) {
    EXPECT_EQ(Discover(image), 0u);
    EXPECT_EQ(gSourceTable.sourceCount, 0u);
  }
}

// The bootstrap's discovery in its own file finds what discovery in memory finds: the
// extensions' containers (in memory, as the decoder hands them over), else the whole file as
// a source that stays in the file and whose records load from it; failures are the same.
TEST_F(CertificateSourcesTest, DiscoveryInTheFileFindsWhatDiscoveryInMemoryFinds) {
  const Bytes m1 = TextBytes(60, 1), m2 = TextBytes(70, 2), whole = TextBytes(135, 5);
  struct Case {
    const char* name;
    Bytes image;
    std::vector<Bytes> manifests;
    bool wholeFile;
    uint32_t code;
  } cases[] = {
      {"two extensions",
       PeImageWithCertificate(
           SignedData({{{PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m1)}},
                       {{PAYLOAD_EXTENSION_OID, false, ContainerWithManifest(m2)}}}),
           Bytes()),
       {m1, m2},
       false,
       0},
      {"container behind the signature",
       PeImageWithCertificate(SignedData({{{kOtherOid, false, Bytes(4, 1)}}}),
                              ContainerWithManifest(whole)),
       {whole},
       true,
       0},
      {"appended to an image without a table",
       Concat(NoiseBytes(3000, 1), ContainerWithManifest(whole)),
       {whole},
       true,
       0},
      {"bad container in an extension",
       PeImageWithCertificate(
           SignedData({{{PAYLOAD_EXTENSION_OID, false, BadlySignedContainer()}}}), Bytes()),
       {},
       false,
       static_cast<uint32_t>(ERROR_FILE_CORRUPT)},
      {"no container",
       PeImageWithCertificate(SignedData({{}}), Bytes()),
       {},
       false,
       static_cast<uint32_t>(ERROR_NOT_FOUND)},
      {"entry that is no message",
       PeImageWithCertificate(NoiseBytes(500, 6), Bytes()),
       {},
       false,
       static_cast<uint32_t>(STATUS_E_INVALIDARG)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const TempFile file(k.image);
    EXPECT_EQ(StatusCode(FindImageFileSources(&gSourceTable, file.handle(), k.image.size())),
              k.code);
    ASSERT_EQ(gSourceTable.sourceCount, k.manifests.size());
    for (uint32_t i = 0; i < k.manifests.size(); ++i) {
      EXPECT_EQ(Manifest(i), std::string(k.manifests[i].begin(), k.manifests[i].end()));
      const PayloadSource& s = gSourceTable.sources[i];
      EXPECT_EQ(s.containerData == nullptr, k.wholeFile);
      EXPECT_EQ(s.file == file.handle(), k.wholeFile);
      uint8_t* data = nullptr;
      uint32_t size = 0;
      ASSERT_EQ(StatusCode(LoadRecord(&s, RECORD_TYPE_FILE, 1000, &data, &size)), 0u);
      const Bytes want = TextBytes(900, 4);
      EXPECT_TRUE(Bytes(data, data + size) == want);
      LocalFree(data);
    }
    if (k.code == 0) {
      // Memory discovery of the same image agrees.
      FreeSources(&gSourceTable);
      uint32_t code = Discover(k.image);
      if (code == 0 && gSourceTable.sourceCount == 0)
        code = StatusCode(AddContainerSource(&gSourceTable, k.image.data(),
                                             static_cast<uint32_t>(k.image.size())));
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(gSourceTable.sourceCount, k.manifests.size());
    }
    FreeSources(&gSourceTable);
  }
}
