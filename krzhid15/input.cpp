// The waiter threads: one per port, each sleeping on the port's input
// through the port I/O library and posting HELPER_INPUT_WAITING to the
// helper window when bytes arrive, so that the window's thread polls at once.
//
// A waiter posts once and then waits until the window's thread lets it look
// again: at once when its poll handled a packet on the port (more may be
// waiting), otherwise after a pause. Input that a poll cannot take (the port
// is busy in another process, or has no channel) therefore never makes the
// helper spin.
#include <atomic>

#include "helper.h"
#include "krzcom15.h"
#include "krzmlc15.h"

namespace {

// Longest single wait on a port's input: how soon a waiter notices that the
// helper is ending (the process ends up to this long after its window).
// The wake on input itself is immediate; each slice costs a wake-up, and at
// 1 s three idle waiters cost about 0.01 % of a core.
constexpr DWORD kWaitSliceMs = 1000;
// The pause after an input poll that handled nothing: doubles from the
// first to the last value while polls keep handling nothing.
constexpr UINT kFirstBackoffMs = 10;
constexpr UINT kLastBackoffMs = 1000;

struct PortWaiter {
  BYTE bPort = 0;
  HANDLE hThread = NULL;
  HANDLE hGo = NULL;  // auto-reset: the waiter may look at the port again
  std::atomic<DWORD> hPort{0};
  std::atomic<bool> fWatch{true};
  UINT uBackoffMs = kFirstBackoffMs;  // window thread only
};

PortWaiter g_waiters[MLC_PORT_COUNT];
std::atomic<bool> g_fQuit{false};
HWND g_hWnd = NULL;

DWORD WINAPI WaiterThread(LPVOID lpParam) {
  PortWaiter* w = (PortWaiter*)lpParam;
  while (!g_fQuit.load()) {
    DWORD hPort = w->hPort.load();
    if (!w->fWatch.load() || !hPort) {
      WaitForSingleObject(w->hGo, INFINITE);
      continue;
    }
    if (!VCOMM_WaitInput(hPort, kWaitSliceMs)) {
      if (GetLastError() == ERROR_TIMEOUT) continue;
      // The port cannot wait or its handle is gone: leave it to the timer
      // until the window's thread asks for the port again.
      w->fWatch.store(false);
      continue;
    }
    if (g_fQuit.load()) break;
    if (!PostMessageA(g_hWnd, HELPER_INPUT_WAITING, w->bPort, 0)) {
      Sleep(kFirstBackoffMs);  // the queue is full: the window's thread is busy
      continue;
    }
    WaitForSingleObject(w->hGo, INFINITE);
  }
  return 0;
}

}  // namespace

BOOL StartInputWaiters(HWND hWnd) {
  g_hWnd = hWnd;
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    PortWaiter& w = g_waiters[bPort];
    w.bPort = bPort;
    w.hPort.store(GetHportVal(bPort));
    w.hGo = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!w.hGo) return FALSE;
    w.hThread = CreateThread(NULL, 0, WaiterThread, &w, 0, NULL);
    if (!w.hThread) return FALSE;
  }
  return TRUE;
}

void StopInputWaiters() {
  g_fQuit.store(true);
  for (PortWaiter& w : g_waiters) {
    if (w.hGo) SetEvent(w.hGo);
  }
  for (PortWaiter& w : g_waiters) {
    if (w.hThread) {
      WaitForSingleObject(w.hThread, INFINITE);
      CloseHandle(w.hThread);
      w.hThread = NULL;
    }
    if (w.hGo) {
      CloseHandle(w.hGo);
      w.hGo = NULL;
    }
  }
}

void WatchAllPorts(BOOL fWatch) {
  for (PortWaiter& w : g_waiters) {
    if (!w.hGo) continue;  // no waiters (turned off, or not started)
    // The handle of this process may have changed with a link reset.
    w.hPort.store(GetHportVal(w.bPort));
    w.fWatch.store(fWatch != FALSE);
    if (fWatch) SetEvent(w.hGo);
  }
}

void InputPolled(HWND hWnd, BYTE bPort, BOOL fProgress) {
  if (bPort >= MLC_PORT_COUNT || !g_waiters[bPort].hGo) return;
  PortWaiter& w = g_waiters[bPort];
  if (fProgress) {
    w.uBackoffMs = kFirstBackoffMs;
    SetEvent(w.hGo);
    return;
  }
  SetTimer(hWnd, HELPER_BACKOFF_TIMER_ID + bPort, w.uBackoffMs, NULL);
  w.uBackoffMs = w.uBackoffMs * 2 > kLastBackoffMs ? kLastBackoffMs : w.uBackoffMs * 2;
}

void BackoffEnded(HWND hWnd, BYTE bPort) {
  KillTimer(hWnd, HELPER_BACKOFF_TIMER_ID + bPort);
  if (bPort >= MLC_PORT_COUNT || !g_waiters[bPort].hGo) return;
  PortWaiter& w = g_waiters[bPort];
  w.hPort.store(GetHportVal(bPort));
  SetEvent(w.hGo);
}
