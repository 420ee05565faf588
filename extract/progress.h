// Progress dialog and taskbar progress.
//
// ShowProgressDialog runs a modal dialog (built from an in-memory template) whose timer
// drives ExtractJobStep (see stream.h) and moves a 0..100 progress bar and the taskbar
// button's progress, both by decoded bytes written of the job's total.
// One timer message runs steps back to back for about 40 ms, then updates the bar and the
// taskbar once, and the message loop runs again; a build with
// MSISTUB_ONE_STEP_PER_TICK=1 runs one step per timer message. A write failure or a timer
// that cannot be armed is offered for Retry/Cancel in a box captioned with the dialog's text.
// A failure that ends the job (a bad record, a read error) ends the dialog without a box.
// It returns success when all is written, 1223 (ERROR_CANCELLED) when the user chose Cancel
// in an error box, the job's failure when it ended, 1003 (ERROR_CAN_NOT_COMPLETE) when the job could not be stored in the
// dialog, and the system's error (8 without template memory, else default 1003) when there
// is no dialog. The dialog drives the caller's
// TaskbarProgress record when one is given; every taskbar operation accepts a missing record.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "common/winseam.h"
#include "extract/stream.h"

struct ITaskbarList3;

struct TaskbarProgress {
  ITaskbarList3* taskbar;
  HWND window;
  uint64_t total;
  uint64_t completed;
};


// A record over the shell's ITaskbarList3 (LocalAlloc), or null when there is none.
TaskbarProgress* TaskbarProgressCreate();
// The window whose taskbar button shows the progress.
void TaskbarProgressSetWindow(TaskbarProgress* progress, HWND window);
// Normal progress state (TRUE) or none (FALSE) on the window's button.
void TaskbarProgressSetState(TaskbarProgress* progress, BOOL normal);
// The value that counts as complete.
void TaskbarProgressSetTotal(TaskbarProgress* progress, uint64_t total);
// The value reached so far (of the total).
void TaskbarProgressSetCompleted(TaskbarProgress* progress, uint64_t completed);
// Releases the interface and frees the record.
void TaskbarProgressRelease(TaskbarProgress* progress);

Status ShowProgressDialog(HINSTANCE instance, ExtractJob* job, const char* className,
                           const char* caption, const char* fontName,
                           TaskbarProgress* taskbar = nullptr);
// The dialog procedure behind ShowProgressDialog.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
