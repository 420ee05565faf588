// Manifests and registered sources for the manifest tests.
//
// Manifest() lays entries out as the stub reads them (id, byte length, UTF-16LE text with its
// NUL); RegisterSource() copies a manifest and a container into LocalAlloc blocks and appends
// them to gSourceTable, so FreeSources releases them. TestFields reads one entry's fields. SourceTableTest starts and ends every
// test with an empty table (64-bit, user LCID 1033).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "manifest/entry.h"
#include "payload/sources.h"

using Bytes = std::vector<uint8_t>;
using Entries = std::vector<std::pair<uint32_t, std::string>>;

// One entry with an explicit byte length and body (the body may be shorter or longer).
Bytes RawEntry(uint32_t id, uint32_t length, const Bytes& body);
// The UTF-16LE bytes of UTF-8 `text`, with (or without) the terminating NUL.
Bytes Utf16(const std::string& text, bool withNul = true);

// A manifest entry's fields read from UTF-8 `text` (or from UTF-16LE bytes), freed with it.
struct TestFields {
  explicit TestFields(const std::string& text);
  explicit TestFields(const Bytes& units);
  ~TestFields();
  TestFields(const TestFields&) = delete;
  TestFields& operator=(const TestFields&) = delete;
  ManifestFields fields;
};
// Entries in order, each text stored with its NUL.
Bytes Manifest(const Entries& entries);

// zlib's stream of `plain` in independent segments of `segmentSize` decoded bytes (a full
// flush behind each but the last), as the packaging tool lays a record out; `lengths` gets
// each segment's stored length.
Bytes SegmentedDeflate(const Bytes& plain, uint32_t segmentSize, std::vector<uint32_t>* lengths);

void RegisterSource(const Bytes& manifest, const Bytes& container = Bytes(), uint32_t flags = 0);

class SourceTableTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
