// KRZMEM15 timings: the cost of each operation in one process, and
// allocation throughput with several processes working on one area.
//   membench                 runs the single-process figures, then 1, 2 and 4 workers
//   membench worker <area> <n>  (internal) one worker process
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../tests/pattern.h"

namespace {

// Microseconds per call of `op`, run in batches of 100 for at least 300 ms.
template <class Op>
double Time(Op op) {
  long n = 0;
  DWORD start = GetTickCount(), ms = 0;
  while ((ms = GetTickCount() - start) < 300) {
    for (int i = 0; i < 100; ++i) op();
    n += 100;
  }
  return ms * 1000.0 / n;
}

void Single() {
  char name[64];
  snprintf(name, sizeof name, "membench.%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  BOOL f;
  HMEMAREA a = memCreateSharedArea(kPortInit, name, kPortMax, &f);
  HMEMBLOCK h = memAllocBlock(a, 256);
  printf("lock+unlock            %8.3f us\n", Time([&] {
           memLockBlock(a, h);
           memUnlockBlock(a, h);
         }));
  printf("alloc+free 256 B       %8.3f us\n",
         Time([&] { memFreeBlock(a, memAllocBlock(a, 256)); }));
  printf("alloc+free 64 KiB      %8.3f us (zero-fill included)\n",
         Time([&] { memFreeBlock(a, memAllocBlock(a, 64 * 1024)); }));
  HMEMBLOCK keep[128];
  Rng rng{7};
  for (HMEMBLOCK& k : keep) k = memAllocBlock(a, 64 + rng.below(4096));
  printf("realloc 64..4160 B     %8.3f us (128 live blocks)\n", Time([&] {
           HMEMBLOCK& k = keep[rng.below(128)];
           k = memReAllocBlock(a, k, 64 + rng.below(4096));
         }));
  memReleaseSharedArea(a);
}

void Workers(int count) {
  char name[64], args[128];
  snprintf(name, sizeof name, "membench.w.%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  BOOL f;
  HMEMAREA a = memCreateSharedArea(kPortInit, name, kPortMax, &f);
  const long n = 20000;
  HANDLE kids[8];
  DWORD t = GetTickCount();
  for (int i = 0; i < count; ++i) {
    snprintf(args, sizeof args, "MEMBENCH.EXE worker %s %ld", name, n);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      printf("cannot start a worker\n");
      return;
    }
    CloseHandle(pi.hThread);
    kids[i] = pi.hProcess;
  }
  for (int i = 0; i < count; ++i) {
    WaitForSingleObject(kids[i], INFINITE);
    CloseHandle(kids[i]);
  }
  DWORD ms = GetTickCount() - t;
  printf("%d process(es) x %ld alloc+lock+unlock+free: %lu ms, %.0f ops/s overall\n", count, n,
         static_cast<unsigned long>(ms), ms ? count * n * 1000.0 / ms : 0.0);
  memReleaseSharedArea(a);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !strcmp(argv[1], "worker")) {
    BOOL f;
    HMEMAREA a = memCreateSharedArea(kPortInit, argv[2], kPortMax, &f);
    long n = strtol(argv[3], nullptr, 0);
    for (long i = 0; i < n; ++i) {
      HMEMBLOCK h = memAllocBlock(a, 32 + (i % 512));
      memLockBlock(a, h);
      memUnlockBlock(a, h);
      memFreeBlock(a, h);
    }
    memReleaseSharedArea(a);
    return 0;
  }
  Single();
  Workers(1);
  Workers(2);
  Workers(4);
  return 0;
}
