// Packing files into signed, segmented FileRecords (see packer.h).
#include "pack/packer.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "pack/keys.h"
#include "pack/segmenter.h"

const char kSetupTooLarge[] =
    "the setup would exceed 4 GiB - 1 bytes (the stub reads itself with 32-bit sizes); "
    "split the packages over several setups";

bool ValidSegmentSize(uint64_t size) {
  return size >= SEGMENT_SIZE_MIN && size <= SEGMENT_SIZE_MAX && (size & (size - 1)) == 0;
}

bool CompressSegmentedRecord(const uint8_t* data, size_t size, int level, uint32_t segmentSize,
                             Bytes* stored, std::vector<uint32_t>* segmentLengths,
                             std::string* error) {
  stored->clear();
  segmentLengths->clear();
  if (size > 0xFFFFFFFFu || !ValidSegmentSize(segmentSize)) {
    *error = "a record of at most 4 GiB - 1 bytes and a segment size from 1 to 8 MiB (a power of two)";
    return false;
  }
  SegmentCompressor* compressor = NewSegmentCompressor(level, error);
  if (!compressor) return false;
  const uint32_t count = SegmentCountFor(static_cast<uint32_t>(size), segmentSize);
  Bytes segment;
  bool ok = true;
  for (uint32_t i = 0; ok && i < count; ++i) {
    const size_t from = static_cast<size_t>(i) * segmentSize;
    const size_t length = std::min<size_t>(segmentSize, size - from);
    ok = CompressSegment(compressor, data + from, length, i == 0, i + 1 == count, &segment, error);
    if (ok && i + 1 == count) {
      uint8_t trailer[4];
      ZlibTrailer(static_cast<uint32_t>(adler32_z(adler32(0, nullptr, 0), data, size)), trailer);
      segment.insert(segment.end(), trailer, trailer + 4);
    }
    if (ok) stored->insert(stored->end(), segment.begin(), segment.end());
    if (ok) segmentLengths->push_back(static_cast<uint32_t>(segment.size()));
  }
  FreeSegmentCompressor(compressor);
  return ok;
}

namespace {
// One segment on its way: read and hashed by the packing thread, compressed by a worker,
// written back in order by the packing thread.
struct Slot {
  size_t file = 0;
  bool first = false, last = false;
  Bytes input;     // `length` bytes of the file
  size_t length = 0;
  Bytes output;    // the compressed segment
  uint32_t adler = 0;  // of the input
  bool done = false, ok = false;  // guarded by Shop::lock
  std::string error;
};

struct Shop {
  std::vector<Slot> slots;
  std::deque<size_t> queue;  // slots to compress, guarded by `lock`
  bool stop = false;         // guarded by `lock`
  int level = DEFAULT_COMPRESSION_LEVEL;
  std::mutex lock;
  std::condition_variable work, finished;
};

void CompressSegments(Shop* shop) {
  std::string error;
  SegmentCompressor* compressor = NewSegmentCompressor(shop->level, &error);
  for (;;) {
    size_t index;
    {
      std::unique_lock<std::mutex> hold(shop->lock);
      shop->work.wait(hold, [&] { return shop->stop || !shop->queue.empty(); });
      if (shop->stop) break;
      index = shop->queue.front();
      shop->queue.pop_front();
    }
    Slot& s = shop->slots[index];
    bool ok = compressor != nullptr;
    std::string why = error;
    if (ok) ok = CompressSegment(compressor, s.input.data(), s.length, s.first, s.last, &s.output, &why);
    if (ok) s.adler = static_cast<uint32_t>(adler32_z(adler32(0, nullptr, 0), s.input.data(), s.length));
    {
      std::lock_guard<std::mutex> hold(shop->lock);
      s.ok = ok;
      s.error = why;
      s.done = true;
    }
    shop->finished.notify_all();
  }
  FreeSegmentCompressor(compressor);
}

// The reading side: which file and segment come next, the open file and its running hash.
struct Reader {
  size_t file = 0;
  uint32_t segment = 0, count = 0;
  InputFile input;
  EVP_MD_CTX* hash = nullptr;  // owned
};

// The writing side: the record being appended.
struct Writer {
  size_t file = 0;
  uint32_t adler = 1;
  uint64_t stored = 0;
  uint64_t done = 0;  // decoded bytes written, for the progress
};

// Reads the next segment into `slot` (opening the next file as it starts, closing and
// hashing it out as it ends).
bool ReadSegment(const std::vector<PackInput>& inputs, const std::vector<uint64_t>& sizes,
                 uint32_t segmentSize, Reader* r, Slot* slot, std::vector<PackedFile>* packed,
                 std::string* error) {
  if (r->segment == 0) {
    if (!OpenInputFile(inputs[r->file].path, 0xFFFFFFFFu, &r->input, error)) return false;
    if (r->input.size != sizes[r->file]) {
      *error = inputs[r->file].path + ": the file changed size while it was read";
      return false;
    }
    r->count = SegmentCountFor(static_cast<uint32_t>(r->input.size), segmentSize);
    if (!r->hash) r->hash = EVP_MD_CTX_new();
    if (!r->hash || EVP_DigestInit_ex(r->hash, EVP_sha256(), nullptr) != 1) {
      *error = "cannot start SHA-256: " + OpenSslReason();
      return false;
    }
  }
  const uint64_t from = static_cast<uint64_t>(r->segment) * segmentSize;
  slot->file = r->file;
  slot->first = r->segment == 0;
  slot->last = r->segment + 1 == r->count;
  slot->length = static_cast<size_t>(std::min<uint64_t>(segmentSize, r->input.size - from));
  if (!ReadInput(&r->input, slot->input.data(), slot->length, error)) return false;
  if (EVP_DigestUpdate(r->hash, slot->input.data(), slot->length) != 1) {
    *error = "SHA-256 failed: " + OpenSslReason();
    return false;
  }
  if (!slot->last) return ++r->segment, true;
  if (!FinishInput(&r->input, error)) return false;
  CloseInputFile(&r->input);
  PackedFile& p = (*packed)[r->file];
  p.id = inputs[r->file].id;
  p.size = r->input.size;
  if (EVP_DigestFinal_ex(r->hash, p.digest, nullptr) != 1) {
    *error = "SHA-256 failed: " + OpenSslReason();
    return false;
  }
  r->segment = 0;
  ++r->file;
  return true;
}

// Appends a compressed segment to the records, and the signature and trailer behind the
// last one of a file.
bool WriteSegment(const std::vector<PackInput>& inputs, const PackOptions& options, EVP_PKEY* key,
                  Slot* slot, Writer* w, ScratchFile* records, std::vector<PackedFile>* packed,
                  std::string* error) {
  PackedFile& p = (*packed)[w->file];
  if (slot->first) w->adler = 1, w->stored = 0;
  w->adler = static_cast<uint32_t>(adler32_combine(w->adler, slot->adler, static_cast<z_off_t>(slot->length)));
  if (slot->last) {
    uint8_t trailer[4];
    ZlibTrailer(w->adler, trailer);
    slot->output.insert(slot->output.end(), trailer, trailer + 4);
  }
  w->stored += slot->output.size();
  if (w->stored > 0xFFFFFFFFu) {
    *error = inputs[w->file].path + ": the compressed record would pass 4 GiB - 1 bytes";
    return false;
  }
  p.segmentLengths.push_back(static_cast<uint32_t>(slot->output.size()));
  if (!AppendScratch(records, slot->output.data(), slot->output.size(), error)) return false;
  w->done += slot->length;
  if (slot->last) {
    uint8_t signature[RECORD_SIGNATURE_SIZE], trailer[RECORD_TRAILER_SIZE];
    if (!SignRecordDigest(key, p.digest, signature, error)) return false;
    WriteRecordTrailer(trailer, RECORD_TYPE_FILE, p.id, RECORD_SIGNATURE_SIZE,
                       static_cast<uint32_t>(w->stored));
    if (!AppendScratch(records, signature, sizeof signature, error) ||
        !AppendScratch(records, trailer, sizeof trailer, error))
      return false;
    ++w->file;
  }
  if (records->size > options.room) {
    *error = inputs[slot->file].path + ": " + kSetupTooLarge;
    return false;
  }
  return true;
}

// Drives the reading, the workers and the writing until every segment is written or
// something fails.
bool RunPipeline(const std::vector<PackInput>& inputs, const std::vector<uint64_t>& sizes,
                 uint64_t units, uint64_t total, const PackOptions& options, EVP_PKEY* key,
                 Shop* shop, ScratchFile* records, std::vector<PackedFile>* packed,
                 const PackProgress* progress, std::string* error) {
  Reader reader;
  Writer writer;
  const size_t slots = shop->slots.size();
  uint64_t read = 0, written = 0;
  bool ok = true;
  while (ok && written < units) {
    while (ok && read < units && read - written < slots) {
      Slot& s = shop->slots[read % slots];
      ok = ReadSegment(inputs, sizes, options.segmentSize, &reader, &s, packed, error);
      if (!ok) break;
      {
        std::lock_guard<std::mutex> hold(shop->lock);
        s.done = false;
        shop->queue.push_back(read % slots);
      }
      shop->work.notify_one();
      ++read;
    }
    if (!ok) break;
    Slot& s = shop->slots[written % slots];
    {
      std::unique_lock<std::mutex> hold(shop->lock);
      shop->finished.wait(hold, [&] { return s.done; });
    }
    if (!s.ok) {
      *error = inputs[s.file].path + ": " + s.error;
      ok = false;
      break;
    }
    ok = WriteSegment(inputs, options, key, &s, &writer, records, packed, error);
    ++written;
    if (ok && progress && progress->advanced) progress->advanced(writer.done, total, progress->context);
  }
  CloseInputFile(&reader.input);
  EVP_MD_CTX_free(reader.hash);
  return ok;
}
}  // namespace

bool PackFiles(const std::vector<PackInput>& inputs, const PackOptions& options, EVP_PKEY* key,
               ScratchFile* records, std::vector<PackedFile>* packed,
               const PackProgress* progress, std::string* error) {
  if (!ValidSegmentSize(options.segmentSize)) {
    *error = "the segment size must be a power of two from 1 MiB to 8 MiB";
    return false;
  }
  // Every input's size first: the total for the progress, and a file too large fails at once.
  std::vector<uint64_t> sizes(inputs.size());
  uint64_t units = 0, total = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!InputFileSize(inputs[i].path, 0xFFFFFFFFu, &sizes[i], error)) return false;
    units += SegmentCountFor(static_cast<uint32_t>(sizes[i]), options.segmentSize);
    total += sizes[i];
  }
  packed->assign(inputs.size(), PackedFile{});
  Shop shop;
  shop.level = options.level;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs = std::min<size_t>(64, options.jobs ? options.jobs : cores);
  // Two segments per thread in flight (one compressing, one read ahead), no more than
  // 128 MiB of segments in all (many threads and large segments share that).
  const uint64_t fit = std::max<uint64_t>(2, (128u << 20) / options.segmentSize);
  const size_t slots = static_cast<size_t>(
      std::max<uint64_t>(2, std::min<uint64_t>({2 * jobs + 1, fit, std::max<uint64_t>(units, 1)})));
  try {
    shop.slots.resize(slots);
    for (Slot& s : shop.slots) s.input.resize(options.segmentSize);
  } catch (const std::bad_alloc&) {
    *error = "out of memory for " + std::to_string(slots) + " segment buffers";
    return false;
  }
  std::vector<std::thread> workers;
  for (size_t t = 0; t < std::min<uint64_t>(jobs, std::max<uint64_t>(units, 1)); ++t)
    workers.emplace_back(CompressSegments, &shop);
  const bool ok =
      RunPipeline(inputs, sizes, units, total, options, key, &shop, records, packed, progress, error);
  {
    std::lock_guard<std::mutex> hold(shop.lock);
    shop.stop = true;
  }
  shop.work.notify_all();
  for (std::thread& t : workers) t.join();
  return ok;
}
