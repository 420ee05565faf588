// Tamper sweep: every byte of a small signed container flipped, the container cut at every
// length and at every record start, each record's content changed and compressed anew under
// its old signature, a copy of each record appended, every pair of records swapped, and every
// FileRecord relabelled: given each other FileRecord's id, and every pair swapping ids (its
// signature stays valid: it covers the content only). Each variant goes through the stub's
// own discovery (AddContainerSource), selection (SelectPackage), file set plan
// (AssembleFileSet) and the verified reading of every file (ReadPlannedFile), and its outcome
// is classified:
//   identical  the same selection and the same file set (names and bytes) as the untampered
//              container: the changed bytes were not used;
//   1168, 13, 1392   the failure code the run ends with (discovery's code, or 13 for a
//              selection or file set that fails);
//   RELABELLED a file set that differs from the original, but whose every item is the
//              verified content of one of the container's own records, served under another
//              entry: what the manifest's digest fields are there to stop;
//   ESCAPE     anything else: another code, other bytes, or a leaked block.
// The table of counts is printed; any RELABELLED or ESCAPE case fails the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/format.h"
#include "manifest/fileread.h"
#include "manifest/fileset.h"
#include "manifest/select.h"
#include "pack/keys.h"
#include "pack/setup.h"
#include "pack/writer.h"
#include "payload/record.h"
#include "payload/sources.h"

namespace fs = std::filesystem;

namespace {
const uint32_t kTrailerSize = 28;

struct Outcome {
  uint32_t code = 0;  // 0: a file set was assembled
  std::string selected;
  std::vector<std::pair<std::string, Bytes>> items;
  long leaked = 0;
};

// Mixed content: text runs and noise, so the stored records are small but not trivial.
Bytes Content(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < size) {
    if (random() % 3) {
      const char* word = (random() % 2) ? "component " : "feature ";
      out.insert(out.end(), word, word + std::strlen(word));
    } else {
      for (int i = 0; i < 12; ++i) out.push_back(static_cast<uint8_t>(random()));
    }
  }
  out.resize(size);
  return out;
}

void ResetTable() {
  FreeSources();
}

bool CollectBytes(void* user, const uint8_t* data, uint32_t size) {
  static_cast<Bytes*>(user)->insert(static_cast<Bytes*>(user)->end(), data, data + size);
  return true;
}

// One run of discovery, selection, the plan and the reading over `container`, as the stub
// does it.
Outcome RunStub(const Bytes& container) {
  Outcome outcome;
  const long before = HostLiveAllocations();
  ResetTable();
  Status status = AddContainerSource(container.data(), static_cast<uint32_t>(container.size()));
  if (!StatusOk(status)) {
    outcome.code = StatusCode(status);
  } else {
    PackageSelection selection{};
    FileSetItem* items = nullptr;
    int32_t count = 0;
    const SelectionContext context = {1033, 1};
    if (!StatusOk(SelectPackage(&context, &selection))) {
      outcome.code = ERROR_INVALID_DATA;
    } else {
      outcome.selected = std::string(selection.architecture) + "\\" + selection.languages +
                         "\\" + selection.productCode + "\\" + selection.productName;
      // The plan, then every file read and verified as the stub writes it: a failure of
      // either ends the run with 13.
      if (!StatusOk(AssembleFileSet(&gSourceTable, &selection, &items, &count,
                                    FILESET_REQUIRE_DIGESTS)))
        outcome.code = ERROR_INVALID_DATA;
    }
    for (int32_t i = 0; i < count && outcome.code == 0; ++i) {
      Bytes bytes;
      const Status read = ReadPlannedFile(&gSourceTable, &items[i], CollectBytes, &bytes);
      if (StatusOk(read))
        outcome.items.emplace_back(items[i].name, bytes);
      else
        outcome.code = ERROR_INVALID_DATA;
    }
    if (outcome.code != 0) outcome.items.clear();
    FreeFileSet(items, count);
  }
  ResetTable();
  outcome.leaked = HostLiveAllocations() - before;
  return outcome;
}

// Record spans [start, end) of a well-formed container, first record first.
std::vector<std::pair<size_t, size_t>> Records(const Bytes& container) {
  std::vector<std::pair<size_t, size_t>> records;
  size_t end = container.size();
  while (end >= kTrailerSize) {
    const uint8_t* trailer = container.data() + end - kTrailerSize;
    uint32_t signatureSize, dataSize;
    std::memcpy(&signatureSize, trailer + 20, 4);
    std::memcpy(&dataSize, trailer + 24, 4);
    const size_t start = end - kTrailerSize - signatureSize - dataSize;
    records.insert(records.begin(), {start, end});
    end = start;
  }
  EXPECT_EQ(end, 0u);
  return records;
}

struct Sweep {
  Outcome original;
  std::set<Bytes> signedContents;  // the verified content of every record of the original
  std::map<std::string, long> counts;
  std::vector<std::string> escapes;
  long cases = 0;

  void Classify(const std::string& what, const Bytes& variant) {
    ++cases;
    const Outcome o = RunStub(variant);
    std::string cls;
    if (o.leaked != 0) {
      cls = "ESCAPE";
    } else if (o.code != 0) {
      cls = (o.code == 1168 || o.code == 13 || o.code == 1392) ? std::to_string(o.code) : "ESCAPE";
    } else if (o.selected == original.selected && o.items == original.items) {
      cls = "identical";
    } else {
      cls = "RELABELLED";
      for (const auto& item : o.items)
        if (!signedContents.count(item.second)) cls = "ESCAPE";
    }
    ++counts[cls];
    if (cls == "ESCAPE" || cls == "RELABELLED")
      escapes.push_back(cls + " " + what + ": code " + std::to_string(o.code) + ", " +
                        std::to_string(o.items.size()) + " items, " + std::to_string(o.leaked) +
                        " blocks leaked");
  }
};

TEST(TamperSweep, NoVariantEscapes) {
  // The product: an x64 package with its own and a shared cabinet, and an Intel package (so
  // that some records are never used by an x64 run).
  const fs::path dir = fs::temp_directory_path() / ("tamper-sweep-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"x64.msi", Content(1, 900)},   {"x86.msi", Content(2, 700)},
      {"x64.cab", Content(3, 1200)},  {"x86.cab", Content(4, 500)},
      {"shared.cab", Content(5, 600)}};
  for (const auto& f : files)
    std::ofstream((dir / f.first).string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(f.second.data()), f.second.size());
  SetupSpec setup;
  std::string error;
  PackageSpec package;
  ASSERT_TRUE(ParsePackageArgument("x64:1033:{7A0E4C21-5B3D-4E6F-8A9B-0C1D2E3F4A51}:Tamper Test:" +
                                       (dir / "x64.msi").string(), &package, &error)) << error;
  setup.packages.push_back(package);
  ASSERT_TRUE(ParsePackageArgument("Intel:1033:{7A0E4C21-5B3D-4E6F-8A9B-0C1D2E3F4A52}:Tamper Test "
                                   "x86:" + (dir / "x86.msi").string(), &package, &error)) << error;
  setup.packages.push_back(package);
  for (const char* cab : {"x64.cab:1000", "x86.cab:1001", "shared.cab:1000;1001"}) {
    CabinetSpec spec;
    ASSERT_TRUE(ParseCabinetArgument((dir / cab).string(), &spec, &error)) << error;
    setup.cabinets.push_back(spec);
  }
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  EVP_PKEY* key = LoadPrivateKey(MSISTUB_TEST_PRIVATE_KEY, &error);
  ASSERT_NE(key, nullptr) << error;
  Bytes container;
  ASSERT_TRUE(BuildContainer(setup, key, &container, &error)) << error;
  EVP_PKEY_free(key);
  fs::remove_all(dir);

  Sweep sweep;
  sweep.original = RunStub(container);
  ASSERT_EQ(sweep.original.code, 0u);
  ASSERT_EQ(sweep.original.items.size(), 3u);
  EXPECT_EQ(sweep.original.items[0], (std::pair<std::string, Bytes>{"main.msi", files[0].second}));
  EXPECT_EQ(sweep.original.items[1], (std::pair<std::string, Bytes>{"x64.cab", files[2].second}));
  EXPECT_EQ(sweep.original.items[2], (std::pair<std::string, Bytes>{"shared.cab", files[4].second}));
  for (const auto& f : files) sweep.signedContents.insert(f.second);

  const auto records = Records(container);
  ASSERT_EQ(records.size(), 6u);  // the manifest and five files
  const auto started = std::chrono::steady_clock::now();

  for (size_t i = 0; i < container.size(); ++i) {
    for (uint8_t mask : {0xFF, 0x01}) {
      Bytes variant = container;
      variant[i] ^= mask;
      sweep.Classify("byte " + std::to_string(i) + " ^ " + std::to_string(mask), variant);
    }
  }
  const long flips = sweep.cases;
  for (size_t n = 0; n < container.size(); ++n)
    sweep.Classify("first " + std::to_string(n) + " bytes",
                   Bytes(container.begin(), container.begin() + n));
  for (const auto& r : records)
    if (r.first > 0)
      sweep.Classify("cut before " + std::to_string(r.first),
                     Bytes(container.begin() + r.first, container.end()));
  // Forged content: a record's bytes changed and compressed anew into a valid zlib stream,
  // its signature kept. Only the signature check can tell.
  for (const auto& r : records) {
    uint32_t dataSize;
    std::memcpy(&dataSize, &container[r.second - 4], 4);
    uint8_t* decoded = nullptr;
    uint32_t decodedSize = 0;
    ASSERT_EQ(StatusCode(InflateRecord(&container[r.first], dataSize, &decoded, &decodedSize)), 0u);
    const Bytes content(decoded, decoded + decodedSize);
    LocalFree(decoded);
    for (size_t at : {size_t{0}, content.size() / 2, content.size() - 1}) {
      Bytes forged = content, stored;
      forged[at] ^= 0x20;
      ASSERT_TRUE(CompressRecordData(forged.data(), forged.size(), &stored, &error)) << error;
      Bytes variant(container.begin(), container.begin() + r.first);
      variant.insert(variant.end(), stored.begin(), stored.end());
      variant.insert(variant.end(), container.begin() + r.first + dataSize,
                     container.begin() + r.second);
      const uint32_t storedSize = static_cast<uint32_t>(stored.size());
      std::memcpy(&variant[variant.size() - 4], &storedSize, 4);
      variant.insert(variant.end(), container.begin() + r.second, container.end());
      sweep.Classify("record at " + std::to_string(r.first) + " forged at " + std::to_string(at),
                     variant);
    }
  }
  for (const auto& r : records) {
    Bytes variant = container;
    variant.insert(variant.end(), container.begin() + r.first, container.begin() + r.second);
    sweep.Classify("record at " + std::to_string(r.first) + " appended", variant);
  }
  for (size_t a = 0; a < records.size(); ++a) {
    for (size_t b = a + 1; b < records.size(); ++b) {
      Bytes variant;
      for (size_t k = 0; k < records.size(); ++k) {
        const auto& r = records[k == a ? b : k == b ? a : k];
        variant.insert(variant.end(), container.begin() + r.first, container.begin() + r.second);
      }
      sweep.Classify("records " + std::to_string(a) + " and " + std::to_string(b) + " swapped",
                     variant);
    }
  }
  // Relabelling: a FileRecord's trailer given another FileRecord's id (the later of two
  // records with one id is the one found), and two FileRecords swapping ids.
  auto idAt = [&](size_t record) { return records[record].second - kTrailerSize + 16; };
  for (size_t a = 1; a < records.size(); ++a) {
    for (size_t b = 1; b < records.size(); ++b) {
      if (a == b) continue;
      Bytes variant = container;
      std::memcpy(&variant[idAt(a)], &container[idAt(b)], 4);
      sweep.Classify("record " + std::to_string(a) + " given the id of record " + std::to_string(b),
                     variant);
      if (b < a) continue;
      std::memcpy(&variant[idAt(b)], &container[idAt(a)], 4);
      sweep.Classify("records " + std::to_string(a) + " and " + std::to_string(b) + " swap ids",
                     variant);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("tamper sweep over a %zu-byte container (6 records): %ld cases (%ld byte flips, "
              "%ld cuts, forged contents, appends, swaps and relabels together) in %.1f s\n",
              container.size(), sweep.cases, flips, sweep.cases - flips, seconds);
  std::printf("  %-10s %8s\n", "outcome", "cases");
  for (const auto& c : sweep.counts) std::printf("  %-10s %8ld\n", c.first.c_str(), c.second);
  for (const auto& e : sweep.escapes) ADD_FAILURE() << "escape: " << e;
  // Every class the stub's rules predict shows up: the sweep really reaches each check.
  for (const char* cls : {"identical", "1168", "13", "1392"})
    EXPECT_GT(sweep.counts[cls], 0) << "no case ended as " << cls;
}
}  // namespace
