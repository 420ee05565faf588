// The progress dialog on real jobs, its Retry/Cancel box, close requests, the template size
// and the taskbar progress record. A watcher thread plays the user through the Windows API.
#include <gtest/gtest.h>

#include "common/winseam.h"

#include <commctrl.h>
#include <objbase.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "extract/progress.h"
#include "extract/cleanup.h"
#include "extract/tests/testfiles.h"
#include "extract/tests/testpayload.h"

namespace {

const char kClass[] = "MSI_STUB_WINDOW_CLASS_NAME";
const char kFont[] = "MS Sans Serif";

template <typename F>
HWND WaitFor(F find) {
  for (int i = 0; i < 1000; ++i) {
    HWND w = find();
    if (w) return w;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

// A top-level window of the test's GUI thread with this class and, when given, this title
// (tests of other programs may show dialogs on the same display at the same time).
HWND FindOwn(DWORD thread, const char* cls, const char* title) {
  struct Search {
    const char* cls;
    const char* title;
    HWND found;
  } search = {cls, title, nullptr};
  EnumThreadWindows(
      thread,
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        char c[64] = {}, t[256] = {};
        GetClassNameA(w, c, sizeof c);
        GetWindowTextA(w, t, sizeof t);
        if (lstrcmpA(c, s->cls) != 0 || (s->title && lstrcmpA(t, s->title) != 0)) return TRUE;
        s->found = w;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string StaticTexts(HWND box) {
  std::string all;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char cls[64] = {}, text[1024] = {};
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0)
      all += text;
  }
  return all;
}

// A job over real records, each file staged in a folder of its own.
struct Job {
  TempFolder dir;
  TestPayload payload;
  ExtractFile* files = nullptr;
  int32_t count = 0;
  ExtractJob job = {};

  // Files of `size` bytes each; `segmented` ones with a segment index.
  void Open(const char* const* names, size_t n, uint32_t size, bool segmented = false) {
    for (size_t i = 0; i < n; ++i)
      payload.Add(names[i], Pattern(size, static_cast<uint32_t>(i) + 1), segmented);
    payload.Seal();
    count = static_cast<int32_t>(n);
    files = FilesOf(payload.plans);
    ASSERT_NE(files, nullptr);
    for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(StageIn(&files[i], dir.path(), i));
    InitExtractJob(&job, &payload.table, files, count);
  }
  bool Complete() {
    for (int32_t i = 0; i < count; ++i) {
      std::vector<uint8_t> got;
      if (files[i].state != FILE_VERIFIED || !ReadWholeFile(files[i].stagingPath, &got) ||
          got != payload.contents[i])
        return false;
    }
    return true;
  }
  ~Job() {
    StopExtractJob(&job);
    DiscardStagedFiles(files, count);
    FreeExtractFiles(files, count);
  }
};

TEST(ProgressDialog, WritesAJobAndEndsWith1) {
  Job j;
  const char* names[] = {"main.msi", "a.cab"};
  j.Open(names, 2, 2 * SEGMENT_SIZE_MIN + 5, true);
  Status result = ShowProgressDialog(GetModuleHandleA(nullptr), &j.job, kClass, "Product 1.0", kFont);
  EXPECT_TRUE(StatusOk(result)) << StatusCode(result);
  EXPECT_EQ(j.job.position, 2);
  EXPECT_EQ(j.job.completed, j.job.total);
  EXPECT_TRUE(j.Complete());
  // A second dialog registers the class again, harmlessly.
  Job k;
  k.Open(names, 1, 10);
  EXPECT_TRUE(StatusOk(ShowProgressDialog(GetModuleHandleA(nullptr), &k.job, kClass, "Again", kFont)));
  EXPECT_TRUE(k.Complete());
}

// A failed write shows Retry/Cancel with the product name as caption and the file in the
// text; close requests do not end the dialog; Retry resumes the same file.
TEST(ProgressDialog, RetryAfterAWriteFailureCompletesTheFiles) {
  Job j;
  const char* names[] = {"main.msi", "data1.cab"};
  j.Open(names, 2, 2 * EXTRACT_STEP_SIZE + 3);
  HANDLE good = j.files[1].staging;
  HANDLE readOnly = CreateFileA(j.files[1].stagingPath, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  j.files[1].staging = readOnly;
  // 60 characters: the caption is cut to 49.
  std::string caption = "Contoso Widget Suite 2026 with a rather long name xxxxxxxxxx";
  ASSERT_EQ(caption.size(), 60u);
  std::string shown = caption.substr(0, 49);

  std::string boxText, dialogClass;
  bool barOk = false, iconsOk = false;
  std::atomic<bool> done{false};
  DWORD gui = GetCurrentThreadId();
  std::thread user([&] {
    HWND dialog = WaitFor([&] { return FindOwn(gui, kClass, shown.c_str()); });
    HWND box = WaitFor([&] { return FindOwn(gui, "#32770", shown.c_str()); });
    if (!dialog || !box) {
      if (box) PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    char cls[64] = {};
    GetClassNameA(dialog, cls, sizeof cls);
    dialogClass = cls;
    HWND bar = GetDlgItem(dialog, 100);
    char barClass[64] = {};
    if (bar) GetClassNameA(bar, barClass, sizeof barClass);
    PBRANGE range = {};
    if (bar) SendMessageA(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    barOk = lstrcmpiA(barClass, PROGRESS_CLASSA) == 0 && range.iLow == 0 && range.iHigh == 100;
    iconsOk = SendMessageA(dialog, WM_GETICON, ICON_BIG, 0) != 0 &&
              SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0) != 0;
    boxText = StaticTexts(box);
    // The user tries to close the dialog in every way while the box is up.
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // ...then answers Retry once the file can be written.
    j.files[1].staging = good;
    PostMessageA(box, WM_COMMAND, IDRETRY, 0);
    done = true;
  });
  Status result = ShowProgressDialog(GetModuleHandleA(nullptr), &j.job, kClass, caption.c_str(), kFont);
  user.join();
  CloseHandle(readOnly);
  ASSERT_TRUE(done) << "dialog or box not found";
  EXPECT_TRUE(StatusOk(result)) << StatusCode(result);
  EXPECT_EQ(dialogClass, kClass);
  EXPECT_TRUE(barOk);
  EXPECT_TRUE(iconsOk) << "the APP icon group, large and small";
  EXPECT_NE(boxText.find(j.files[1].path), std::string::npos) << boxText;
  EXPECT_NE(boxText.find("(" + std::string(j.files[1].path) + ")."), std::string::npos) << boxText;
  EXPECT_TRUE(j.Complete());
}

TEST(ProgressDialog, CancelInTheErrorBoxEndsWith2) {
  CoInitialize(nullptr);
  TaskbarProgress* taskbar = TaskbarProgressCreate();
  ASSERT_NE(taskbar, nullptr) << "Wine reports Windows 7 or later";
  Job j;
  const char* names[] = {"main.msi"};
  j.Open(names, 1, 100);
  HANDLE good = j.files[0].staging;
  j.files[0].staging = CreateFileA(j.files[0].stagingPath, GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  HWND seen = nullptr;
  DWORD gui = GetCurrentThreadId();
  std::thread user([&] {
    seen = WaitFor([&] { return FindOwn(gui, kClass, "Product"); });
    HWND box = WaitFor([&] { return FindOwn(gui, "#32770", "Product"); });
    if (box) PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
  });
  Status result =
      ShowProgressDialog(GetModuleHandleA(nullptr), &j.job, kClass, "Product", kFont, taskbar);
  user.join();
  EXPECT_EQ(StatusCode(result), static_cast<uint32_t>(ERROR_CANCELLED));
  EXPECT_EQ(j.files[0].writtenBytes, 0u);
  EXPECT_EQ(taskbar->window, seen);
  EXPECT_EQ(taskbar->total, 100u) << "the taskbar counts bytes";
  EXPECT_EQ(taskbar->completed, 0u);
  CloseHandle(j.files[0].staging);
  j.files[0].staging = good;
  TaskbarProgressRelease(taskbar);
  CoUninitialize();
}

// A record that turns out bad while it is written (here: the last segment's stored bytes
// damaged) ends the dialog at once with its code and shows no box: there is nothing to retry.
TEST(ProgressDialog, ABadRecordEndsTheDialogWithoutABox) {
  Job j;
  const char* names[] = {"main.msi"};
  j.Open(names, 1, 2 * SEGMENT_SIZE_MIN + 100, true);
  const FileSetItem& plan = j.payload.plans[0];
  j.payload.container[plan.place.dataOffset +
                      SegmentStoredStart(&plan.segments, plan.segments.count - 1) + 30] ^= 0x40;
  std::atomic<bool> stop{false};
  std::atomic<bool> boxSeen{false};
  DWORD gui = GetCurrentThreadId();
  std::thread user([&] {
    while (!stop) {
      HWND box = FindOwn(gui, "#32770", "Product");
      if (box) {
        boxSeen = true;
        PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  Status result = ShowProgressDialog(GetModuleHandleA(nullptr), &j.job, kClass, "Product", kFont);
  stop = true;
  user.join();
  EXPECT_EQ(StatusCode(result), static_cast<uint32_t>(ERROR_INVALID_DATA));
  EXPECT_FALSE(boxSeen);
  EXPECT_EQ(j.files[0].state, static_cast<uint32_t>(FILE_STAGED));
}

// A caption of 60 characters of the active code page (double-byte ones where the code page
// has them) is cut to 49 whole characters; the template stays well-formed.
TEST(ProgressDialog, LongCaptionIsCutToWholeCharacters) {
  std::wstring wide(60, L'\x3042');
  BOOL lossy = FALSE;
  char probe[8];
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), 1, probe, sizeof probe, nullptr, &lossy);
  if (lossy) wide.assign(60, L'\x00E9');
  char caption[256] = {};
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, caption, sizeof caption, nullptr, nullptr);
  Job j;
  const char* names[] = {"main.msi"};
  j.Open(names, 1, 10);
  HANDLE good = j.files[0].staging;
  j.files[0].staging = CreateFileA(j.files[0].stagingPath, GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  std::wstring title;
  DWORD gui = GetCurrentThreadId();
  std::thread user([&] {
    HWND dialog = WaitFor([&] { return FindOwn(gui, kClass, nullptr); });
    HWND box = WaitFor([&] { return FindOwn(gui, "#32770", nullptr); });
    WCHAR text[256] = {};
    if (dialog) GetWindowTextW(dialog, text, 256);
    title = text;
    if (box) PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
  });
  Status result = ShowProgressDialog(GetModuleHandleA(nullptr), &j.job, kClass, caption, kFont);
  user.join();
  CloseHandle(j.files[0].staging);
  j.files[0].staging = good;
  EXPECT_EQ(StatusCode(result), static_cast<uint32_t>(ERROR_CANCELLED));
  EXPECT_TRUE(title == wide.substr(0, 49)) << "caption of " << title.size() << " units";
}

TEST(TaskbarProgress, MissingRecordOrInterfaceIsHarmless) {
  TaskbarProgressSetWindow(nullptr, reinterpret_cast<HWND>(1));
  TaskbarProgressSetState(nullptr, TRUE);
  TaskbarProgressSetTotal(nullptr, 100);
  TaskbarProgressSetCompleted(nullptr, 5);
  TaskbarProgressRelease(nullptr);
  auto* record = static_cast<TaskbarProgress*>(LocalAlloc(LPTR, sizeof(TaskbarProgress)));
  ASSERT_NE(record, nullptr);
  TaskbarProgressSetWindow(record, GetDesktopWindow());
  TaskbarProgressSetState(record, TRUE);
  TaskbarProgressSetTotal(record, 100);
  TaskbarProgressSetCompleted(record, 42);
  EXPECT_EQ(record->window, GetDesktopWindow());
  EXPECT_EQ(record->total, 100u);
  EXPECT_EQ(record->completed, 42u);
  EXPECT_EQ(record->taskbar, nullptr);
  TaskbarProgressRelease(record);
}

}  // namespace
