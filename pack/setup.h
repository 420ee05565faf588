// What goes into a container: packages and cabinets, and how they become one.
//
// A package is an MSI with its descriptor fields; a cabinet is a file written next to the
// MSI of the packages that list it. Command-line forms:
//   --package ARCH:LANGS:CODE:NAME:PATH   (split at the first four ':'; PATH may hold ':')
//   --cab PATH:IDS                        (split at the last ':'; IDS like 1000;1001;
//                                          the cabinet keeps its file name)
// A JSON file (LoadSetupConfig) says the same, with names free of the ':' restriction:
//   {"packages": [{"arch": "x64", "languages": [1033, 1031], "productCode": "{...}",
//                  "productName": "...", "msi": "path"}],
//    "cabinets": [{"path": "main.cab", "packages": [1000], "name": "main.cab"}]}
// Relative paths in the file are taken from the file's folder. FinishSetup assigns entry
// ids (packages 1000, 1001, ... in order, cabinets after them) and checks everything the
// stub would otherwise trip over. BuildContainer reads the files and writes the signed
// container: the manifest (package descriptors, then cabinet lines, each with the digest,
// size and segments fields of its file) first, then one compressed, signed, segmented
// FileRecord per file (packer.h: read segment by segment, compressed on all cores); the
// container depends only on the inputs, the key, the compression level and the segment size.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/packer.h"
#include "pack/writer.h"

struct PackageSpec {
  std::string architecture;
  std::string languages;  // "1033;1031"
  std::string productCode;
  std::string productName;
  std::string msiPath;
  uint32_t id = 0;
};

struct CabinetSpec {
  std::string path;
  std::vector<uint32_t> packageIds;
  std::string name;  // empty: the file name of `path`
  uint32_t id = 0;
};

struct SetupSpec {
  std::vector<PackageSpec> packages;
  std::vector<CabinetSpec> cabinets;
  int compressionLevel = DEFAULT_COMPRESSION_LEVEL;  // libdeflate, 0 to 12
  unsigned threads = 0;                              // compressing at once; 0: one per core
  uint32_t segmentSize = DEFAULT_SEGMENT_SIZE;       // decoded bytes per segment
};

enum : uint32_t { FIRST_PACKAGE_ID = 1000 };

bool ParsePackageArgument(const std::string& arg, PackageSpec* package, std::string* error);
bool ParseCabinetArgument(const std::string& arg, CabinetSpec* cabinet, std::string* error);
bool LoadSetupConfig(const std::string& path, SetupSpec* setup, std::string* error);
bool FinishSetup(SetupSpec* setup, std::string* error);

// Manifest texts. `sha256` (lowercase hex), when not empty, becomes the entry's digest field
// (RECORD_DIGEST_PREFIX and the hex digits, after the regular fields), `size`, when not
// negative, the size field behind it (RECORD_SIZE_PREFIX and the decoded size in decimal,
// manifest/size.h), and `segments`, when not empty, the field behind that (SegmentsField);
// there is no size field without a digest field and no segments field without a size field.
std::string PackageDescriptor(const PackageSpec& package, const std::string& sha256 = "",
                              int64_t size = -1, const std::string& segments = "");
std::string CabinetLine(const CabinetSpec& cabinet, const std::string& sha256 = "",
                        int64_t size = -1, const std::string& segments = "");
// The segments field (manifest/segments.h) of a record cut at `segmentSize`.
std::string SegmentsField(uint32_t segmentSize, const std::vector<uint32_t>& lengths);
// `sha256`: hex digests by record id, `sizes`: decoded sizes by record id, `segments`: the
// segments fields by record id; entries without a digest get none of them.
std::vector<ManifestEntry> SetupManifest(const SetupSpec& setup,
                                         const std::map<uint32_t, std::string>& sha256 = {},
                                         const std::map<uint32_t, int64_t>& sizes = {},
                                         const std::map<uint32_t, std::string>& segments = {});

// A container in two parts: the ManifestRecord in memory, the FileRecords behind it in a
// temporary file.
struct ContainerParts {
  Bytes head;
  ScratchFile records;
  ContainerParts() = default;
  ContainerParts(const ContainerParts&) = delete;
  ContainerParts& operator=(const ContainerParts&) = delete;
  ~ContainerParts() { CloseScratchFile(&records); }
  uint64_t size() const { return head.size() + records.size; }
};

// The container: the ManifestRecord, every entry bound to its file by a digest field, then
// the packages' and the cabinets' FileRecords (PackFiles; `progress` hears of the bytes
// compressed). The records' temporary file is made next to `scratchNear` (empty: in the
// system's temporary folder). `manifest`, when given, receives the entries. `room` is the
// most the container may take (4 GiB - 1 less the stub); the build stops as soon as the
// records compressed so far pass it, not after compressing everything.
bool BuildContainerParts(const SetupSpec& setup, EVP_PKEY* key, const std::string& scratchNear,
                         ContainerParts* parts, std::string* error,
                         const PackProgress* progress = nullptr,
                         std::vector<ManifestEntry>* manifest = nullptr, uint64_t room = 0xFFFFFFFFu);
// `size` bytes of the container at `offset`.
bool ReadContainerParts(const ContainerParts& parts, uint64_t offset, uint8_t* out, size_t size,
                        std::string* error);
// BuildContainerParts with the whole container in memory (tests, small setups).
bool BuildContainer(const SetupSpec& setup, EVP_PKEY* key, Bytes* container, std::string* error,
                    const PackProgress* progress = nullptr,
                    std::vector<ManifestEntry>* manifest = nullptr, uint64_t room = 0xFFFFFFFFu);
