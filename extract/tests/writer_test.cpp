// ExtractJobStep on real files: the call sequences, resuming after a failed write.
#include <gtest/gtest.h>

#include <utility>

#include "extract/tests/testfiles.h"
#include "extract/writer.h"

namespace {

const uint32_t kStep = EXTRACT_STEP_SIZE;
typedef std::pair<uint32_t, uint32_t> Call;  // result, percent

ExtractJob NewJob(ExtractItem* items, int32_t count) {
  ExtractJob job = {};
  job.items = items;
  job.itemCount = count;
  job.position = -1;
  job.stepSize = kStep;
  return job;
}

std::vector<Call> RunToEnd(ExtractJob* job) {
  std::vector<Call> calls;
  for (int guard = 0; guard < 1000; ++guard) {
    uint32_t percent = 12345;
    uint32_t code = StatusCode(ExtractJobStep(job, &percent));
    calls.push_back({code, percent});
    if (code != ERROR_MORE_DATA) break;
  }
  return calls;
}

struct SequenceCase {
  const char* what;
  std::vector<int64_t> sizes;  // negative: an item without a file, of -size bytes
  std::vector<Call> want;
};

TEST(ExtractJobStep, CallSequences) {
  const uint32_t M = ERROR_MORE_DATA;
  const SequenceCase cases[] = {
      {"empty job", {}, {{0, 100}}},
      {"0-byte item", {0}, {{M, 0}, {0, 100}}},
      {"exactly one step", {kStep}, {{M, 0}, {M, 100}, {0, 100}}},
      {"one step and a byte", {kStep + 1}, {{M, 0}, {M, 99}, {M, 100}, {0, 100}}},
      {"item without a file", {-1000}, {{M, 0}, {0, 100}}},
      {"two items",
       {2 * kStep + 7, 3},
       {{M, 0}, {M, 49}, {M, 99}, {M, 100}, {M, 0}, {M, 100}, {0, 100}}},
      {"file-less item between two",
       {5, -3 * static_cast<int64_t>(kStep), 1},
       {{M, 0}, {M, 100}, {M, 0}, {M, 0}, {M, 100}, {0, 100}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    std::vector<std::vector<uint8_t>> data;
    std::vector<ExtractItem> items;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      int64_t size = c.sizes[i];
      data.push_back(Pattern(static_cast<uint32_t>(size < 0 ? -size : size), static_cast<uint32_t>(i)));
    }
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      std::string path = dir.File("item" + std::to_string(i));
      if (c.sizes[i] >= 0) {
        items.push_back(OpenItem(path, data[i]));
        ASSERT_NE(items.back().file, INVALID_HANDLE_VALUE);
      } else {
        // Its file existed before: it must stay as it is.
        WriteWholeFile(path, "kept");
        ExtractItem item = {};
        std::snprintf(item.path, sizeof item.path, "%s", path.c_str());
        item.content = NewContent("item" + std::to_string(i), data[i].data(),
                                  static_cast<uint32_t>(data[i].size()));
        items.push_back(item);
      }
    }
    ExtractJob job = NewJob(items.data(), static_cast<int32_t>(items.size()));
    EXPECT_EQ(RunToEnd(&job), c.want);
    EXPECT_EQ(job.position, job.itemCount);
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].file, nullptr) << i;
      EXPECT_EQ(items[i].written, items[i].content->size) << i;
      std::vector<uint8_t> got;
      ASSERT_TRUE(ReadWholeFile(items[i].path, &got)) << i;
      if (c.sizes[i] >= 0)
        EXPECT_TRUE(got == data[i]) << "content of item " << i;
      else
        EXPECT_EQ(std::string(got.begin(), got.end()), "kept");
    }
  }
}

TEST(ExtractJobStep, PercentIsOptional) {
  TempFolder dir;
  std::vector<uint8_t> data = Pattern(kStep + 1, 9);
  ExtractItem item = OpenItem(dir.File("a"), data);
  ExtractJob job = NewJob(&item, 1);
  int calls = 0;
  uint32_t code;
  while ((code = StatusCode(ExtractJobStep(&job, nullptr))) == ERROR_MORE_DATA) ++calls;
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(item.written, item.content->size);
}

// A step whose handle cannot write fails with 29; the next step with a good handle resumes
// the same item after the last byte written, and the file ends up byte-identical.
TEST(ExtractJobStep, ResumesAfterAFailedWrite) {
  TempFolder dir;
  std::vector<uint8_t> data = Pattern(3 * kStep + 100, 4);
  std::string path = dir.File("main.msi");
  ExtractItem item = OpenItem(path, data);
  HANDLE good = item.file;
  HANDLE readOnly = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  ExtractJob job = NewJob(&item, 1);
  uint32_t percent = 0;
  EXPECT_EQ(StatusCode(ExtractJobStep(&job, &percent)), 234u);  // enters item 0
  EXPECT_EQ(StatusCode(ExtractJobStep(&job, &percent)), 234u);  // first chunk
  EXPECT_EQ(item.written, kStep);

  item.file = readOnly;
  EXPECT_EQ(StatusCode(ExtractJobStep(&job, &percent)), 29u);
  EXPECT_EQ(item.written, kStep);
  EXPECT_EQ(percent, 33u);
  EXPECT_EQ(StatusCode(ExtractJobStep(&job, &percent)), 29u);  // still failing: nothing moves
  EXPECT_EQ(job.position, 0);
  EXPECT_EQ(item.written, kStep);

  item.file = good;
  std::vector<Call> rest = RunToEnd(&job);
  std::vector<Call> want = {{234, 66}, {234, 99}, {234, 100}, {0, 100}};
  EXPECT_EQ(rest, want);
  EXPECT_EQ(item.file, nullptr);
  CloseHandle(readOnly);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_TRUE(got == data);
}

}  // namespace
