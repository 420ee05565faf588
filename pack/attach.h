// Putting containers into a stub executable.
//
// ReadPeImage accepts only PE32+ images and finds the checksum field and the certificate
// table. The three ways of carrying a container:
//   AttachToCertificateTable -- behind the PKCS#7 signature inside the first (only)
//     WIN_CERTIFICATE of a signed stub; zero padding goes in front of the container so the
//     entry stays a multiple of 8 bytes and the container ends at the file's last byte.
//     dwLength and the security directory size cover the container.
//   AttachAsExtensions -- each container as the value of a PAYLOAD_EXTENSION_OID extension
//     of a new self-signed certificate added to the signature's certificate set (one
//     certificate per container, or all in one); the signed content and attributes are not
//     touched, so the Authenticode signature stays valid. The certificate is derived from
//     the containers alone (a fixed, deliberately public carrier key, the serial from their
//     digest, fixed validity), so the same containers give the same bytes.
//   AppendToImage -- behind the last byte of an unsigned stub.
// A container already carried the same way is replaced (behind the signature, at the end of
// an unsigned image); extension certificates accumulate. The PE checksum is recomputed.
// Every result must stay below 4 GiB. Failures leave the image unchanged.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pack/fileio.h"

struct PeImage {
  uint32_t peOffset;
  uint32_t checksumOffset;
  uint32_t securityDirOffset;  // file offset of the security directory entry
  uint32_t tableOffset;
  uint32_t tableSize;
};

bool ReadPeImage(const Bytes& image, PeImage* pe, std::string* error);
uint32_t ComputePeChecksum(const Bytes& image, uint32_t checksumOffset);
// The same checksum over an image that arrives piece by piece.
struct PeChecksum {
  uint64_t sum;
  uint64_t length;          // bytes so far
  uint64_t checksumOffset;  // the field's own four bytes are left out
  uint8_t low;              // the first byte of a word split between two pieces
};
void BeginPeChecksum(PeChecksum* checksum, uint32_t checksumOffset);
void UpdatePeChecksum(PeChecksum* checksum, const uint8_t* data, size_t size);
uint32_t FinishPeChecksum(PeChecksum* checksum);

// The first certificate table entry split into its parts.
struct SignatureEntry {
  uint8_t header[8];     // WIN_CERTIFICATE header as found
  Bytes signature;       // the PKCS#7 DER structure
  Bytes container;       // a container found behind it (empty if none)
};
bool ReadSignatureEntry(const Bytes& image, const PeImage& pe, SignatureEntry* entry,
                        std::string* error);

// Rewrites the certificate table as one entry: header, signature, padding, then the
// container when there is one (the entry then runs to the file's end); sets the security
// directory's size and the checksum.
bool WriteSignatureEntry(Bytes* image, const PeImage& pe, const SignatureEntry& entry,
                         std::string* error);

bool AttachToCertificateTable(Bytes* image, const Bytes& container, std::string* error);

struct ExtensionOptions {
  bool oneCertificate = false;  // all containers as extensions of one certificate
  bool critical = false;        // mark the extensions critical (the stub passes them over)
};
bool AttachAsExtensions(Bytes* image, const std::vector<Bytes>& containers,
                        const ExtensionOptions& options, std::string* error);

bool AppendToImage(Bytes* image, const Bytes& container, std::string* error);

// For a container too large to hold in memory (cert-table and append mode): the bytes of
// the result in front of a container of `containerSize` bytes, every header already set for
// it (the PE checksum excepted: its field is at `checksumOffset`, to be filled in once the
// whole file has gone through a PeChecksum). The container follows and ends the file.
bool AttachedPrefix(const Bytes& image, const std::string& mode, uint64_t containerSize,
                    Bytes* prefix, uint32_t* checksumOffset, std::string* error);

// Where a container ends `bytes` (its ManifestRecord's data), or false when none does.
bool FindContainerStart(const uint8_t* bytes, uint32_t size, uint32_t* start);
