// The window procedure of blocking-call windows: each channel event moves
// the bytes the call waits for, or ends the wait.
#include "channel/ownopen.h"
#include "debug/cm_debug.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "notify/notify.h"
#include "notify/poll.h"
#include "notify/wndproc.h"

namespace {

// The state of a blocking call's window. Only windows of the wait-window
// class, created in this process, carry one: any other window handed to
// this procedure (the callback window, a window of another module or
// process) keeps something else in its user data.
WaitState* StateOf(HWND hWnd) {
  DWORD dwProcess = 0;
  if (GetWindowLongPtrA(hWnd, GWLP_WNDPROC) != (LONG_PTR)P1284WndProc) return NULL;
  if (!GetWindowThreadProcessId(hWnd, &dwProcess) || dwProcess != GetCurrentProcessId())
    return NULL;
  return (WaitState*)GetWindowLongPtrA(hWnd, GWLP_USERDATA);
}

// Whether the slot still holds this process's open the wait began on (a
// reset and a later open of the slot by this process change it).
BOOL SameOpen(const WaitState* lpState) {
  return lpState->dwOpenSerial ==
         OwnOpenSerial(MLC_CHANNEL_PORT(lpState->hChannel), MLC_CHANNEL_HSID(lpState->hChannel));
}

void SetError(HWND hWnd) { SetWindowWord(hWnd, WAIT_WND_ERROR, 1); }

void Advance(HWND hWnd, WaitState* lpState, WORD wMoved) {
  lpState->lpNext += wMoved;
  SetWindowLongA(hWnd, WAIT_WND_ADDRESS, (LONG)(ULONG_PTR)lpState->lpNext);
  SetWindowWord(hWnd, WAIT_WND_REMAINING, (WORD)(WaitRemaining(hWnd) - wMoved));
}

// Takes what the ring holds, up to what the read still wants.
void ReadStep(HWND hWnd, WaitState* lpState) {
  WORD wRemaining = WaitRemaining(hWnd);
  int iWaiting = MLCRead(lpState->hChannel, NULL, 0, FALSE, 0);
  if (iWaiting < 0) {
    SetError(hWnd);
    return;
  }
  WORD wTake = (DWORD)iWaiting < wRemaining ? (WORD)iWaiting : wRemaining;
  if (wTake == 0) return;
  int iRead = MLCRead(lpState->hChannel, lpState->lpNext, wTake, FALSE, 0);
  if (iRead < 0)
    SetError(hWnd);
  else if (iRead > 0)
    Advance(hWnd, lpState, (WORD)iRead);
}

// Sends what the credit allows, up to what the write still has. The space
// is asked without waiting: credit that is still to come is posted to this
// window when it arrives (or found by the waiter's own poll), so the wait
// never holds the port while it waits.
void WriteStep(HWND hWnd, WaitState* lpState) {
  if (MLC_CHANNEL_PORT(lpState->hChannel) >= MLC_PORT_COUNT) {
    SetError(hWnd);
    return;
  }
  WORD wRemaining = WaitRemaining(hWnd);
  int iSpace = MLCWrite(lpState->hChannel, NULL, 0, FALSE, 0);
  if (iSpace < 0) {
    SetError(hWnd);
    return;
  }
  WORD wSend = (DWORD)iSpace < wRemaining ? (WORD)iSpace : wRemaining;
  if (wSend == 0) return;
  int iWritten = MLCWrite(lpState->hChannel, lpState->lpNext, wSend, FALSE, 0);
  if (iWritten < 0) SetError(hWnd);
  // 0: another writer took the credit since the query; more will come.
  if (iWritten <= 0) return;
  Advance(hWnd, lpState, (WORD)iWritten);
  // A space answer is capped: with more still to send, more credit may be
  // there already.
  if (WaitRemaining(hWnd) && iSpace >= 0x7FFF)
    PostMessageA(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(MLC_WRITE_STREAM, 0));
}

}  // namespace

void HandleWaitNotify(HWND hWnd, WORD wCode, WORD wCount) {
  WaitState* lpState = StateOf(hWnd);
  if (!lpState || wCode < MLC_READ_STREAM || wCode > MLC_DISCONNECT) return;
  if (wCode == MLC_DISCONNECT || !SameOpen(lpState)) {
    SetError(hWnd);
    return;
  }
  // Only the event the call waits for touches its buffer; any other goes
  // to the client's own target.
  if (lpState->iKind == WAIT_STREAM_READ && wCode == MLC_READ_STREAM)
    ReadStep(hWnd, lpState);
  else if (lpState->iKind == WAIT_STREAM_WRITE && wCode == MLC_WRITE_STREAM)
    WriteStep(hWnd, lpState);
  else if (lpState->iKind == WAIT_EVENT && wCode == lpState->wEventCode)
    SetWindowWord(hWnd, WAIT_WND_REMAINING, 0);
  else
    ForwardChannelEvent(lpState->hChannel, wCode, wCount);
}

void HandleWaitTick(HWND hWnd) {
  WaitState* lpState = StateOf(hWnd);
  if (!lpState) return;
  BYTE bPort = MLC_CHANNEL_PORT(lpState->hChannel);
  if (bPort >= MLC_PORT_COUNT || !SameOpen(lpState)) {
    SetError(hWnd);
    return;
  }
  if (lpState->iKind == WAIT_STREAM_WRITE) {
    // The space query polls the port for credit that was asked for.
    WriteStep(hWnd, lpState);
    return;
  }
  // What the port holds now is read; the events it makes come as messages.
  for (int i = 0; i < 64; ++i) {
    BOOL fIdle = FALSE, fPolled = FALSE;
    if (PollOnePort(bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled) != MLC_PACKET_SUCCESSFUL)
      break;
  }
  if (lpState->iKind == WAIT_STREAM_READ) ReadStep(hWnd, lpState);
}

LRESULT CALLBACK P1284WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  MLCLOG(DBG_ENTRY, "1284WndProc called\n");
  if (uMsg == MLC_NOTIFY_MSG) {
    HandleWaitNotify(hWnd, LOWORD(lParam), HIWORD(lParam));
    return 0;
  }
  if (uMsg == WM_CLOSE) {
    DestroyWindow(hWnd);
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}
