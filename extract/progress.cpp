// The progress dialog: window class, in-memory template, and the timer that steps the
// writer (see progress.h).
//
// A timer message runs job steps back to back for up to PROGRESS_BATCH_MILLISECONDS (the
// system raises a zero timer period to about 10 ms, so one step per message would cap
// extraction at one step per 10 ms), then moves the bar and the taskbar button once. The
// timer is re-armed as a message starts, so that period passes while the batch writes; it is
// killed while an error box is open. Building with MSISTUB_ONE_STEP_PER_TICK=1 runs exactly
// one step per timer message instead.
#include "extract/progress.h"

#include <commctrl.h>

#include <cstring>

#include "common/errortext.h"

#ifndef MSISTUB_ONE_STEP_PER_TICK
#define MSISTUB_ONE_STEP_PER_TICK 0
#endif

namespace {

// How the dialog ends (EndDialog).
enum : INT_PTR {
  PROGRESS_DONE = 1,
  PROGRESS_CANCELLED = 2,
  PROGRESS_NOT_STORED = 3,
  PROGRESS_FAILED = 4,
};

enum : uint32_t {
  PROGRESS_CLASS_STYLE = CS_DBLCLKS | CS_NOCLOSE | CS_SAVEBITS,
  // A centred modal popup with a caption and a system menu, in the template's font.
  PROGRESS_DIALOG_STYLE = static_cast<uint32_t>(WS_POPUP) | WS_CAPTION | WS_SYSMENU | DS_SETFONT |
                          DS_MODALFRAME | DS_CENTER,
  PROGRESS_BAR_ID = 100,
  PROGRESS_TIMER_ID = 1,
  PROGRESS_TEXT_SIZE = 1024,
  PROGRESS_CAPTION_SIZE = 256,
  TEMPLATE_STRING_UNITS = 50,  // terminator included
  TEMPLATE_FIXED_BYTES = 28,
  PROGRESS_BATCH_MILLISECONDS = 40,  // 25 bar updates a second
};

// Writes `text` as NUL-terminated UTF-16 at `at`, at most TEMPLATE_STRING_UNITS units with
// the terminator; a longer text is cut without splitting a surrogate pair. `room` is the
// number of units available, which is at least the text's length in bytes plus one.
WCHAR* PutTemplateString(WCHAR* at, size_t room, const char* text) {
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, at, static_cast<int>(room));
  if (units <= 0) {
    at[0] = 0;
    return at + 1;
  }
  int length = units - 1;
  if (length > static_cast<int>(TEMPLATE_STRING_UNITS) - 1) {
    length = static_cast<int>(TEMPLATE_STRING_UNITS) - 1;
    if (at[length - 1] >= 0xD800 && at[length - 1] <= 0xDBFF) --length;
  }
  at[length] = 0;
  return at + length + 1;
}

void BuildTemplate(BYTE* block, uint32_t size, const char* className, const char* caption,
                   const char* fontName) {
  BYTE* end = block + size;
  DWORD style = PROGRESS_DIALOG_STYLE;
  std::memcpy(block, &style, 4);  // extended style and item count stay 0
  WORD geometry[5] = {0, 0, 180, 40, 0};  // x, y, cx, cy, menu
  std::memcpy(block + 10, geometry, sizeof geometry);
  auto* at = reinterpret_cast<WCHAR*>(block + 20);
  at = PutTemplateString(at, (end - reinterpret_cast<BYTE*>(at)) / 2, className);
  at = PutTemplateString(at, (end - reinterpret_cast<BYTE*>(at)) / 2, caption);
  *at++ = 10;  // point size
  at = PutTemplateString(at, (end - reinterpret_cast<BYTE*>(at)) / 2, fontName);
  // A cut string leaves converted units behind the end of the template: clear them.
  std::memset(at, 0, end - reinterpret_cast<BYTE*>(at));
}

int AskRetry(HWND dialog, const char* text) {
  char caption[PROGRESS_CAPTION_SIZE];
  caption[0] = '\0';
  GetWindowTextA(dialog, caption, sizeof caption);
  return MessageBoxA(dialog, text, caption, MB_ICONQUESTION | MB_RETRYCANCEL);
}

// What the dialog works with: the job it steps, the taskbar button it moves and its timer.
// `busy` is set while a timer message is handled: a message that arrives meanwhile (through
// a box's message loop, or a taskbar call that waits on another process) is dropped.
struct DialogState {
  ExtractJob* job;
  TaskbarProgress* taskbar;
  UINT_PTR timerId;
  bool busy;
};

// Arms the step timer, asking the user while it cannot be armed; false when the user gives up.
bool ArmTimer(HWND dialog, DialogState* state) {
  for (;;) {
    state->timerId = SetTimer(dialog, PROGRESS_TIMER_ID, 0, nullptr);
    if (state->timerId) return true;
    char text[PROGRESS_TEXT_SIZE];
    FormatErrorText(GetLastError(), text, sizeof text, nullptr);
    if (AskRetry(dialog, text) == IDCANCEL) return false;
  }
}

void InitDialog(HWND dialog, DialogState* state) {
  SetLastError(0);
  if (SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state)) == 0 &&
      GetLastError() != 0) {
    EndDialog(dialog, PROGRESS_NOT_STORED);
    return;
  }
  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
  auto font = reinterpret_cast<WPARAM>(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)));
  RECT rect = {5, 14, 5 + 170, 14 + 12};
  MapDialogRect(dialog, &rect);
  HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, rect.left, rect.top,
                             rect.right - rect.left, rect.bottom - rect.top, dialog,
                             reinterpret_cast<HMENU>(static_cast<UINT_PTR>(PROGRESS_BAR_ID)),
                             instance, nullptr);
  if (bar) SendMessageA(bar, WM_SETFONT, font, FALSE);
  HANDLE big = LoadImageA(instance, "APP", IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR);
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  HANDLE small = LoadImageA(instance, "APP", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  SendDlgItemMessageA(dialog, PROGRESS_BAR_ID, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendDlgItemMessageA(dialog, PROGRESS_BAR_ID, PBM_SETPOS, 0, 0);
  TaskbarProgressSetWindow(state->taskbar, dialog);
  TaskbarProgressSetState(state->taskbar, TRUE);
  TaskbarProgressSetTotal(state->taskbar, state->job->total);
  TaskbarProgressSetCompleted(state->taskbar, 0);
  if (!ArmTimer(dialog, state)) EndDialog(dialog, PROGRESS_CANCELLED);
}

// One timer message: re-arm, write a batch, move the bar, end or ask on failure.
void HandleTick(HWND dialog, DialogState* state) {
  ExtractJob* job = state->job;
  // Re-armed before the batch, so the timer's period (about 10 ms at least) runs out while
  // the batch writes and the next batch follows once the dialog has painted and taken its
  // input. Re-arming after the batch left the writer idle for that period every time.
  if (!ArmTimer(dialog, state)) {
    EndDialog(dialog, PROGRESS_CANCELLED);
    return;
  }
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const LONGLONG budget = frequency.QuadPart * PROGRESS_BATCH_MILLISECONDS / 1000;
  uint32_t code;
  for (;;) {
    code = StatusCode(ExtractJobStep(job));
    if (code != ERROR_MORE_DATA || MSISTUB_ONE_STEP_PER_TICK) break;
    QueryPerformanceCounter(&now);
    if (now.QuadPart - start.QuadPart >= budget) break;
  }
  // Once per timer message: the bar repaints at once whenever its position changes, and a
  // repaint per step took longer than the writing. Both count decoded bytes written.
  const uint64_t completed = job->completed < job->total ? job->completed : job->total;
  const uint32_t percent =
      code == ERROR_SUCCESS || job->total == 0
          ? 100
          : static_cast<uint32_t>(static_cast<double>(completed) / static_cast<double>(job->total) * 100.0);
  SendDlgItemMessageA(dialog, PROGRESS_BAR_ID, PBM_SETPOS, percent, 0);
  TaskbarProgressSetCompleted(state->taskbar, code == ERROR_SUCCESS ? job->total : completed);
  if (code == ERROR_SUCCESS) {
    KillTimer(dialog, state->timerId);
    EndDialog(dialog, PROGRESS_DONE);
    return;
  }
  if (code == ERROR_MORE_DATA) return;
  KillTimer(dialog, state->timerId);
  // A bad payload or a read error ends the job: nothing to retry.
  if (code != ERROR_WRITE_FAULT) {
    EndDialog(dialog, PROGRESS_FAILED);
    return;
  }
  // No timer while the box is open; Retry arms it again and the next step resumes the file.
  const char* detail = nullptr;
  if (job->position >= 0 && job->position < job->fileCount)
    detail = job->files[job->position].path;
  char text[PROGRESS_TEXT_SIZE];
  FormatErrorText(code, text, sizeof text, detail);
  if (AskRetry(dialog, text) == IDCANCEL || !ArmTimer(dialog, state))
    EndDialog(dialog, PROGRESS_CANCELLED);
}

void OnTimer(HWND dialog) {
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  if (!state || state->busy) return;
  state->busy = true;
  HandleTick(dialog, state);
  state->busy = false;
}

// Size in bytes of the in-memory dialog template for these three strings.
uint32_t ProgressTemplateSize(const char* className, const char* caption, const char* fontName) {
  return static_cast<uint32_t>(
      2 * (std::strlen(className) + std::strlen(caption) + std::strlen(fontName)) +
      TEMPLATE_FIXED_BYTES);
}
}  // namespace

Status ShowProgressDialog(HINSTANCE instance, ExtractJob* job, const char* className,
                          const char* caption, const char* fontName, TaskbarProgress* taskbar) {
  WNDCLASSA windowClass;
  std::memset(&windowClass, 0, sizeof windowClass);
  windowClass.style = PROGRESS_CLASS_STYLE;
  windowClass.lpfnWndProc = DefDlgProcA;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);  // an earlier registration of the same name is fine

  uint32_t size = ProgressTemplateSize(className, caption, fontName);
  HGLOBAL block = GlobalAlloc(GMEM_ZEROINIT, size);
  if (!block) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  auto* bytes = static_cast<BYTE*>(GlobalLock(block));
  if (!bytes) {
    const Status locked = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
    GlobalFree(block);
    return locked;
  }
  BuildTemplate(bytes, size, className, caption, fontName);
  DialogState state = {job, taskbar, 0, false};
  SetLastError(ERROR_SUCCESS);
  INT_PTR result = DialogBoxIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(bytes),
                                           nullptr, ProgressDialogProc,
                                           reinterpret_cast<LPARAM>(&state));
  Status status = STATUS(ERROR_SUCCESS);
  if (result == PROGRESS_CANCELLED)
    status = STATUS(ERROR_CANCELLED);
  else if (result == PROGRESS_FAILED)
    status = job->failure;
  else if (result == PROGRESS_NOT_STORED)
    status = STATUS(ERROR_CAN_NOT_COMPLETE);
  else if (result != PROGRESS_DONE)
    status = STATUS_FROM_LAST_ERROR(ERROR_CAN_NOT_COMPLETE);  // no dialog
  GlobalUnlock(block);
  GlobalFree(block);
  return status;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(dialog, &paint);
      EndPaint(dialog, &paint);
      break;
    }
    case WM_INITDIALOG:
      InitDialog(dialog, reinterpret_cast<DialogState*>(lParam));
      break;
    case WM_TIMER:
      OnTimer(dialog);
      break;
    default:
      break;
  }
  return FALSE;
}
