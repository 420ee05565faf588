// Streaming the files: worker threads decode segments into a ring of slots, the step takes
// them in order, hashes and writes (see stream.h).
//
// The ring: segment number s (counted over every segment the workers decode, file after file)
// goes to slot s % slotCount. A worker claims the next segment only when that slot is free;
// the step frees a slot once its bytes are written, so at most slotCount segments are decoded
// ahead of the writing. One lock and one condition variable guard the slots' states and the
// workers' cursor; a slot's decoded buffer belongs to whoever holds the slot (a worker while
// BUSY, the step while READY); each worker reads stored bytes into a buffer of its own.
#include "extract/stream.h"

#include <cstring>

#include "manifest/fileread.h"
#include "payload/segment.h"

namespace {
enum : uint32_t {
  SLOT_FREE = 0,
  SLOT_BUSY = 1,
  SLOT_READY = 2,
  SLOT_FAILED = 3,
  MAX_WORKERS = 4,
  EXTRA_SLOTS = 1,
  STEP_BUFFER_SIZE = 1u << 20,
  // The decoded buffers of all slots and the workers' stored buffers together: with 1 MiB
  // segments a few MiB, with 8 MiB ones one worker and two slots.
  DECODE_MEMORY_BUDGET = 32u << 20,
};

struct Slot {
  uint32_t state;
  int32_t file;
  uint32_t segment;
  uint8_t* out;     // its decoded bytes (outCapacity of the pipeline)
  uint32_t decoded;
  uint32_t streamAdler;  // the last segment's stream Adler-32
  Status status;
};
}  // namespace

struct ExtractPipeline {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
  Slot* slots;
  uint32_t slotCount;
  HANDLE threads[MAX_WORKERS];
  uint32_t threadCount;
  const SourceTable* sources;
  const ExtractFile* files;
  const bool* byWorkers;  // per file: staged with an index (fixed when the job starts)
  int32_t fileCount;
  // Sizes of every slot's decoded buffer and every worker's stored buffer: the largest
  // segment of the job, so that each buffer is allocated once and never grows (memory
  // allocated afresh is faulted in page by page again).
  uint32_t outCapacity;
  uint32_t storedCapacity;
  // The workers' cursor: the next segment to claim.
  int32_t claimFile;
  uint32_t claimSegment;
  uint64_t claimSequence;
  uint64_t takeSequence;  // the next segment the step takes
  bool stopping;
  // The step's file.
  bool inFile;
  RecordHash hash;
  uint32_t adler;
  uint32_t streamAdler;
  uint64_t decoded;
  uint32_t segment;
  UnindexedReader reader;
  uint8_t* buffer;  // STEP_BUFFER_SIZE, for records without an index
  const uint8_t* pending;  // bytes to write, and how far they are written
  uint32_t pendingSize;
  uint32_t pendingOffset;
  Slot* pendingSlot;  // the slot they are in, or null
};

namespace {

// Decodes the slot's segment; `stored` (the worker's, reused) takes its stored bytes.
Status DecodeIntoSlot(ExtractPipeline* p, Slot* slot, SegmentDecoder* decoder, uint8_t* stored) {
  if (!decoder || !stored) return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  const FileSetItem* plan = &p->files[slot->file].plan;
  const SegmentIndex* index = &plan->segments;
  slot->decoded = SegmentDecodedSize(index, plan->size, slot->segment);
  // Both buffers hold the job's largest segment (StartPipeline), stored and decoded.
  if (!slot->out) slot->out = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, p->outCapacity));
  if (!slot->out) return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  Status status = ReadStoredSegment(p->sources, plan, slot->segment, stored);
  if (StatusOk(status))
    status = DecodeSegment(decoder, index, plan->size, slot->segment, stored, slot->out,
                           &slot->streamAdler);
  return status;
}

DWORD WINAPI DecodeWorker(void* parameter) {
  ExtractPipeline* p = static_cast<ExtractPipeline*>(parameter);
  SegmentDecoder* decoder = NewSegmentDecoder();
  // Written once before its first read: a read into memory never written faults each page
  // in twice under Wine (its check of the buffer reads, then writes, every page).
  uint8_t* stored = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, p->storedCapacity));
  if (stored) std::memset(stored, 0, p->storedCapacity);
  AcquireSRWLockExclusive(&p->lock);
  for (;;) {
    if (p->stopping) break;
    while (p->claimFile < p->fileCount &&
           (!p->byWorkers[p->claimFile] ||
            p->claimSegment >= p->files[p->claimFile].plan.segments.count)) {
      ++p->claimFile;
      p->claimSegment = 0;
    }
    if (p->claimFile >= p->fileCount) break;
    Slot* slot = &p->slots[p->claimSequence % p->slotCount];
    if (slot->state != SLOT_FREE) {
      SleepConditionVariableSRW(&p->changed, &p->lock, INFINITE, 0);
      continue;
    }
    slot->state = SLOT_BUSY;
    slot->file = p->claimFile;
    slot->segment = p->claimSegment++;
    ++p->claimSequence;
    ReleaseSRWLockExclusive(&p->lock);
    const Status status = DecodeIntoSlot(p, slot, decoder, stored);
    AcquireSRWLockExclusive(&p->lock);
    slot->status = status;
    slot->state = StatusOk(status) ? SLOT_READY : SLOT_FAILED;
    WakeAllConditionVariable(&p->changed);
  }
  ReleaseSRWLockExclusive(&p->lock);
  if (stored) LocalFree(stored);
  if (decoder) FreeSegmentDecoder(decoder);
  return 0;
}

uint32_t WorkerCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  // One processor stays for the step, which hashes and writes what the workers decode.
  uint32_t n = info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors - 1 : 1;
  return n < MAX_WORKERS ? n : MAX_WORKERS;
}

void FreePipeline(ExtractPipeline* p) {
  for (uint32_t i = 0; p->slots && i < p->slotCount; ++i)
    if (p->slots[i].out) LocalFree(p->slots[i].out);
  if (p->slots) LocalFree(p->slots);
  if (p->byWorkers) LocalFree(const_cast<bool*>(p->byWorkers));
  CloseUnindexedReader(&p->reader);
  if (p->buffer) LocalFree(p->buffer);
  LocalFree(p);
}

// The ring and the workers for the job's staged files with an index.
Status StartPipeline(ExtractJob* job) {
  auto* p = static_cast<ExtractPipeline*>(LocalAlloc(LMEM_ZEROINIT, sizeof(ExtractPipeline)));
  if (!p) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  InitializeSRWLock(&p->lock);
  InitializeConditionVariable(&p->changed);
  p->sources = job->sources;
  p->files = job->files;
  p->fileCount = job->fileCount;
  job->pipeline = p;
  bool* byWorkers = static_cast<bool*>(
      LocalAlloc(LMEM_ZEROINIT, static_cast<size_t>(job->fileCount > 0 ? job->fileCount : 1)));
  p->byWorkers = byWorkers;
  if (!byWorkers) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  uint64_t largestOut = 0, largestStored = 0;  // of any segment the workers decode
  bool any = false;
  for (int32_t i = 0; i < job->fileCount; ++i) {
    const ExtractFile* file = &job->files[i];
    byWorkers[i] = file->state == FILE_STAGED && file->plan.segments.count > 0;
    if (!byWorkers[i]) continue;
    any = true;
    for (uint32_t s = 0; s < file->plan.segments.count; ++s)
      if (SegmentStoredSize(&file->plan.segments, s) > largestStored)
        largestStored = SegmentStoredSize(&file->plan.segments, s);
    if (file->plan.segments.segmentSize > largestOut) largestOut = file->plan.segments.segmentSize;
  }
  if (!any) return STATUS(ERROR_SUCCESS);
  // Fewer slots first, then fewer workers, until the buffers fit the budget; one worker and
  // two slots (one decoding, one being written) at the least.
  uint32_t workers = WorkerCount();
  uint32_t slots = workers + EXTRA_SLOTS;
  while (slots * largestOut + workers * (largestStored + SEGMENT_INPUT_SLACK) >
         DECODE_MEMORY_BUDGET) {
    if (slots > workers + 1) {
      --slots;
    } else if (workers > 1) {
      --workers;
      --slots;
    } else {
      break;
    }
  }
  // Both at most 8 MiB and a little: the checked index bounds a stored segment by the
  // decoded segment size (see CheckSegmentIndex).
  p->outCapacity = static_cast<uint32_t>(largestOut ? largestOut : 1);
  p->storedCapacity = static_cast<uint32_t>(largestStored + SEGMENT_INPUT_SLACK);
  p->slots = static_cast<Slot*>(LocalAlloc(LMEM_ZEROINIT, sizeof(Slot) * slots));
  if (!p->slots) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  p->slotCount = slots;
  for (uint32_t i = 0; i < workers; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, DecodeWorker, p, 0, nullptr);
    if (!thread) break;
    p->threads[p->threadCount++] = thread;
  }
  if (p->threadCount == 0) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  return STATUS(ERROR_SUCCESS);
}

// Ends a job with `status`: the workers stop; the status stays for every later step.
Status FailJob(ExtractJob* job, Status status) {
  job->failure = status;
  StopExtractJob(job);
  return status;
}

// Hands the written slot back to the workers.
void ReleasePendingSlot(ExtractPipeline* p) {
  if (!p->pendingSlot) return;
  AcquireSRWLockExclusive(&p->lock);
  p->pendingSlot->state = SLOT_FREE;
  ++p->takeSequence;
  WakeAllConditionVariable(&p->changed);
  ReleaseSRWLockExclusive(&p->lock);
  p->pendingSlot = nullptr;
  ++p->segment;
}

// The next segment of the current file when a worker has it ready within the wait: true
// with the slot (READY or FAILED), false when it is not there yet.
bool TakeSegment(ExtractPipeline* p, Slot** taken) {
  Slot* slot = &p->slots[p->takeSequence % p->slotCount];
  AcquireSRWLockExclusive(&p->lock);
  if (slot->state != SLOT_READY && slot->state != SLOT_FAILED)
    SleepConditionVariableSRW(&p->changed, &p->lock, EXTRACT_WAIT_MILLISECONDS, 0);
  const bool ready = slot->state == SLOT_READY || slot->state == SLOT_FAILED;
  ReleaseSRWLockExclusive(&p->lock);
  *taken = slot;
  return ready;
}

// The checks at the end of the current file's record; the file is then FILE_VERIFIED.
Status FinishFile(ExtractJob* job, ExtractFile* file) {
  ExtractPipeline* p = job->pipeline;
  const bool indexed = file->plan.segments.count > 0;
  CloseUnindexedReader(&p->reader);
  p->inFile = false;
  if (indexed && p->adler != p->streamAdler) return STATUS(ERROR_INVALID_DATA);
  const Status verified =
      FinishPlannedFile(job->sources, &file->plan, &p->hash, p->decoded, file->written);
  if (!StatusOk(verified)) return verified;
  file->state = FILE_VERIFIED;
  ++job->position;
  return STATUS(ERROR_MORE_DATA);
}

// Gets the current file's next decoded bytes into `pending`: 234 when there are some, or
// when the next segment is not decoded yet (nothing pending), 0 when the record has ended,
// or the failure.
Status NextBytes(ExtractJob* job, ExtractFile* file) {
  ExtractPipeline* p = job->pipeline;
  if (file->plan.segments.count > 0) {
    if (p->segment >= file->plan.segments.count) return STATUS(ERROR_SUCCESS);
    Slot* slot = nullptr;
    if (!TakeSegment(p, &slot)) return STATUS(ERROR_MORE_DATA);
    if (slot->state == SLOT_FAILED) return slot->status;
    p->adler = UpdateAdler32(p->adler, slot->out, slot->decoded);
    UpdateRecordHash(&p->hash, slot->out, slot->decoded);
    p->decoded += slot->decoded;
    if (p->segment + 1 == file->plan.segments.count) p->streamAdler = slot->streamAdler;
    p->pending = slot->out;
    p->pendingSize = slot->decoded;
    p->pendingOffset = 0;
    p->pendingSlot = slot;
    if (slot->decoded == 0) ReleasePendingSlot(p);
    return STATUS(ERROR_MORE_DATA);
  }
  if (p->reader.ended) return STATUS(ERROR_SUCCESS);
  uint32_t produced = 0;
  bool ended = false;
  const Status stepped = UnindexedReaderStep(&p->reader, p->buffer, STEP_BUFFER_SIZE, &produced, &ended);
  if (!StatusOk(stepped)) return stepped;
  UpdateRecordHash(&p->hash, p->buffer, produced);
  p->decoded += produced;
  p->pending = p->buffer;
  p->pendingSize = produced;
  p->pendingOffset = 0;
  return STATUS(ERROR_MORE_DATA);
}

Status BeginFile(ExtractJob* job, ExtractFile* file) {
  ExtractPipeline* p = job->pipeline;
  BeginRecordHash(&p->hash);
  p->adler = ADLER32_INITIAL;
  p->streamAdler = 0;
  p->decoded = 0;
  p->segment = 0;
  p->pendingSize = p->pendingOffset = 0;
  p->pendingSlot = nullptr;
  p->inFile = true;
  if (file->plan.segments.count > 0) return STATUS(ERROR_SUCCESS);
  if (!p->buffer) {
    p->buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, STEP_BUFFER_SIZE));
    if (!p->buffer) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  }
  return OpenUnindexedReader(job->sources, &file->plan, &p->reader);
}

}  // namespace

void InitExtractJob(ExtractJob* job, const SourceTable* sources, ExtractFile* files,
                    int32_t fileCount) {
  std::memset(job, 0, sizeof(*job));
  job->sources = sources;
  job->files = files;
  job->fileCount = fileCount;
  job->stepSize = EXTRACT_STEP_SIZE;
  job->position = -1;
  job->failure = STATUS(ERROR_SUCCESS);
  for (int32_t i = 0; i < fileCount; ++i) job->total += PlannedBytes(&files[i].plan);
}

Status ExtractJobStep(ExtractJob* job) {
  if (!StatusOk(job->failure)) return job->failure;
  if (job->position < 0) {
    job->position = 0;
    // Files already there count as written.
    for (int32_t i = 0; i < job->fileCount; ++i)
      if (job->files[i].state != FILE_STAGED) job->completed += PlannedBytes(&job->files[i].plan);
    const Status started = StartPipeline(job);
    if (!StatusOk(started)) return FailJob(job, started);
    return STATUS(ERROR_MORE_DATA);
  }
  ExtractPipeline* p = job->pipeline;
  while (job->position < job->fileCount && job->files[job->position].state != FILE_STAGED)
    ++job->position;
  if (job->position >= job->fileCount) {
    StopExtractJob(job);
    return STATUS(ERROR_SUCCESS);
  }
  ExtractFile* file = &job->files[job->position];
  if (!p->inFile) {
    const Status begun = BeginFile(job, file);
    if (!StatusOk(begun)) return FailJob(job, begun);
  }
  if (p->pendingOffset == p->pendingSize) {
    const Status next = NextBytes(job, file);
    if (StatusCode(next) == ERROR_SUCCESS) {
      const Status finished = FinishFile(job, file);
      return StatusCode(finished) == ERROR_MORE_DATA ? finished : FailJob(job, finished);
    }
    if (!StatusOk(next) && StatusCode(next) != ERROR_MORE_DATA) return FailJob(job, next);
    if (p->pendingOffset == p->pendingSize) return STATUS(ERROR_MORE_DATA);
  }
  uint32_t n = p->pendingSize - p->pendingOffset;
  if (n > job->stepSize) n = job->stepSize;
  DWORD count = 0;
  const BOOL ok = WriteFile(file->staging, p->pending + p->pendingOffset, n, &count, nullptr);
  if (count > n) count = n;  // never count more than was handed over
  p->pendingOffset += count;
  file->writtenBytes += count;
  job->completed += count;
  if (p->pendingOffset == p->pendingSize) ReleasePendingSlot(p);
  return ok && count == n ? STATUS(ERROR_MORE_DATA) : STATUS(ERROR_WRITE_FAULT);
}

void StopExtractJob(ExtractJob* job) {
  ExtractPipeline* p = job->pipeline;
  if (!p) return;
  AcquireSRWLockExclusive(&p->lock);
  p->stopping = true;
  WakeAllConditionVariable(&p->changed);
  ReleaseSRWLockExclusive(&p->lock);
  if (p->threadCount) WaitForMultipleObjects(p->threadCount, p->threads, TRUE, INFINITE);
  for (uint32_t i = 0; i < p->threadCount; ++i) CloseHandle(p->threads[i]);
  FreePipeline(p);
  job->pipeline = nullptr;
}
