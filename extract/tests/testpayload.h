// A signed, compressed test payload for the extraction tests: real records (zlib streams,
// segmented or not, signed with the development key) in a container of their own, with the
// plans the file set would make for them.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "manifest/fileset.h"
#include "manifest/tests/fixture.h"
#include "payload/tests/testkit.h"

// A signed, compressed payload in a source table of its own; each file stored as one stream
// or in segments of SEGMENT_SIZE_MIN bytes with its index in the plan.
struct TestPayload {
  Bytes container;
  PayloadSource source = {};
  SourceTable table = {};
  std::vector<FileSetItem> plans;
  std::vector<Bytes> contents;

  void Add(const std::string& name, const Bytes& content, bool segmented) {
    const uint32_t id = static_cast<uint32_t>(plans.size()) + 1;
    FileSetItem plan = {};
    std::snprintf(plan.name, sizeof plan.name, "%s", name.c_str());
    plan.recordId = id;
    plan.flags = FILE_HAS_DIGEST | FILE_HAS_SIZE;
    plan.size = static_cast<uint32_t>(content.size());
    DigestRecordBytes(content.data(), plan.size, plan.digest);
    Bytes stored;
    if (segmented) {
      std::vector<uint32_t> lengths;
      stored = SegmentedDeflate(content, SEGMENT_SIZE_MIN, &lengths);
      plan.segments.segmentSize = SEGMENT_SIZE_MIN;
      plan.segments.count = static_cast<uint32_t>(lengths.size());
      plan.segments.storedEnd =
          static_cast<uint32_t*>(LocalAlloc(LMEM_FIXED, sizeof(uint32_t) * lengths.size()));
      uint32_t end = 0;
      for (size_t i = 0; i < lengths.size(); ++i) plan.segments.storedEnd[i] = end += lengths[i];
    } else {
      stored = Deflate(content);
    }
    AppendRawRecord(&container, RECORD_TYPE_FILE, id, stored, SignContent(content));
    plans.push_back(plan);
    contents.push_back(content);
  }
  // The source over the container, and every plan's record place.
  void Seal() {
    source = SourceOver(&container, SOURCE_COMPRESSED | SOURCE_SIGNED);
    table.sources = &source;
    table.sourceCount = 1;
    for (FileSetItem& plan : plans) {
      ASSERT_TRUE(StatusOk(LocateSourceRecord(&source, RECORD_TYPE_FILE, plan.recordId, &plan.place)));
      if (plan.segments.count)
        ASSERT_TRUE(StatusOk(CheckSegmentIndex(&plan.segments, plan.place.dataSize, plan.size)));
    }
  }
};

