// Native implementations of the Windows seam (see winseam.h). The active code page is UTF-8.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/chars.h"
#include "common/winseam.h"

namespace {
thread_local DWORD gLastError = 0;
long gFailAfter = -1;
long gLive = 0;

struct BlockHeader {
  size_t size;
  size_t pad;  // keeps the payload 16-byte aligned
};

bool AllocationAllowed() {
  if (gFailAfter < 0) return true;
  if (gFailAfter == 0) return false;
  --gFailAfter;
  return true;
}
}  // namespace

void HostFailAllocationAfter(long count) { gFailAfter = count; }
long HostLiveAllocations() { return gLive; }

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
  if (!AllocationAllowed()) {
    gLastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (bytes ? bytes : 1)));
  if (!h) {
    gLastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  h->size = bytes;
  if (flags & LMEM_ZEROINIT) std::memset(h + 1, 0, bytes);
  ++gLive;
  return h + 1;
}

HLOCAL LocalReAlloc(HLOCAL mem, size_t bytes, UINT flags) {
  if (!mem) {
    gLastError = 6;  // ERROR_INVALID_HANDLE
    return nullptr;
  }
  if (!AllocationAllowed()) {
    gLastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  auto* old = static_cast<BlockHeader*>(mem) - 1;
  size_t oldSize = old->size;
#if !defined(__SANITIZE_ADDRESS__)
  // Without ASan the C library's realloc grows large blocks in place or by remapping pages,
  // as the Windows heap may; copying every byte again would make growth quadratic.
  if (!(flags & LMEM_ZEROINIT) || bytes <= oldSize) {
    auto* h = static_cast<BlockHeader*>(std::realloc(old, sizeof(BlockHeader) + (bytes ? bytes : 1)));
    if (!h) {
      gLastError = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    h->size = bytes;
    return h + 1;
  }
#endif
  // Always move, as LMEM_MOVEABLE allows: a caller that keeps the old pointer is caught by ASan.
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (bytes ? bytes : 1)));
  if (!h) {
    gLastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  h->size = bytes;
  std::memcpy(h + 1, old + 1, oldSize < bytes ? oldSize : bytes);
  if ((flags & LMEM_ZEROINIT) && bytes > oldSize)
    std::memset(reinterpret_cast<char*>(h + 1) + oldSize, 0, bytes - oldSize);
  std::free(old);
  return h + 1;
}

HLOCAL LocalFree(HLOCAL mem) {
  if (mem) {
    std::free(static_cast<BlockHeader*>(mem) - 1);
    --gLive;
  }
  return nullptr;
}

DWORD GetLastError() { return gLastError; }
void SetLastError(DWORD code) { gLastError = code; }

int WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int wideCount, char* out, int outSize,
                        const char*, BOOL* usedDefault) {
  if (usedDefault) *usedDefault = FALSE;
  if (wideCount < 0) {
    wideCount = 0;
    while (wide[wideCount]) ++wideCount;
    ++wideCount;
  }
  int n = 0;
  for (int i = 0; i < wideCount; ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wideCount && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';  // lone surrogate: the default character
      if (usedDefault) *usedDefault = TRUE;
    }
    char buf[4];
    const int len = EncodeUtf8(c, buf);
    if (outSize > 0) {
      if (n + len > outSize) {
        gLastError = 122;  // ERROR_INSUFFICIENT_BUFFER
        return 0;
      }
      std::memcpy(out + n, buf, len);
    }
    n += len;
  }
  return n;
}

int MultiByteToWideChar(UINT, DWORD, const char* text, int count, WCHAR* out, int outCount) {
  if (count < 0) count = static_cast<int>(std::strlen(text)) + 1;
  int n = 0;
  for (int i = 0; i < count;) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c;
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (len == 1 || i + len > count) {
      c = b < 0x80 ? b : 0xFFFD;
      len = 1;
    } else {
      c = b & (0xFF >> (len + 1));
      for (int k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += len;
    WCHAR units[2];
    int u = 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      units[0] = static_cast<WCHAR>(0xD800 + (c >> 10));
      units[1] = static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
      u = 2;
    } else {
      units[0] = static_cast<WCHAR>(c);
    }
    if (outCount > 0) {
      if (n + u > outCount) {
        gLastError = 122;
        return 0;
      }
      for (int k = 0; k < u; ++k) out[n + k] = units[k];
    }
    n += u;
  }
  return n;
}

char* CharNextA(const char* p) {
  if (!*p) return const_cast<char*>(p);
  unsigned char b = static_cast<unsigned char>(*p);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
  for (int k = 1; k < len; ++k)
    if (!p[k]) return const_cast<char*>(p + k);
  return const_cast<char*>(p + len);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
  *read = 0;
  const intptr_t fd = reinterpret_cast<intptr_t>(file) - 1;
  if (!overlapped || fd < 0) {
    gLastError = 87;  // ERROR_INVALID_PARAMETER
    return FALSE;
  }
  const off_t offset = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                          overlapped->Offset);
  ssize_t got;
  do {
    got = pread(static_cast<int>(fd), buffer, size, offset);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    gLastError = ERROR_READ_FAULT;
    return FALSE;
  }
  *read = static_cast<DWORD>(got);
  return TRUE;
}
