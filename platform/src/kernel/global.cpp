// Global memory. Every block is recorded: fixed blocks by their address,
// moveable ones by a handle distinct from any address, so that bad handles
// are refused instead of crashing.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <map>
#include <mutex>

namespace {

struct Block {
  void* data;
  size_t size;
  bool moveable;
  unsigned locks;
};

struct Heap {
  std::mutex lock;
  std::map<uintptr_t, Block> blocks;
  uintptr_t next_handle = 0x10004;
};

Heap& heap() {
  static Heap* h = new Heap;  // never destroyed
  return *h;
}

// Moveable handles are odd multiples of 4 in a range malloc never returns
// for data here (they are never dereferenced).
uintptr_t new_handle(Heap& h) {
  uintptr_t v;
  do {
    v = h.next_handle;
    h.next_handle += 8;
  } while (h.blocks.count(v));
  return v;
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  size_t size = dwBytes ? dwBytes : 1;
  void* data = (uFlags & GMEM_ZEROINIT) ? calloc(1, size) : malloc(size);
  if (!data) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  bool moveable = (uFlags & GMEM_MOVEABLE) != 0;
  uintptr_t key = moveable ? new_handle(h) : (uintptr_t)data;
  h.blocks[key] = Block{data, dwBytes, moveable, 0};
  return (HGLOBAL)key;
}

// The block of a handle; end() with ERROR_INVALID_HANDLE set when there is none.
static auto find_block(Heap& h, HGLOBAL hMem) {
  auto it = h.blocks.find((uintptr_t)hMem);
  if (it == h.blocks.end()) SetLastError(ERROR_INVALID_HANDLE);
  return it;
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  auto it = find_block(h, hMem);
  if (it == h.blocks.end()) return NULL;
  if (it->second.moveable) ++it->second.locks;
  return it->second.data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  auto it = find_block(h, hMem);
  if (it == h.blocks.end()) return FALSE;
  Block& b = it->second;
  if (!b.moveable) return TRUE;  // fixed blocks are always "locked"
  if (b.locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--b.locks == 0) {
    SetLastError(NO_ERROR);
    return FALSE;
  }
  return TRUE;
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  auto it = find_block(h, hMem);
  if (it == h.blocks.end()) return 0;
  return it->second.size;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID pMem) {
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  for (const auto& [key, b] : h.blocks) {
    if (b.data == pMem) return (HGLOBAL)key;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return NULL;
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
  Heap& h = heap();
  std::lock_guard<std::mutex> g(h.lock);
  auto it = find_block(h, hMem);
  if (it == h.blocks.end()) return NULL;
  Block b = it->second;
  if (uFlags & GMEM_MODIFY) return hMem;
  void* data = realloc(b.data, dwBytes ? dwBytes : 1);
  if (!data) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  if ((uFlags & GMEM_ZEROINIT) && dwBytes > b.size)
    memset((char*)data + b.size, 0, dwBytes - b.size);
  b.data = data;
  b.size = dwBytes;
  if (b.moveable) {
    it->second = b;
    return hMem;
  }
  h.blocks.erase(it);
  h.blocks[(uintptr_t)data] = b;
  return (HGLOBAL)data;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  void* data;
  {
    Heap& h = heap();
    std::lock_guard<std::mutex> g(h.lock);
    auto it = find_block(h, hMem);
    if (it == h.blocks.end()) return hMem;
    data = it->second.data;
    h.blocks.erase(it);
  }
  free(data);
  return NULL;
}
