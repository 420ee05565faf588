// Payload sources: the SourceTable, reads of a source's bytes, its record index, registration
// of a container (in memory or in a file), and the PE32+ checks that find the first
// certificate table entry (see sources.h). Builds natively and for Windows; the signature
// decoding that needs the system lives in certsources.cpp.
#include "payload/sources.h"

#include <algorithm>
#include <cstring>

SourceTable gSourceTable;

// One file record of the index: its trailer's id and where it lies.
struct IndexedRecord {
  uint32_t id;
  RecordPlace place;
};

struct SourceRecordIndex {
  IndexedRecord* files;  // owned (LocalFree), ascending ids, each id once; null when none
  uint32_t fileCount;
  uint32_t hasManifest;  // the walk ended at a ManifestRecord whose fields fit
  uint32_t manifestId;
  RecordPlace manifest;
};

namespace {
// A file source's trailers are read a window at a time: one read serves every trailer in the
// window, so a container of many small records costs few reads, and one of large records one
// read per record.
enum : uint32_t { TRAILER_WINDOW_SIZE = 4096, INDEX_FIRST_CAPACITY = 16 };

struct TrailerWindow {
  uint8_t bytes[TRAILER_WINDOW_SIZE];
  uint32_t start;  // container offset of bytes[0]
  uint32_t size;   // bytes held; 0 before the first read
};

bool IsType(const uint8_t* type, const uint8_t* want) { return std::memcmp(type, want, 16) == 0; }

// One step of the walk (StepBackTrailer) over the source's bytes, the trailer taken from its
// memory or from `window`, which is read anew when it does not hold the trailer.
Status StepBackSource(const PayloadSource* source, TrailerWindow* window, uint32_t* pos,
                      RecordStep* step, bool* more) {
  const uint8_t* trailer = nullptr;
  if (*pos >= RECORD_TRAILER_SIZE) {
    const uint32_t at = *pos - RECORD_TRAILER_SIZE;
    if (source->containerData) {
      trailer = source->containerData + at;
    } else {
      if (window->size == 0 || at < window->start || *pos > window->start + window->size) {
        const uint32_t start = *pos > TRAILER_WINDOW_SIZE ? *pos - TRAILER_WINDOW_SIZE : 0;
        const Status status = ReadSourceBytes(source, start, *pos - start, window->bytes);
        if (!StatusOk(status)) return status;
        window->start = start;
        window->size = *pos - start;
      }
      trailer = window->bytes + (at - window->start);
    }
  }
  *more = StepBackTrailer(trailer, pos, step);
  return STATUS(0);
}

// Walk order among records of one id: the walk meets the later one (larger offset) first,
// and that one is what a lookup finds.
bool IndexOrder(const IndexedRecord& a, const IndexedRecord& b) {
  if (a.id != b.id) return a.id < b.id;
  return a.place.dataOffset > b.place.dataOffset;
}

// Builds the index, loads and verifies the manifest with the built-in key, and appends the
// source; on failure the index and the manifest are released (the container stays the
// caller's) and `source` is left with neither.
Status RegisterVerifiedSource(PayloadSource* source) {
  Status status = IndexSourceRecords(source);
  if (StatusOk(status))
    status = LoadRecord(source, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, &source->manifest,
                        &source->manifestSize);
  if (StatusOk(status)) status = AppendSource(source);
  if (!StatusOk(status)) {
    if (source->manifest) LocalFree(source->manifest);
    source->manifest = nullptr;
    source->manifestSize = 0;
    FreeSourceRecordIndex(source);
  }
  return status;
}
}  // namespace

Status ReadSourceBytes(const PayloadSource* source, uint32_t offset, uint32_t size, uint8_t* out) {
  if (offset > source->containerSize || size > source->containerSize - offset)
    return STATUS(ERROR_INVALID_DATA);
  if (size == 0) return STATUS(0);
  if (source->containerData) {
    std::memcpy(out, source->containerData + offset, size);
    return STATUS(0);
  }
  // Positioned reads: nothing depends on the handle's own file pointer, so threads may read
  // one source at once.
  uint32_t done = 0;
  while (done < size) {
    const uint64_t at = source->fileOffset + offset + done;
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.Offset = static_cast<DWORD>(at);
    overlapped.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    // A file shorter than the source ends the read early (got 0 here, ERROR_HANDLE_EOF under
    // Windows): 30 either way.
    if (!ReadFile(source->file, out + done, size - done, &got, &overlapped))
      return GetLastError() == ERROR_HANDLE_EOF ? STATUS(ERROR_READ_FAULT)
                                                : STATUS_FROM_LAST_ERROR(ERROR_READ_FAULT);
    if (got == 0) return STATUS(ERROR_READ_FAULT);
    done += got;
  }
  return STATUS(0);
}

Status IndexSourceRecords(PayloadSource* source) {
  source->index = nullptr;
  SourceRecordIndex found;
  std::memset(&found, 0, sizeof(found));
  uint32_t capacity = 0;
  TrailerWindow window;
  window.start = 0;
  window.size = 0;
  Status status = STATUS(0);
  uint32_t pos = source->containerSize;
  for (bool more = true; more && StatusOk(status);) {
    RecordStep step;
    status = StepBackSource(source, &window, &pos, &step, &more);
    if (!StatusOk(status)) break;
    if (step.kind == RECORD_STEP_MANIFEST) {
      found.hasManifest = 1;
      found.manifestId = step.id;
      found.manifest = step.place;
    } else if (step.kind == RECORD_STEP_FILE) {
      if (found.fileCount == capacity) {
        const uint32_t grown = capacity ? capacity * 2 : INDEX_FIRST_CAPACITY;
        const size_t bytes = static_cast<size_t>(grown) * sizeof(IndexedRecord);
        IndexedRecord* moved =
            found.files ? static_cast<IndexedRecord*>(LocalReAlloc(found.files, bytes, LMEM_MOVEABLE))
                        : static_cast<IndexedRecord*>(LocalAlloc(LMEM_FIXED, bytes));
        if (!moved) {
          status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
          break;
        }
        found.files = moved;
        capacity = grown;
      }
      found.files[found.fileCount++] = {step.id, step.place};
    }
  }

  if (StatusOk(status)) {
    // Sorted by id, the record the walk met first leading its id; the others are dropped.
    std::sort(found.files, found.files + found.fileCount, IndexOrder);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < found.fileCount; ++i)
      if (kept == 0 || found.files[kept - 1].id != found.files[i].id) found.files[kept++] = found.files[i];
    found.fileCount = kept;
    source->index = static_cast<SourceRecordIndex*>(LocalAlloc(LMEM_FIXED, sizeof(SourceRecordIndex)));
    if (!source->index) status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!StatusOk(status)) {
    if (found.files) LocalFree(found.files);
    return status;
  }
  *source->index = found;
  return STATUS(0);
}

void FreeSourceRecordIndex(PayloadSource* source) {
  if (!source->index) return;
  if (source->index->files) LocalFree(source->index->files);
  LocalFree(source->index);
  source->index = nullptr;
}

Status LocateSourceRecord(const PayloadSource* source, const uint8_t type[16], uint32_t id,
                          RecordPlace* place) {
  const SourceRecordIndex* index = source->index;
  if (index && IsType(type, RECORD_TYPE_MANIFEST)) {
    if (!index->hasManifest || index->manifestId != id) return STATUS(ERROR_NOT_FOUND);
    *place = index->manifest;
    return STATUS(0);
  }
  if (index) {
    if (!IsType(type, RECORD_TYPE_FILE)) return STATUS(ERROR_NOT_FOUND);
    const IndexedRecord* begin = index->files;
    const IndexedRecord* end = begin + index->fileCount;
    const IndexedRecord* at = std::lower_bound(
        begin, end, id, [](const IndexedRecord& r, uint32_t want) { return r.id < want; });
    if (at == end || at->id != id) return STATUS(ERROR_NOT_FOUND);
    *place = at->place;
    return STATUS(0);
  }

  TrailerWindow window;
  window.start = 0;
  window.size = 0;
  uint32_t pos = source->containerSize;
  for (bool more = true; more;) {
    RecordStep step;
    const Status status = StepBackSource(source, &window, &pos, &step, &more);
    if (!StatusOk(status)) return status;
    if (StepFindsRecord(&step, type, id)) {
      *place = step.place;
      return STATUS(0);
    }
  }
  return STATUS(ERROR_NOT_FOUND);
}

Status AppendSource(const PayloadSource* source) {
  const size_t bytes = (static_cast<size_t>(gSourceTable.sourceCount) + 1) * sizeof(PayloadSource);
  PayloadSource* grown =
      gSourceTable.sources
          ? static_cast<PayloadSource*>(
                LocalReAlloc(gSourceTable.sources, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT))
          : static_cast<PayloadSource*>(LocalAlloc(LMEM_ZEROINIT, bytes));
  if (!grown) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  gSourceTable.sources = grown;
  gSourceTable.sources[gSourceTable.sourceCount] = *source;
  ++gSourceTable.sourceCount;
  return STATUS(0);
}

Status AddDecodedContainerSource(const uint8_t* container, uint32_t containerSize,
                                 const uint8_t* manifest, uint32_t manifestSize) {
  // The manifest is taken as given; the index is built as for every registered source.
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  source.containerSize = containerSize;
  source.manifestSize = manifestSize;
  source.containerData = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, containerSize ? containerSize : 1));
  if (source.containerData)
    source.manifest = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, manifestSize ? manifestSize : 1));
  Status status = STATUS(0);
  if (!source.containerData || !source.manifest) {
    status = STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    if (containerSize) std::memcpy(source.containerData, container, containerSize);
    if (manifestSize) std::memcpy(source.manifest, manifest, manifestSize);
    status = IndexSourceRecords(&source);
    if (StatusOk(status)) status = AppendSource(&source);
  }
  if (!StatusOk(status)) {
    if (source.containerData) LocalFree(source.containerData);
    if (source.manifest) LocalFree(source.manifest);
    FreeSourceRecordIndex(&source);
  }
  return status;
}

Status AdoptContainerSource(uint8_t* container, uint32_t containerSize) {
  // The manifest is read and verified (with the built-in key) in the block the source will
  // own, and the block LoadRecord returns becomes the source's manifest as it is.
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  source.containerData = container;
  source.containerSize = containerSize;
  return RegisterVerifiedSource(&source);
}

Status AddFileContainerSource(HANDLE file, uint64_t offset, uint32_t size) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.flags = SOURCE_COMPRESSED | SOURCE_SIGNED;
  source.containerSize = size;
  source.file = file;
  source.fileOffset = offset;
  return RegisterVerifiedSource(&source);
}

Status AddContainerSource(const uint8_t* container, uint32_t containerSize) {
  // The copy is made first and verified in place: the caller's bytes are read once.
  uint8_t* copy = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, containerSize ? containerSize : 1));
  if (!copy) return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  if (containerSize) std::memcpy(copy, container, containerSize);
  const Status status = AdoptContainerSource(copy, containerSize);
  if (!StatusOk(status)) LocalFree(copy);
  return status;
}

uint32_t DerElementSize(const uint8_t* der, uint32_t size) {
  if (size < 2) return 0;
  uint64_t length = der[1];
  uint64_t header = 2;
  if (length & 0x80) {
    const uint32_t count = der[1] & 0x7F;
    if (count == 0 || count > 4 || size < 2 + count) return 0;
    length = 0;
    for (uint32_t i = 0; i < count; ++i) length = (length << 8) | der[2 + i];
    header += count;
  }
  return header + length <= size ? static_cast<uint32_t>(header + length) : 0;
}

void FreeSources() {
  for (uint32_t i = 0; i < gSourceTable.sourceCount; ++i) {
    if (gSourceTable.sources[i].containerData) LocalFree(gSourceTable.sources[i].containerData);
    if (gSourceTable.sources[i].manifest) LocalFree(gSourceTable.sources[i].manifest);
    FreeSourceRecordIndex(&gSourceTable.sources[i]);
  }
  if (gSourceTable.sources) LocalFree(gSourceTable.sources);
  gSourceTable.sources = nullptr;
  gSourceTable.sourceCount = 0;
}

PayloadSource MemoryImage(const uint8_t* image, uint32_t imageSize) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerData = const_cast<uint8_t*>(image);  // only ever read
  source.containerSize = image ? imageSize : 0;
  return source;
}

PayloadSource FileImage(HANDLE file, uint32_t size) {
  PayloadSource source;
  std::memset(&source, 0, sizeof(source));
  source.containerSize = size;
  source.file = file;
  return source;
}

Status LocateImageCertificateEntry(const PayloadSource* image, uint32_t* contentOffset,
                                   uint32_t* contentSize) {
  const uint32_t imageSize = image->containerSize;
  if (imageSize < PE_MIN_IMAGE_SIZE) return STATUS(ERROR_NOT_FOUND);
  uint8_t dos[PE_MIN_IMAGE_SIZE];
  Status status = ReadSourceBytes(image, 0, PE_MIN_IMAGE_SIZE, dos);
  if (!StatusOk(status)) return status;
  if (dos[0] != 'M' || dos[1] != 'Z') return STATUS(ERROR_NOT_FOUND);
  const int32_t lfanew = static_cast<int32_t>(ReadLe32(dos + PE_LFANEW_OFFSET));
  if (lfanew < 0) return STATUS(ERROR_NOT_FOUND);
  const uint32_t pe = static_cast<uint32_t>(lfanew);
  if (static_cast<uint64_t>(pe) + PE_HEADERS_SIZE > imageSize) return STATUS(ERROR_NOT_FOUND);
  uint8_t headers[PE_HEADERS_SIZE];
  status = ReadSourceBytes(image, pe, PE_HEADERS_SIZE, headers);
  if (!StatusOk(status)) return status;
  if (std::memcmp(headers, "PE\0\0", 4) != 0) return STATUS(ERROR_NOT_FOUND);
  if (ReadLe16(headers + PE_OPTIONAL_MAGIC_OFFSET) != PE_OPTIONAL_MAGIC_PE32PLUS)
    return STATUS(ERROR_NOT_FOUND);

  const uint32_t tableOffset = ReadLe32(headers + PE_SECURITY_DIR_OFFSET);
  const uint32_t tableSize = ReadLe32(headers + PE_SECURITY_DIR_OFFSET + 4);
  if (tableSize < WIN_CERTIFICATE_HEADER_SIZE) return STATUS(ERROR_NOT_FOUND);
  if (static_cast<uint64_t>(tableOffset) + tableSize > imageSize) return STATUS(ERROR_NOT_FOUND);

  // The first WIN_CERTIFICATE must lie inside the table; an entry that claims less than its
  // own header or more than the table is treated like no table at all.
  uint8_t length[4];
  status = ReadSourceBytes(image, tableOffset, sizeof(length), length);
  if (!StatusOk(status)) return status;
  const uint32_t entryLength = ReadLe32(length);
  if (entryLength < WIN_CERTIFICATE_HEADER_SIZE || entryLength > tableSize)
    return STATUS(ERROR_NOT_FOUND);
  *contentOffset = tableOffset + WIN_CERTIFICATE_HEADER_SIZE;
  *contentSize = entryLength - WIN_CERTIFICATE_HEADER_SIZE;
  return STATUS(0);
}

bool LocateCertificateEntry(const uint8_t* image, uint32_t imageSize, const uint8_t** content,
                            uint32_t* contentSize) {
  const PayloadSource source = MemoryImage(image, imageSize);
  uint32_t offset = 0;
  uint32_t size = 0;
  if (!StatusOk(LocateImageCertificateEntry(&source, &offset, &size))) return false;
  *content = image + offset;
  *contentSize = size;
  return true;
}
