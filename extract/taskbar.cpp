// TaskbarProgress: the taskbar button's progress through ITaskbarList3 (see progress.h).
#include "extract/progress.h"

#include <objbase.h>
#include <shobjidl.h>


TaskbarProgress* TaskbarProgressCreate() {
  OSVERSIONINFOA version;
  ZeroMemory(&version, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExA(&version);
#pragma GCC diagnostic pop
  bool windows7OrLater = version.dwMajorVersion > 6 ||
                         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 1);
  if (!windows7OrLater) return nullptr;
  CoInitialize(nullptr);
  auto* progress = static_cast<TaskbarProgress*>(LocalAlloc(LPTR, sizeof(TaskbarProgress)));
  if (!progress) return nullptr;
  // Without the object the progress shows in the dialog only.
  CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_ALL, IID_ITaskbarList3,
                   reinterpret_cast<void**>(&progress->taskbar));
  return progress;
}

void TaskbarProgressSetWindow(TaskbarProgress* progress, HWND window) {
  if (progress) progress->window = window;
}

void TaskbarProgressSetState(TaskbarProgress* progress, BOOL normal) {
  if (!progress || !progress->taskbar) return;
  progress->taskbar->SetProgressState(progress->window, normal ? TBPF_NORMAL : TBPF_NOPROGRESS);
}

void TaskbarProgressSetTotal(TaskbarProgress* progress, uint64_t total) {
  if (!progress) return;
  progress->total = total;
  if (progress->taskbar)
    progress->taskbar->SetProgressValue(progress->window, progress->completed, progress->total);
}

void TaskbarProgressSetCompleted(TaskbarProgress* progress, uint64_t completed) {
  if (!progress) return;
  progress->completed = completed;
  if (progress->taskbar)
    progress->taskbar->SetProgressValue(progress->window, progress->completed, progress->total);
}

void TaskbarProgressRelease(TaskbarProgress* progress) {
  if (!progress) return;
  if (progress->taskbar) progress->taskbar->Release();
  LocalFree(progress);
}
