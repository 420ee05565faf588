// The streaming job on real files and real signed records: every kind of record written,
// verified and renamed; every kind of bad record ending the job with nothing left under a
// temporary name; a failed write resumed byte-identical.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "extract/cleanup.h"
#include "extract/hold.h"
#include "extract/stream.h"
#include "extract/tests/testfiles.h"
#include "extract/tests/testpayload.h"

namespace {

// Steps the job until it ends (or a minute passes); the last code.
uint32_t RunJob(ExtractJob* job, std::vector<uint64_t>* progress = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  uint32_t code = ERROR_MORE_DATA;
  while (code == ERROR_MORE_DATA &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    code = StatusCode(ExtractJobStep(job));
    if (progress) progress->push_back(job->completed);
  }
  return code;
}

Bytes Mixed(size_t size, uint32_t seed) {
  Bytes out = TextBytes(size / 2, seed);
  const Bytes noise = NoiseBytes(size - out.size(), seed + 1);
  out.insert(out.end(), noise.begin(), noise.end());
  return out;
}

TEST(ExtractJob, StreamsVerifiesAndRenamesEveryKindOfFile) {
  TempFolder dir;
  TestPayload payload;
  payload.Add("main.msi", Mixed(2 * SEGMENT_SIZE_MIN + 12345, 1), true);  // three segments
  payload.Add("a.cab", Mixed(700000, 2), false);                          // one stream
  payload.Add("empty.cab", Bytes(), false);
  payload.Add("one.cab", Mixed(100000, 3), true);                         // one segment
  payload.Add("kept.cab", Mixed(5000, 4), false);                         // there already
  payload.Seal();
  ExtractFile* files = FilesOf(payload.plans);
  ASSERT_NE(files, nullptr);
  const int32_t count = static_cast<int32_t>(payload.plans.size());
  for (int32_t i = 0; i + 1 < count; ++i) ASSERT_TRUE(StageIn(&files[i], dir.path(), i));
  files[count - 1].state = FILE_REUSED;

  ExtractJob job;
  InitExtractJob(&job, &payload.table, files, count);
  uint64_t total = 0;
  for (const Bytes& c : payload.contents) total += c.size();
  EXPECT_EQ(job.total, total);
  std::vector<uint64_t> progress;
  EXPECT_EQ(RunJob(&job, &progress), 0u);
  EXPECT_EQ(job.completed, total);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);
  for (int32_t i = 0; i + 1 < count; ++i) {
    SCOPED_TRACE(files[i].plan.name);
    EXPECT_EQ(files[i].state, static_cast<uint32_t>(FILE_VERIFIED));
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadWholeFile(files[i].stagingPath, &got));
    EXPECT_TRUE(got == payload.contents[i]);
    EXPECT_EQ(0, std::memcmp(files[i].written, files[i].plan.digest, RECORD_DIGEST_SIZE));
  }
  // Renamed through their handles, read back and held; nothing temporary is left.
  int32_t failed = -2;
  ASSERT_TRUE(StatusOk(PublishVerifiedFiles(files, count, &failed)));
  EXPECT_EQ(failed, -1);
  for (int32_t i = 0; i + 1 < count; ++i) {
    SCOPED_TRACE(files[i].plan.name);
    EXPECT_EQ(files[i].state, static_cast<uint32_t>(FILE_HELD));
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadWholeFile(files[i].path, &got));
    EXPECT_TRUE(got == payload.contents[i]);
    HANDLE writer = CreateFileA(files[i].path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "held files cannot be written";
  }
  std::vector<std::string> names = Listing(dir.path());
  EXPECT_EQ(names.size(), 4u);
  for (const std::string& name : names) EXPECT_FALSE(IsStagingName(name.c_str())) << name;
  ExtractionHold hold = {};
  CleanUpExtractedFiles(files, count, dir.path().c_str(), &hold, false, true);
  EXPECT_TRUE(Listing(dir.path()).empty());
  FreeExtractFiles(files, count);
}

// Whatever is wrong with a record ends the job with its code at that file; the files before
// it are verified, nothing after it is touched, and discarding leaves the folder empty.
TEST(ExtractJob, BadRecordsEndTheJobAndLeaveNothing) {
  struct Case {
    const char* what;
    void (*spoil)(TestPayload* payload);
    uint32_t code;
    int32_t at;  // the file whose record fails
  } cases[] = {
      {"a corrupt byte in the last segment",
       [](TestPayload* p) {
         const FileSetItem& plan = p->plans[1];
         const uint32_t last = SegmentStoredStart(&plan.segments, plan.segments.count - 1);
         p->container[plan.place.dataOffset + last + 40] ^= 0x20;
       },
       13, 1},
      {"a segment boundary off by one",
       [](TestPayload* p) {
         p->plans[1].segments.storedEnd[0] += 1;
       },
       13, 1},
      {"a manifest digest of other bytes", [](TestPayload* p) { p->plans[1].digest[0] ^= 1; },
       1392, 1},
      {"a bad signature",
       [](TestPayload* p) { p->container[p->plans[2].place.signatureOffset + 9] ^= 1; }, 1392, 2},
      {"a stream cut short", [](TestPayload* p) { p->plans[2].place.dataSize -= 6; }, 13, 2},
      {"one byte more than the stream", [](TestPayload* p) { p->plans[2].size += 1; }, 13, 2},
      {"the size of a segmented record one byte less",
       [](TestPayload* p) { p->plans[1].size -= 1; }, 13, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    TestPayload payload;
    payload.Add("main.msi", Mixed(70000, 5), false);
    payload.Add("big.cab", Mixed(2 * SEGMENT_SIZE_MIN + 999, 6), true);
    payload.Add("small.cab", Mixed(300000, 7), false);
    payload.Add("after.cab", Mixed(1000, 8), true);
    payload.Seal();
    c.spoil(&payload);
    ExtractFile* files = FilesOf(payload.plans);
    ASSERT_NE(files, nullptr);
    for (int32_t i = 0; i < 4; ++i) ASSERT_TRUE(StageIn(&files[i], dir.path(), i));
    ExtractJob job;
    InitExtractJob(&job, &payload.table, files, 4);
    EXPECT_EQ(RunJob(&job), c.code);
    EXPECT_EQ(StatusCode(job.failure), c.code);
    EXPECT_EQ(StatusCode(ExtractJobStep(&job)), c.code) << "the job stays ended";
    EXPECT_EQ(job.position, c.at);
    for (int32_t i = 0; i < 4; ++i)
      EXPECT_EQ(files[i].state, i < c.at ? FILE_VERIFIED : FILE_STAGED) << i;
    EXPECT_EQ(job.pipeline, nullptr) << "the workers have ended";
    DiscardStagedFiles(files, 4);
    EXPECT_TRUE(Listing(dir.path()).empty());
    StopExtractJob(&job);
    FreeExtractFiles(files, 4);
  }
}

// A write that fails (here: the staging handle swapped for one that cannot write) is 29 and
// moves nothing; the next steps with the right handle resume after the last byte written, in
// the middle of a decoded segment, and the file ends byte-identical.
TEST(ExtractJob, ResumesAfterAFailedWrite) {
  TempFolder dir;
  TestPayload payload;
  payload.Add("main.msi", Mixed(2 * SEGMENT_SIZE_MIN + 5, 9), true);
  payload.Seal();
  ExtractFile* files = FilesOf(payload.plans);
  ASSERT_NE(files, nullptr);
  ASSERT_TRUE(StageIn(&files[0], dir.path(), 0));
  ExtractJob job;
  InitExtractJob(&job, &payload.table, files, 1);
  // Until the first chunk of the first segment is written.
  while (files[0].writtenBytes == 0) ASSERT_EQ(StatusCode(ExtractJobStep(&job)), 234u);
  EXPECT_EQ(files[0].writtenBytes, static_cast<uint64_t>(EXTRACT_STEP_SIZE));
  HANDLE good = files[0].staging;
  HANDLE readOnly = CreateFileA(files[0].stagingPath, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  files[0].staging = readOnly;
  EXPECT_EQ(StatusCode(ExtractJobStep(&job)), 29u);
  EXPECT_EQ(StatusCode(ExtractJobStep(&job)), 29u);
  EXPECT_EQ(files[0].writtenBytes, static_cast<uint64_t>(EXTRACT_STEP_SIZE));
  EXPECT_EQ(job.completed, static_cast<uint64_t>(EXTRACT_STEP_SIZE));
  EXPECT_TRUE(StatusOk(job.failure)) << "a write error is no failure of the job";
  files[0].staging = good;
  CloseHandle(readOnly);
  EXPECT_EQ(RunJob(&job), 0u);
  EXPECT_EQ(files[0].state, static_cast<uint32_t>(FILE_VERIFIED));
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWholeFile(files[0].stagingPath, &got));
  EXPECT_TRUE(got == payload.contents[0]);
  DiscardStagedFiles(files, 1);
  FreeExtractFiles(files, 1);
}

}  // namespace
