// Child program of the KRZMEM15 tests; each mode is a role another process
// plays against an area the test also has open. Exit code 0 = success.
//   hammer <area> <seed> <n>   n random allocs, reallocs, frees, checking content
//   churn <area> <seed>        the same without end, listing its live handles
//                              in the named block "LIVE" for whoever kills it
//   read <area> <h> <n> <key>  checks block h, rewrites it with key + 1, and
//                              joins, marks and lets go of the named block "SHARED"
//   hold <area> <event>        keeps the area open until killed
//   abandon <area>             ends while holding the area's mutex
#include <stdlib.h>
#include <string.h>

#include "pattern.h"

namespace {

constexpr DWORD kLive = 64;

struct Live {
  HMEMBLOCK h;
  DWORD size, key;
};

void Record(HMEMAREA a, HMEMBLOCK table, DWORD i, HMEMBLOCK h) {
  if (DWORD* t = table ? static_cast<DWORD*>(memLockBlock(a, table)) : nullptr) {
    t[i] = h;
    memUnlockBlock(a, table);
  }
}

// One random step on one of the live blocks; 0 or an exit code.
int Step(HMEMAREA a, Rng& rng, Live* live, HMEMBLOCK table) {
  DWORD i = rng.below(kLive), op = rng.below(8);
  Live& b = live[i];
  DWORD size = 1 + rng.below(op < 2 ? 40000 : 600);
  if (b.h == 0) {
    if ((b.h = memAllocBlock(a, size)) == 0) return 0;  // full for now
    Record(a, table, i, b.h);
    BYTE* p = static_cast<BYTE*>(memLockBlock(a, b.h));
    if (!AllZero(p, size)) return 11;
    b.size = size;
    b.key = rng.below(0xFFFFFF);
    Fill(p, size, b.key);
    memUnlockBlock(a, b.h);
    return 0;
  }
  BYTE* p = static_cast<BYTE*>(memLockBlock(a, b.h));
  if (!Check(p, b.size, b.key)) return 12;
  memUnlockBlock(a, b.h);
  if (op < 3) {
    HMEMBLOCK h = memReAllocBlock(a, b.h, size);
    if (h == 0) return 0;
    Record(a, table, i, h);
    p = static_cast<BYTE*>(memLockBlock(a, h));
    DWORD keep = size < b.size ? size : b.size;
    if (!Check(p, keep, b.key) || !AllZero(p + keep, size - keep)) return 13;
    Fill(p, size, b.key);
    memUnlockBlock(a, h);
    b.h = h;
    b.size = size;
  } else if (op < 6) {
    Record(a, table, i, 0);
    if (!memFreeBlock(a, b.h)) return 14;
    if (memLockBlock(a, b.h) != nullptr) return 15;  // stale handle refused
    b.h = 0;
  }
  return 0;
}

int Hammer(HMEMAREA a, DWORD seed, long n, bool churn) {
  HMEMBLOCK table = churn ? memAllocNamedBlock(a, kLive * sizeof(DWORD), "LIVE") : 0;
  Live live[kLive] = {};
  Rng rng{seed | 1};
  for (long i = 0; churn || i < n; ++i) {
    if (int rc = Step(a, rng, live, table)) return rc;
  }
  for (Live& b : live) {
    if (b.h && !memFreeBlock(a, b.h)) return 16;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const char* mode = argv[1];
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(kPortInit, argv[2], kPortMax, &fInit);
  if (!a || fInit) return 2;  // every role joins an area the test made
  DWORD x = argc > 3 ? strtoul(argv[3], nullptr, 0) : 0;
  if (!strcmp(mode, "hammer") && argc >= 5) return Hammer(a, x, strtol(argv[4], nullptr, 0), false);
  if (!strcmp(mode, "churn")) return Hammer(a, x, 0, true);
  if (!strcmp(mode, "read") && argc >= 6) {
    DWORD n = strtoul(argv[4], nullptr, 0), key = strtoul(argv[5], nullptr, 0);
    BYTE* p = static_cast<BYTE*>(memLockBlock(a, x));
    if (!Check(p, n, key)) return 3;
    Fill(p, n, key + 1);
    memUnlockBlock(a, x);
    DWORD* s = static_cast<DWORD*>(memLockBlock(a, memAllocNamedBlock(a, 999, "SHARED")));
    if (!s || s[0] != 0x5EED) return 4;
    s[1] = GetCurrentProcessId();
    memUnlockNamedBlock(a, "SHARED");
    memFreeNamedBlock(a, "SHARED");
    memReleaseSharedArea(a);
    return 0;
  }
  if (!strcmp(mode, "hold") && argc == 4) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (!ready || !SetEvent(ready)) return 3;
    Sleep(INFINITE);
  }
  if (!strcmp(mode, "abandon")) {
    char name[256];
    snprintf(name, sizeof name, "KRZMEM15.Mutex.%s", argv[2]);
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (!m || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 3;
    ExitProcess(0);
  }
  return 1;
}
