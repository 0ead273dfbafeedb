// Child program of the KRZMEM15 tests: each mode is one role another
// process plays against an area the test program also has open.
//   hammer <area> <seed> <iterations>  random allocs, reallocs, frees, locks,
//                                      checking every block's content
//   churn <area> <seed>                the same without end, keeping its live
//                                      handles in the named block "LIVE"
//   read <area> <handle> <bytes> <key> checks a block, then rewrites it with key+1
//   named <area>                       joins the named block "SHARED", checks it, lets go
//   hold <area> <event>                keeps the area open until killed
//   abandon <area>                     dies holding the area's mutex
// Exit code 0 means success; other values say what went wrong.
#include <stdlib.h>
#include <string.h>

#include "pattern.h"

namespace {

constexpr DWORD kLive = 64;

struct Live {
  HMEMBLOCK h;
  DWORD size;
  DWORD key;
};

HMEMAREA Open(const char* name, BOOL* fInit) {
  return memCreateSharedArea(kPortInit, name, kPortMax, fInit);
}

bool Verify(HMEMAREA a, const Live& b) {
  BYTE* p = static_cast<BYTE*>(memLockBlock(a, b.h));
  if (!p) return false;
  bool ok = Check(p, b.size, b.key);
  memUnlockBlock(a, b.h);
  return ok;
}

bool Write(HMEMAREA a, Live& b, DWORD key) {
  BYTE* p = static_cast<BYTE*>(memLockBlock(a, b.h));
  if (!p || !AllZero(p, b.size)) {
    if (p) memUnlockBlock(a, b.h);
    return false;
  }
  Fill(p, b.size, key);
  b.key = key;
  memUnlockBlock(a, b.h);
  return true;
}

// One random step over `live`; `table`, when given, mirrors the handles in
// a shared block so that a killer can find them. Returns an exit code.
int Step(HMEMAREA a, Rng& rng, Live* live, HMEMBLOCK hTable) {
  Live& b = live[rng.below(kLive)];
  DWORD op = rng.below(8);
  DWORD* table = nullptr;
  if (b.h == 0) {
    DWORD size = 1 + rng.below(op < 2 ? 40000 : 600);
    b.h = memAllocBlock(a, size);
    if (b.h == 0) return 0;  // area full for now: fine
    b.size = size;
    if (hTable && (table = static_cast<DWORD*>(memLockBlock(a, hTable)))) {
      table[&b - live] = b.h;
      memUnlockBlock(a, hTable);
    }
    return Write(a, b, rng.next()) ? 0 : 11;
  }
  if (!Verify(a, b)) return 12;
  if (op < 3) {
    DWORD size = 1 + rng.below(op == 0 ? 40000 : 600);
    HMEMBLOCK h = memReAllocBlock(a, b.h, size);
    if (h == 0) return 0;
    BYTE* p = static_cast<BYTE*>(memLockBlock(a, h));
    if (!p) return 13;
    DWORD keep = size < b.size ? size : b.size;
    bool ok = Check(p, keep, b.key) && AllZero(p + keep, size - keep);
    Fill(p, size, b.key);
    memUnlockBlock(a, h);
    if (h != b.h && hTable && (table = static_cast<DWORD*>(memLockBlock(a, hTable)))) {
      table[&b - live] = h;
      memUnlockBlock(a, hTable);
    }
    b.h = h;
    b.size = size;
    return ok ? 0 : 14;
  }
  if (op < 6) {
    if (hTable && (table = static_cast<DWORD*>(memLockBlock(a, hTable)))) {
      table[&b - live] = 0;
      memUnlockBlock(a, hTable);
    }
    if (!memFreeBlock(a, b.h)) return 15;
    if (memLockBlock(a, b.h) != nullptr) return 16;  // stale handle must be refused
    b.h = 0;
  }
  return 0;
}

int Hammer(const char* name, DWORD seed, long iterations, bool recordLive) {
  BOOL fInit = FALSE;
  HMEMAREA a = Open(name, &fInit);
  if (!a) return 2;
  HMEMBLOCK hTable = 0;
  if (recordLive) {
    hTable = memAllocNamedBlock(a, kLive * sizeof(DWORD), "LIVE");
    if (!hTable) return 3;
  }
  Live live[kLive] = {};
  Rng rng{seed | 1};
  for (long i = 0; iterations < 0 || i < iterations; ++i) {
    int rc = Step(a, rng, live, hTable);
    if (rc) return rc;
  }
  for (Live& b : live) {
    if (b.h && (!Verify(a, b) || !memFreeBlock(a, b.h))) return 17;
  }
  memReleaseSharedArea(a);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const char* mode = argv[1];
  const char* area = argv[2];
  BOOL fInit = FALSE;
  if (!strcmp(mode, "hammer") && argc == 5) {
    return Hammer(area, strtoul(argv[3], nullptr, 0), strtol(argv[4], nullptr, 0), false);
  }
  if (!strcmp(mode, "churn") && argc == 4) {
    return Hammer(area, strtoul(argv[3], nullptr, 0), -1, true);
  }
  if (!strcmp(mode, "read") && argc == 6) {
    HMEMAREA a = Open(area, &fInit);
    if (!a || fInit) return 2;
    DWORD h = strtoul(argv[3], nullptr, 0), n = strtoul(argv[4], nullptr, 0);
    DWORD key = strtoul(argv[5], nullptr, 0);
    BYTE* p = static_cast<BYTE*>(memLockBlock(a, h));
    if (!p) return 3;
    if (!Check(p, n, key)) return 4;
    Fill(p, n, key + 1);
    memUnlockBlock(a, h);
    memReleaseSharedArea(a);
    return 0;
  }
  if (!strcmp(mode, "named")) {
    HMEMAREA a = Open(area, &fInit);
    if (!a || fInit) return 2;
    HMEMBLOCK h = memAllocNamedBlock(a, 999, "SHARED");
    DWORD* p = static_cast<DWORD*>(memLockBlock(a, h));
    if (!p || p[0] != 0x5EED) return 3;
    p[1] = GetCurrentProcessId();
    memUnlockNamedBlock(a, "SHARED");
    memFreeNamedBlock(a, "SHARED");
    memReleaseSharedArea(a);
    return 0;
  }
  if (!strcmp(mode, "hold") && argc == 4) {
    HMEMAREA a = Open(area, &fInit);
    HANDLE ev = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (!a || !ev || !memAllocNamedBlock(a, 64, "HOLD")) return 2;
    SetEvent(ev);
    Sleep(INFINITE);
    return 0;
  }
  if (!strcmp(mode, "abandon")) {
    HMEMAREA a = Open(area, &fInit);
    char name[256];
    snprintf(name, sizeof name, "KRZMEM15.Mutex.%s", area);
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (!a || !m || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 2;
    ExitProcess(0);  // still holding the mutex
  }
  return 1;
}
