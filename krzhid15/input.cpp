// The waiter threads: one per port, each sleeping on the port's input
// through the port I/O library and posting HELPER_INPUT_WAITING to the
// helper window when bytes arrive, so that the window's thread polls at once.
//
// A waiter posts once and then waits until the window's thread lets it look
// again: at once when its poll handled a packet on the port (more may be
// waiting), otherwise only after the next regular poll (timer or read
// request). Input that a poll cannot take (the port is busy in another
// process, or has no channel) therefore never makes the helper spin.
#include <atomic>

#include "helper.h"
#include "krzcom15.h"
#include "krzmlc15.h"

namespace {

// Longest single wait on a port's input: how soon a waiter notices that the
// helper is ending. The wake on input itself is immediate.
constexpr DWORD kWaitSliceMs = 250;

struct PortWaiter {
  BYTE bPort = 0;
  HANDLE hThread = NULL;
  HANDLE hGo = NULL;  // auto-reset: the waiter may look at the port again
  std::atomic<DWORD> hPort{0};
  std::atomic<bool> fWatch{false};
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
      // The port cannot wait or its handle is gone: leave it to the timer.
      w->fWatch.store(false);
      continue;
    }
    if (g_fQuit.load()) break;
    w->fWatch.store(false);
    if (!PostMessageA(g_hWnd, HELPER_INPUT_WAITING, w->bPort, 0)) continue;
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

void WatchPort(BYTE bPort, BOOL fWatch) {
  if (bPort >= MLC_PORT_COUNT) return;
  PortWaiter& w = g_waiters[bPort];
  if (!w.hGo) return;  // no waiters (turned off, or not started)
  // The handle of this process may have changed with a link reset.
  w.hPort.store(GetHportVal(bPort));
  w.fWatch.store(fWatch != FALSE);
  if (fWatch) SetEvent(w.hGo);
}

void WatchAllPorts(BOOL fWatch) {
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) WatchPort(bPort, fWatch);
}
