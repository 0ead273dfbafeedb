// The exported operations: each takes the area's mutex, works on the area
// through its own view, and answers 0 / NULL / FALSE for anything invalid.
#include "areas.h"
#include "blocks.h"
#include "krzmem15.h"
#include "names.h"

using namespace krzmem;

namespace {

BYTE* PayloadOf(const View& v, DWORD off) { return v.base + off + kChunkHeader; }

}  // namespace

extern "C" {

KRZMEM15_API HMEMAREA WINAPI memCreateSharedArea(DWORD dwSize, LPCSTR lpszName, DWORD dwMaxSize,
                                                 LPBOOL lpfInit) {
  return AreaOpen(dwSize, lpszName, dwMaxSize, lpfInit);
}

KRZMEM15_API void WINAPI memReleaseSharedArea(HMEMAREA hArea) { AreaClose(hArea); }

KRZMEM15_API HMEMBLOCK WINAPI memAllocBlock(HMEMAREA hArea, DWORD dwSize) {
  Locked area(hArea);
  if (!area.ok()) return 0;
  area.changing();
  return BlockAlloc(area.view(), dwSize, 0);
}

KRZMEM15_API HMEMBLOCK WINAPI memReAllocBlock(HMEMAREA hArea, HMEMBLOCK hBlock, DWORD dwNewSize) {
  Locked area(hArea);
  if (!area.ok() || !Resolve(area.view(), hBlock)) return 0;
  area.changing();
  return BlockRealloc(area.view(), hBlock, dwNewSize);
}

KRZMEM15_API BOOL WINAPI memFreeBlock(HMEMAREA hArea, HMEMBLOCK hBlock) {
  Locked area(hArea);
  if (!area.ok()) return FALSE;
  Slot* s = Resolve(area.view(), hBlock);
  if (!s || (s->flags & kSlotNamed)) return FALSE;  // named blocks go by name
  area.changing();
  return BlockFree(area.view(), hBlock, false);
}

KRZMEM15_API LPVOID WINAPI memLockBlock(HMEMAREA hArea, HMEMBLOCK hBlock) {
  Locked area(hArea);
  DWORD off = 0;
  Slot* s = area.ok() ? Resolve(area.view(), hBlock, &off) : nullptr;
  if (!s || s->locks == 0xFFFFFFFF) return nullptr;
  s->locks += 1;
  return PayloadOf(area.view(), off);
}

KRZMEM15_API void WINAPI memUnlockBlock(HMEMAREA hArea, HMEMBLOCK hBlock) {
  Locked area(hArea);
  Slot* s = area.ok() ? Resolve(area.view(), hBlock) : nullptr;
  if (s && s->locks > 0) s->locks -= 1;
}

KRZMEM15_API void WINAPI memUnlockAllBlock(HMEMAREA hArea, HMEMBLOCK hBlock) {
  Locked area(hArea);
  Slot* s = area.ok() ? Resolve(area.view(), hBlock) : nullptr;
  if (s) s->locks = 0;
}

KRZMEM15_API HMEMBLOCK WINAPI memAllocNamedBlock(HMEMAREA hArea, DWORD dwSize, LPCSTR lpszName) {
  Locked area(hArea);
  if (!area.ok()) return 0;
  area.changing();
  return NamedAlloc(area.view(), dwSize, lpszName, GetCurrentProcessId(), GetCurrentThreadId());
}

KRZMEM15_API void WINAPI memUnlockNamedBlock(HMEMAREA hArea, LPCSTR lpszName) {
  Locked area(hArea);
  if (!area.ok()) return;
  Slot* s = Resolve(area.view(), NamedFind(area.view(), lpszName));
  if (s && s->locks > 0) s->locks -= 1;
}

KRZMEM15_API void WINAPI memFreeNamedBlock(HMEMAREA hArea, LPCSTR lpszName) {
  memFreeNamedBlockProxy(hArea, lpszName, GetCurrentThreadId());
}

KRZMEM15_API void WINAPI memFreeNamedBlockProxy(HMEMAREA hArea, LPCSTR lpszName, DWORD dwThreadId) {
  Locked area(hArea);
  if (!area.ok()) return;
  area.changing();
  NamedFree(area.view(), lpszName, GetCurrentProcessId(), dwThreadId);
}

}  // extern "C"
