// Child program of the KRZMEM15 tests: "MODE AREA [ARGS]", a role another
// process plays against an area the test also has open. Exit code 0 = success.
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <thread>

#include "pattern.h"

namespace {

struct Live {
  HMEMBLOCK h;
  DWORD size, key;
};

// One random step on one of the live blocks (an empty one is allocated,
// a live one checked, then reallocated, freed or left); 0 or an exit code.
int Step(HMEMAREA a, Rng& rng, Live& b) {
  DWORD op = rng.below(8), size = 1 + rng.below(op < 2 ? 40000 : 600);
  if (b.h) {
    if (!Check(memLockBlock(a, b.h), b.size, b.key)) return 12;
    memUnlockBlock(a, b.h);
  }
  if (b.h == 0 || op < 3) {
    HMEMBLOCK h = b.h ? memReAllocBlock(a, b.h, size) : memAllocBlock(a, size);
    if (h == 0) return 0;  // full for now
    BYTE* p = static_cast<BYTE*>(memLockBlock(a, h));
    DWORD keep = b.h == 0 ? 0 : size < b.size ? size : b.size;
    if (!Check(p, keep, b.key) || !AllZero(p + keep, size - keep)) return 13;
    if (b.h == 0) b.key = rng.below(0xFFFFFF);
    Fill(p, size, b.key);
    memUnlockBlock(a, h);
    b = {h, size, b.key};
  } else if (op < 6) {
    if (!memFreeBlock(a, b.h)) return 14;
    if (memLockBlock(a, b.h) != nullptr) return 15;  // stale handle refused
    b.h = 0;
  }
  return 0;
}

int Hammer(HMEMAREA a, DWORD seed, long n) {
  Live live[64] = {};
  Rng rng{seed | 1};
  int rc = 0;
  for (long i = 0; i < n && rc == 0; ++i) rc = Step(a, rng, live[rng.below(64)]);
  for (Live& b : live)
    if (b.h && !memFreeBlock(a, b.h) && rc == 0) rc = 16;
  return rc;
}

// Two threads of this process hammer the area side by side; then the seed
// goes into the named block "SHARED", whose reference is dropped again.
int HammerTwice(HMEMAREA a, DWORD seed, long n) {
  int other = 0;
  std::thread t([&] { other = Hammer(a, seed * 7 + 1, n); });
  int mine = Hammer(a, seed, n);
  t.join();
  DWORD* shared = static_cast<DWORD*>(memLockBlock(a, memAllocNamedBlock(a, 999, "SHARED")));
  if (!shared) return 21;
  shared[seed % 16] = seed;
  memUnlockNamedBlock(a, "SHARED");
  memFreeNamedBlock(a, "SHARED");
  return mine ? mine : other;
}

// Every kind of change (run as MEMFAULT.EXE it dies at a chosen store):
// splits, exact fits, shrinking and growing in place, a move, frees that
// merge, and a named block's whole life.
int Script(HMEMAREA a) {
  HMEMBLOCK h1 = memAllocBlock(a, 100), h2 = memAllocBlock(a, 200), h3 = memAllocBlock(a, 300);
  if (!h1 || !h2 || !h3) return 3;
  Fill(memLockBlock(a, h1), 100, 1);
  memUnlockBlock(a, h1);
  if (!memFreeBlock(a, h2)) return 4;
  for (DWORD size : {50, 250, 5000})
    if (memReAllocBlock(a, h1, size) != h1) return 5;
  if (!Check(memLockBlock(a, h1), 50, 1)) return 6;
  memUnlockBlock(a, h1);
  if (!memFreeBlock(a, h3) || !memFreeBlock(a, h1)) return 7;
  if (!memAllocNamedBlock(a, 64, "F") || !memAllocNamedBlock(a, 64, "F")) return 8;
  memFreeNamedBlock(a, "F");
  memFreeNamedBlock(a, "F");
  return 0;
}

// Takes a reference to a named block; with an event name, sets that event
// and waits to be killed (ends by itself should the test die first).
int Hold(HMEMAREA a, const char* block, const char* event) {
  if (!memAllocNamedBlock(a, 64, block)) return 3;
  if (!event) {
    memFreeNamedBlock(a, block);
    memReleaseSharedArea(a);
    return 0;
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, event);
  if (!ready || !SetEvent(ready)) return 4;
  WaitForSingleObject(CreateEventA(nullptr, TRUE, FALSE, nullptr), 600000);
  return 5;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const char* mode = argv[1];
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(kPortInit, argv[2], kPortMax, &fInit);
  if (!a || fInit) return 2;  // every role joins an area the test made
  if (!strcmp(mode, "hammer") && argc >= 5)
    return HammerTwice(a, strtoul(argv[3], nullptr, 0), strtol(argv[4], nullptr, 0));
  if (!strcmp(mode, "script")) return Script(a);
  if (!strcmp(mode, "visit")) return Hold(a, "VISIT", argc > 3 ? argv[3] : nullptr);
  if (!strcmp(mode, "hold") && argc == 4) return Hold(a, "HOLD", argv[3]);
  return 1;
}
