// Extraction speed under the progress dialog: writes one job of <MiB> (default 256) in
// cabinets of 64 MiB to a temporary folder and prints the time and MB/s. The dialog stays
// up for the whole run, so a screenshot can be taken meanwhile.
//   extract_progress_bench [MiB]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/winseam.h"
#include "extract/cleanup.h"
#include "extract/progress.h"
#include "extract/tests/testfiles.h"

namespace {

double TimeDialog(ExtractJob* job, Status* result = nullptr) {
  ExtractJob empty;
  InitExtractJob(&empty, nullptr, nullptr, 0);
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  Status r = ShowProgressDialog(GetModuleHandleA(nullptr), job ? job : &empty,
                                 "MSI_STUB_WINDOW_CLASS_NAME", "Contoso Widget Suite",
                                 "MS Sans Serif");
  QueryPerformanceCounter(&b);
  if (result) *result = r;
  return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t mib = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 256;
  const uint32_t itemMiB = 64;
  TempFolder dir;
  std::vector<std::vector<uint8_t>> data;
  for (uint32_t done = 0, i = 0; done < mib; done += itemMiB, ++i) {
    uint32_t size = (mib - done < itemMiB ? mib - done : itemMiB) << 20;
    data.push_back(Pattern(size, i));
  }
  PlainPayload payload;
  for (size_t i = 0; i < data.size(); ++i)
    payload.Add("part" + std::to_string(i) + ".cab", data[i].data(),
                static_cast<uint32_t>(data[i].size()));
  payload.Seal();
  const int32_t count = static_cast<int32_t>(data.size());
  ExtractFile* files = FilesOf(payload.plans);
  if (!files) return 1;
  for (int32_t i = 0; i < count; ++i)
    if (!StageIn(&files[i], dir.path(), i)) return 1;
  ExtractJob job;
  InitExtractJob(&job, &payload.table, files, count);
  double empty = TimeDialog(nullptr);
  Status result = 0;
  double total = TimeDialog(&job, &result);
  double seconds = total - empty;
  std::printf("%s: result %d, %u MiB in %.2f s (dialog %.2f s, empty dialog %.2f s), %.1f MB/s\n",
#if MSISTUB_ONE_STEP_PER_TICK
              "one step per timer message",
#else
              "batched steps",
#endif
              static_cast<int>(StatusCode(result)), mib, seconds, total, empty, mib * 1048576.0 / 1e6 / seconds);
  StopExtractJob(&job);
  DiscardStagedFiles(files, count);
  FreeExtractFiles(files, count);
  return StatusOk(result) ? 0 : 1;
}
