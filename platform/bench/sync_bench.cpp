// Cost of the uncontended paths of mutexes and events: a take and release
// of a named mutex (first and recursive), and SetEvent plus a wait that finds
// the event signalled. Instruction counts (valgrind --tool=callgrind) are the
// steady figure on a shared machine; the wall-clock figure printed here is
// only a hint.
//
//   sync_bench [rounds (1000000)] [only this figure, 1-5]
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <windows.h>

namespace {

double NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

int g_only = 0;  // 0: every figure
int g_figure = 0;

template <class F>
void Measure(const char* what, long rounds, F fn) {
  if (g_only && ++g_figure != g_only) return;
  double t0 = NowNs();
  for (long i = 0; i < rounds; ++i) fn();
  printf("%-36s %8.1f ns per round\n", what, (NowNs() - t0) / rounds);
}

}  // namespace

int main(int argc, char** argv) {
  long rounds = argc > 1 ? atol(argv[1]) : 1000000;
  g_only = argc > 2 ? atoi(argv[2]) : 0;
  HANDLE m = CreateMutexA(NULL, FALSE, "sync_bench.mutex");
  HANDLE e = CreateEventA(NULL, FALSE, FALSE, "sync_bench.event");
  if (!m || !e) return 1;
  Measure("mutex take + release", rounds, [&] {
    WaitForSingleObject(m, INFINITE);
    ReleaseMutex(m);
  });
  Measure("mutex timed take + release", rounds, [&] {
    WaitForSingleObject(m, 1000);
    ReleaseMutex(m);
  });
  WaitForSingleObject(m, INFINITE);
  Measure("mutex recursive take + release", rounds, [&] {
    WaitForSingleObject(m, INFINITE);
    ReleaseMutex(m);
  });
  ReleaseMutex(m);
  Measure("event set + wait (signalled)", rounds, [&] {
    SetEvent(e);
    WaitForSingleObject(e, INFINITE);
  });
  Measure("event set, nobody waits", rounds, [&] { SetEvent(e); });
  CloseHandle(e);
  CloseHandle(m);
  return 0;
}
