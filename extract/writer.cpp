// ExtractJobStep: one bounded write step over the job's items (see writer.h).
#include "extract/writer.h"

namespace {

// Enters the item at job->position, or ends the job when there is none left.
Status EnterItem(ExtractJob* job, uint32_t* percent) {
  if (job->position >= job->itemCount) {
    if (percent) *percent = 100;
    return STATUS(ERROR_SUCCESS);
  }
  ExtractItem* item = &job->items[job->position];
  if (!item->file) item->written = item->content->size;  // its file existed before: nothing to write
  if (percent) *percent = 0;
  return STATUS(ERROR_MORE_DATA);
}

}  // namespace

Status ExtractJobStep(ExtractJob* job, uint32_t* percent) {
  if (job->position < 0) {
    job->position = 0;
    return EnterItem(job, percent);
  }
  ExtractItem* item = &job->items[job->position];
  if (item->written < item->content->size) {
    uint32_t n = item->content->size - item->written;
    if (n > job->stepSize) n = job->stepSize;
    DWORD count = 0;
    BOOL ok = WriteFile(item->file, item->content->data + item->written, n, &count, nullptr);
    if (count > n) count = n;  // never count more than was handed over
    item->written += count;
    if (percent)
      *percent = static_cast<uint32_t>(static_cast<double>(item->written) /
                                       static_cast<double>(item->content->size) * 100.0);
    return ok && count == n ? STATUS(ERROR_MORE_DATA) : STATUS(ERROR_WRITE_FAULT);
  }
  if (item->file) {
    CloseHandle(item->file);
    item->file = nullptr;
  }
  ++job->position;
  return EnterItem(job, percent);
}
