// Where the extraction time goes (benchmarks only): the same files written by the bare writer
// loop and under the progress dialog, so the difference is the time between writer batches.
//   bench_dialog RUNS OUTDIR FILE...     (Windows paths)
// Per run prints "bare <s>", "dialog <s> ticks <timer messages>" and "empty <s>" (a dialog
// over a job with no items: its creation and teardown, subtracted by the harness). Every run
// checks that each written file has its source's size.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/winseam.h"
#include "extract/progress.h"
#include "extract/cleanup.h"
#include "extract/stream.h"
#include "extract/tests/testfiles.h"

namespace {
LONG gTicks = 0;

LRESULT CALLBACK CountTimers(int code, WPARAM wParam, LPARAM lParam) {
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == WM_TIMER) ++gTicks;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_dialog: %s\n", what.c_str());
  std::exit(1);
}

std::vector<uint8_t> ReadAll(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(std::string("cannot open ") + path);
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  std::vector<uint8_t> data(static_cast<size_t>(size.QuadPart));
  DWORD n = 0;
  for (size_t done = 0; done < data.size(); done += n)
    if (!ReadFile(file, data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr) || !n)
      Fail(std::string("cannot read ") + path);
  CloseHandle(file);
  return data;
}

double Seconds() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// The bench files as plain records; each run stages them anew in OUTDIR under their names.
struct Files {
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> data;
  PlainPayload payload;
  ExtractFile* files = nullptr;

  void Seal() {
    for (size_t i = 0; i < data.size(); ++i)
      payload.Add(paths[i], data[i].data(), static_cast<uint32_t>(data[i].size()));
    payload.Seal();
  }
  ExtractJob Open() {
    Close();
    files = FilesOf(payload.plans);
    if (!files) Fail("no memory");
    for (size_t i = 0; i < data.size(); ++i) {
      ExtractFile* file = &files[i];
      std::snprintf(file->stagingPath, sizeof file->stagingPath, "%s", paths[i].c_str());
      file->staging = CreateFileA(file->stagingPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file->staging == INVALID_HANDLE_VALUE) Fail("cannot create " + paths[i]);
      file->state = FILE_STAGED;
    }
    ExtractJob job;
    InitExtractJob(&job, &payload.table, files, static_cast<int32_t>(data.size()));
    return job;
  }
  void Close() {
    if (!files) return;
    for (size_t i = 0; i < data.size(); ++i)
      if (files[i].staging) CloseHandle(files[i].staging);
    FreeExtractFiles(files, static_cast<int32_t>(data.size()));
    files = nullptr;
  }
  void Check() {
    Close();
    for (size_t i = 0; i < data.size(); ++i) {
      WIN32_FILE_ATTRIBUTE_DATA attributes;
      if (!GetFileAttributesExA(paths[i].c_str(), GetFileExInfoStandard, &attributes) ||
          attributes.nFileSizeLow != data[i].size() || attributes.nFileSizeHigh != 0)
        Fail("wrong size written: " + paths[i]);
      DeleteFileA(paths[i].c_str());
    }
  }
};

Status Dialog(ExtractJob* job) {
  return ShowProgressDialog(GetModuleHandleA(nullptr), job, "MSI_STUB_WINDOW_CLASS_NAME",
                            "Bench Product", "MS Sans Serif");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) Fail("usage: bench_dialog RUNS OUTDIR FILE...");
  const int runs = std::atoi(argv[1]);
  Files files;
  for (int i = 3; i < argc; ++i) {
    std::string name = argv[i];
    const size_t cut = name.find_last_of("\\/");
    files.paths.push_back(std::string(argv[2]) + "\\" + name.substr(cut == std::string::npos ? 0 : cut + 1));
    files.data.push_back(ReadAll(argv[i]));
  }
  files.Seal();
  SetWindowsHookExA(WH_GETMESSAGE, CountTimers, nullptr, GetCurrentThreadId());
  for (int run = 0; run < runs; ++run) {
    ExtractJob job = files.Open();
    double start = Seconds();
    uint32_t code;
    do code = StatusCode(ExtractJobStep(&job));
    while (code == ERROR_MORE_DATA);
    const double bare = Seconds() - start;
    if (code != ERROR_SUCCESS) Fail("bare writer loop failed");
    files.Check();

    job = files.Open();
    gTicks = 0;
    start = Seconds();
    const Status result = Dialog(&job);
    const double dialog = Seconds() - start;
    if (!StatusOk(result)) Fail("dialog extraction failed");
    files.Check();

    ExtractJob empty;
    InitExtractJob(&empty, nullptr, nullptr, 0);
    start = Seconds();
    Dialog(&empty);
    const double emptyDialog = Seconds() - start;
    std::printf("bare %.6f\ndialog %.6f ticks %ld\nempty %.6f\n", bare, dialog,
                static_cast<long>(gTicks), emptyDialog);
    std::fflush(stdout);
  }
  return 0;
}
