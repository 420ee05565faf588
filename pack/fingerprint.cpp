// The payload key a stub trusts (see fingerprint.h).
#include "pack/fingerprint.h"

#include <openssl/evp.h>

#include <cstring>

#include "common/chars.h"
#include "common/format.h"
#include "pack/keys.h"

namespace {
enum : uint32_t {
  PE_FILE_HEADER_AT = 4,            // from e_lfanew: IMAGE_FILE_HEADER
  PE_OPTIONAL_AT = 24,              // from e_lfanew: the optional header
  PE_RESOURCE_DIR_OFFSET = 152,     // from e_lfanew: PE32+ data directory entry 2
  SECTION_HEADER_SIZE = 40,
  RESOURCE_DIR_SIZE = 16,
  RESOURCE_ENTRY_SIZE = 8,
  RESOURCE_DATA_ENTRY_SIZE = 16,
  RT_RCDATA_ID = 10,
  RT_VERSION_ID = 16,
  VERSION_FIXED_AT = 40,            // VS_FIXEDFILEINFO in a VS_VERSIONINFO block
  VERSION_FIXED_SIZE = 52,
  VERSION_FIXED_SIGNATURE = 0xFEEF04BDu,
  MAX_RESOURCE_ENTRIES = 4096,
};

struct Image {
  const Bytes& bytes;
  uint32_t sections;       // file offset of the section table
  uint32_t sectionCount;
  uint32_t rootOffset;     // file offset of the root resource directory
  uint32_t rootRva;
  uint32_t rootLimit;      // file offset where the resource section's raw data ends

  bool Fits(uint64_t offset, uint64_t size) const {
    return offset <= bytes.size() && size <= bytes.size() - offset;
  }
};

// The file offset of `rva`, inside one section's raw data with `size` bytes available.
bool RvaToOffset(const Image& image, uint32_t rva, uint32_t size, uint32_t* offset,
                 uint32_t* limit) {
  for (uint32_t i = 0; i < image.sectionCount; ++i) {
    const uint8_t* s = image.bytes.data() + image.sections + i * SECTION_HEADER_SIZE;
    const uint32_t va = ReadLe32(s + 12), raw = ReadLe32(s + 16), at = ReadLe32(s + 20);
    if (rva < va || rva - va >= raw) continue;
    const uint64_t start = static_cast<uint64_t>(at) + (rva - va);
    const uint64_t end = static_cast<uint64_t>(at) + raw;
    if (!image.Fits(at, raw) || end - start < size) return false;
    *offset = static_cast<uint32_t>(start);
    if (limit) *limit = static_cast<uint32_t>(end);
    return true;
  }
  return false;
}

// An entry's name: a string of the resource section, compared without regard to ASCII case.
bool NameIs(const Image& image, uint32_t nameField, const char* name) {
  if (!(nameField & 0x80000000u)) return false;
  const uint64_t at = static_cast<uint64_t>(image.rootOffset) + (nameField & 0x7FFFFFFFu);
  if (at + 2 > image.rootLimit) return false;
  const uint32_t length = ReadLe16(image.bytes.data() + at);
  if (length != std::strlen(name) || at + 2 + 2ull * length > image.rootLimit) return false;
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t c = AsciiUpper<uint32_t>(ReadLe16(image.bytes.data() + at + 2 + 2 * i));
    if (c != static_cast<unsigned char>(name[i])) return false;
  }
  return true;
}

// The OffsetToData field of the first entry of the directory at `dirOffset` (relative to the
// root) that `match` accepts; 0 when there is none.
template <typename Match>
uint32_t FindEntry(const Image& image, uint32_t dirOffset, Match match) {
  const uint64_t at = static_cast<uint64_t>(image.rootOffset) + dirOffset;
  if (at + RESOURCE_DIR_SIZE > image.rootLimit) return 0;
  const uint8_t* dir = image.bytes.data() + at;
  const uint32_t count = static_cast<uint32_t>(ReadLe16(dir + 12)) + ReadLe16(dir + 14);
  if (count > MAX_RESOURCE_ENTRIES ||
      at + RESOURCE_DIR_SIZE + static_cast<uint64_t>(count) * RESOURCE_ENTRY_SIZE > image.rootLimit)
    return 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = dir + RESOURCE_DIR_SIZE + i * RESOURCE_ENTRY_SIZE;
    if (match(ReadLe32(e))) return ReadLe32(e + 4);
  }
  return 0;
}

// The section table and the resource root of a PE32+ image; false when there is none.
bool OpenImage(Image* image) {
  const Bytes& bytes = image->bytes;
  if (bytes.size() < PE_MIN_IMAGE_SIZE || bytes.size() > 0xFFFFFFFFu) return false;
  const uint32_t lfanew = ReadLe32(bytes.data() + PE_LFANEW_OFFSET);
  if (!image->Fits(lfanew, PE_HEADERS_SIZE) || std::memcmp(bytes.data() + lfanew, "PE\0\0", 4) != 0 ||
      ReadLe16(bytes.data() + lfanew + PE_OPTIONAL_MAGIC_OFFSET) != PE_OPTIONAL_MAGIC_PE32PLUS)
    return false;
  const uint8_t* fileHeader = bytes.data() + lfanew + PE_FILE_HEADER_AT;
  image->sectionCount = ReadLe16(fileHeader + 2);
  image->sections = lfanew + PE_OPTIONAL_AT + ReadLe16(fileHeader + 16);
  if (!image->Fits(image->sections, static_cast<uint64_t>(image->sectionCount) * SECTION_HEADER_SIZE))
    return false;
  image->rootRva = ReadLe32(bytes.data() + lfanew + PE_RESOURCE_DIR_OFFSET);
  return image->rootRva != 0 && RvaToOffset(*image, image->rootRva, RESOURCE_DIR_SIZE,
                                            &image->rootOffset, &image->rootLimit);
}
}  // namespace

bool FindStubResource(const Bytes& bytes, uint32_t type, uint32_t id, const uint8_t** data,
                      uint32_t* size) {
  Image image{bytes, 0, 0, 0, 0, 0};
  if (!OpenImage(&image)) return false;
  const uint32_t types = FindEntry(image, 0, [&](uint32_t n) { return n == type; });
  if (!(types & 0x80000000u)) return false;
  const uint32_t names = FindEntry(image, types & 0x7FFFFFFFu, [&](uint32_t n) { return n == id; });
  if (!(names & 0x80000000u)) return false;
  const uint32_t entry = FindEntry(image, names & 0x7FFFFFFFu, [](uint32_t) { return true; });
  const uint64_t entryAt = static_cast<uint64_t>(image.rootOffset) + entry;
  uint32_t offset = 0;
  if (entry == 0 || (entry & 0x80000000u) || entryAt + RESOURCE_DATA_ENTRY_SIZE > image.rootLimit)
    return false;
  const uint32_t length = ReadLe32(bytes.data() + entryAt + 4);
  if (!RvaToOffset(image, ReadLe32(bytes.data() + entryAt), length, &offset, nullptr)) return false;
  *data = bytes.data() + offset;
  *size = length;
  return true;
}

bool ReadStubKey(const Bytes& bytes, StubKey* key) {
  *key = StubKey();
  Image image{bytes, 0, 0, 0, 0, 0};
  if (!OpenImage(&image)) return false;

  // Type RT_RCDATA, then the name, then the first language.
  const uint32_t types = FindEntry(image, 0, [](uint32_t n) { return n == RT_RCDATA_ID; });
  if (!(types & 0x80000000u)) return false;
  const uint32_t names = FindEntry(image, types & 0x7FFFFFFFu,
                                   [&](uint32_t n) { return NameIs(image, n, STUB_KEY_RESOURCE_NAME); });
  if (!(names & 0x80000000u)) return false;
  const uint32_t data = FindEntry(image, names & 0x7FFFFFFFu, [](uint32_t) { return true; });
  key->found = true;
  const uint64_t entryAt = static_cast<uint64_t>(image.rootOffset) + data;
  uint32_t offset = 0;
  if ((data & 0x80000000u) || entryAt + RESOURCE_DATA_ENTRY_SIZE > image.rootLimit ||
      ReadLe32(bytes.data() + entryAt + 4) != STUB_KEY_RESOURCE_SIZE ||
      !RvaToOffset(image, ReadLe32(bytes.data() + entryAt), STUB_KEY_RESOURCE_SIZE, &offset, nullptr)) {
    key->problem = "its key resource " + std::string(STUB_KEY_RESOURCE_NAME) + " is malformed";
    return false;
  }
  const uint8_t* r = bytes.data() + offset;
  if (std::memcmp(r, STUB_KEY_RESOURCE_MAGIC, 4) != 0 ||
      ReadLe32(r + 4) != STUB_KEY_RESOURCE_VERSION) {
    key->problem = "its key resource " + std::string(STUB_KEY_RESOURCE_NAME) +
                   " has an unknown format (a newer msistub?)";
    return false;
  }
  key->development = (ReadLe32(r + 8) & STUB_KEY_DEVELOPMENT) != 0;
  std::memcpy(key->fingerprint, r + 12, KEY_FINGERPRINT_SIZE);
  return true;
}

bool KeyFingerprint(EVP_PKEY* key, uint8_t fingerprint[KEY_FINGERPRINT_SIZE], std::string* error) {
  Bytes blob;
  if (!PublicKeyBlob(key, &blob, error)) return false;
  if (EVP_Digest(blob.data(), blob.size(), fingerprint, nullptr, EVP_sha256(), nullptr) != 1) {
    *error = "cannot hash the public key: " + OpenSslReason();
    return false;
  }
  return true;
}

std::string FingerprintHex(const uint8_t fingerprint[KEY_FINGERPRINT_SIZE]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint32_t i = 0; i < KEY_FINGERPRINT_SIZE; ++i) {
    out += kDigits[fingerprint[i] >> 4];
    out += kDigits[fingerprint[i] & 15];
  }
  return out;
}

bool CheckKeyAgainstStub(const StubKey& stub, const std::string& stubPath, EVP_PKEY* key,
                         const std::string& keyPath, bool allowDevelopment, std::string* error) {
  if (!stub.problem.empty()) {
    *error = stubPath + ": " + stub.problem;
    return false;
  }
  if (!stub.found) return true;
  if (stub.development && !allowDevelopment) {
    *error = stubPath + ": the stub trusts the DEVELOPMENT key its build generated (fingerprint " +
             FingerprintHex(stub.fingerprint) + "), not a release key: a setup made from it is "
             "for testing only. Build the stub with -DMSISTUB_PUBLIC_KEY=<your .public.blob>, or "
             "give --allow-development-key for a test setup";
    return false;
  }
  if (!key) return true;
  uint8_t mine[KEY_FINGERPRINT_SIZE];
  if (!KeyFingerprint(key, mine, error)) return false;
  if (std::memcmp(mine, stub.fingerprint, KEY_FINGERPRINT_SIZE) != 0) {
    *error = keyPath + " is not the key " + stubPath + " trusts: the key's fingerprint is " +
             FingerprintHex(mine) + ", the stub's is " + FingerprintHex(stub.fingerprint) +
             ". The stub would refuse every record on every machine; use the private key whose "
             "public half the stub was built with";
    return false;
  }
  return true;
}
