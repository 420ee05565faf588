// RecordInflater (see segment.h): one zlib inflater fed and drained piece by piece, with the
// output cap InflateRecordLimited applies to a whole record.
//
// The cap: inflate is never given room past `limit` bytes in all. Once the cap is reached it
// still runs with no room, so a stream may finish (end of block, Adler-32) without writing;
// when it stops there with input left over, it wants to write past the cap, which is 13. A
// stream that can only go on by writing never ends, so RecordInflaterFinish refuses it too.
#include <zlib.h>

#include <cstring>

#include "payload/segment.h"

struct RecordInflater {
  z_stream zs;
  uint32_t limit;     // output allowed in all
  uint32_t produced;  // output so far
  bool ended;         // Z_STREAM_END seen
  Status failure;     // the first failure; every later step returns it
};

Status NewRecordInflater(uint32_t limit, RecordInflater** inflater) {
  *inflater = nullptr;
  RecordInflater* made = static_cast<RecordInflater*>(LocalAlloc(LMEM_ZEROINIT, sizeof(RecordInflater)));
  if (!made) return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  if (inflateInit(&made->zs) != Z_OK) {
    LocalFree(made);
    return STATUS(ERROR_NOT_ENOUGH_MEMORY);
  }
  made->limit = limit;
  made->failure = STATUS(0);
  *inflater = made;
  return STATUS(0);
}

Status RecordInflaterStep(RecordInflater* inflater, const uint8_t* in, uint32_t inSize,
                          uint32_t* consumed, uint8_t* out, uint32_t outSize,
                          uint32_t* produced, bool* ended) {
  *consumed = 0;
  *produced = 0;
  *ended = inflater->ended;
  if (!StatusOk(inflater->failure) || inflater->ended) return inflater->failure;

  const uint32_t left = inflater->limit - inflater->produced;
  const uint32_t room = outSize < left ? outSize : left;
  uint8_t none = 0;  // inflate wants an output pointer even for no room
  static const uint8_t kNoInput = 0;
  z_stream* zs = &inflater->zs;
  zs->next_in = const_cast<Bytef*>(inSize ? in : &kNoInput);
  zs->avail_in = inSize;
  zs->next_out = room ? out : &none;
  zs->avail_out = room;
  const int last = inflate(zs, Z_NO_FLUSH);
  *consumed = inSize - zs->avail_in;
  *produced = room - zs->avail_out;
  inflater->produced += *produced;

  if (last == Z_STREAM_END) {
    inflater->ended = true;  // bytes behind the stream's end are not consumed
    *ended = true;
    return STATUS(0);
  }
  if (last == Z_MEM_ERROR) {
    inflater->failure = STATUS(ERROR_NOT_ENOUGH_MEMORY);
  } else if (last != Z_OK && last != Z_BUF_ERROR) {
    // Corrupt data or a preset dictionary (Z_NEED_DICT).
    inflater->failure = STATUS(ERROR_INVALID_DATA);
  } else if (inflater->produced == inflater->limit && zs->avail_in != 0) {
    // At the cap with input left: the stream wants to write past it.
    inflater->failure = STATUS(ERROR_INVALID_DATA);
  }
  return inflater->failure;
}

Status RecordInflaterFinish(const RecordInflater* inflater) {
  if (!StatusOk(inflater->failure)) return inflater->failure;
  return inflater->ended ? STATUS(0) : STATUS(ERROR_INVALID_DATA);
}

void FreeRecordInflater(RecordInflater* inflater) {
  if (!inflater) return;
  inflateEnd(&inflater->zs);
  LocalFree(inflater);
}
