// The windows of blocking calls: created by the waiting thread, published
// in the channel's record so that polls of any thread or process post the
// channel's events to them, and pumped by that thread while it holds no
// lock, sleeping until a message or its timer comes.
#include "channel/channel.h"
#include "channel/ownopen.h"
#include "debug/cm_debug.h"
#include "notify/notify.h"
#include "notify/poll.h"
#include "notify/wndproc.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {

// The window's timers: the caller's time-out, and the poll period after
// which the waiter polls the port itself.
constexpr UINT_PTR kTimeOutTimer = 1;
constexpr UINT_PTR kPollTimer = 2;

UINT TimerPeriod(DWORD dwMs) {
  if (dwMs < USER_TIMER_MINIMUM) return USER_TIMER_MINIMUM;
  if (dwMs > USER_TIMER_MAXIMUM) return USER_TIMER_MAXIMUM;
  return (UINT)dwMs;
}

// The class of blocking-call windows, registered in this process unless
// the helper's setup (or an earlier wait) did it already.
BOOL HaveWaitClass() {
  WNDCLASSA wc;
  if (GetClassInfoA(hMlcInstance, MLC_HIDDEN_WND_CLASS, &wc)) return TRUE;
  ZeroMemory(&wc, sizeof wc);
  wc.style = CS_GLOBALCLASS;
  wc.lpfnWndProc = P1284WndProc;
  wc.cbWndExtra = MLC_WAIT_WND_EXTRA;
  wc.hInstance = hMlcInstance;
  wc.lpszClassName = MLC_HIDDEN_WND_CLASS;
  // Another thread may have registered it meanwhile.
  return RegisterClassA(&wc) || GetClassInfoA(hMlcInstance, MLC_HIDDEN_WND_CLASS, &wc);
}

}  // namespace

HWND CreateWaitWindow(WaitState* lpState, WORD wRemaining) {
  if (!hMlcInstance || !HaveWaitClass()) return NULL;
  HWND hWnd = CreateWindowExA(0, MLC_HIDDEN_WND_CLASS, NULL, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL,
                              NULL, hMlcInstance, NULL);
  if (!hWnd) return NULL;
  lpState->dwOpenSerial =
      OwnOpenSerial(MLC_CHANNEL_PORT(lpState->hChannel), MLC_CHANNEL_HSID(lpState->hChannel));
  SetWindowLongPtrA(hWnd, GWLP_USERDATA, (LONG_PTR)lpState);
  SetWindowWord(hWnd, WAIT_WND_CHANNEL, lpState->hChannel);
  SetWindowLongA(hWnd, WAIT_WND_ADDRESS, (LONG)(ULONG_PTR)lpState->lpNext);
  SetWindowWord(hWnd, WAIT_WND_REMAINING, wRemaining);
  SetWindowWord(hWnd, WAIT_WND_ERROR, 0);
  return hWnd;
}

WORD WaitRemaining(HWND hWnd) { return GetWindowWord(hWnd, WAIT_WND_REMAINING); }

int RunWaitWindow(HWND hWnd, DWORD dwTimeOut) {
  DWORD dwStart = GetTickCount();
  if (dwTimeOut != INFINITE) SetTimer(hWnd, kTimeOutTimer, TimerPeriod(dwTimeOut + 1), NULL);
  SetTimer(hWnd, kPollTimer, TimerPeriod((DWORD)gMin_Poll_Interval), NULL);
  BOOL fTimedOut = FALSE, fQuit = FALSE;
  int iQuitCode = 0;
  int iResult;
  for (;;) {
    // The words are read once more after the last message, so what it
    // delivered counts even when the time ran out meanwhile.
    if (!IsWindow(hWnd) || GetWindowWord(hWnd, WAIT_WND_ERROR)) {
      iResult = MLC_PHYSICAL_LINK_FAILURE;
      break;
    }
    if (WaitRemaining(hWnd) == 0) {
      iResult = 0;
      break;
    }
    if (fTimedOut) {
      iResult = MLC_TIME_OUT;
      break;
    }
    MSG msg;
    BOOL fGot = GetMessageA(&msg, hWnd, 0, 0);
    if (fGot == -1) continue;  // the window is gone: seen at the top
    if (fGot == 0) {
      // The thread is asked to quit: that is the caller's business after
      // the wait, which goes on.
      fQuit = TRUE;
      iQuitCode = (int)msg.wParam;
      continue;
    }
    MLCLOG(DBG_TRACE, "Peeked message!\n");
    if (msg.message == WM_TIMER && msg.wParam == kTimeOutTimer) {
      DWORD dwElapsed = GetTickCount() - dwStart;
      if (dwElapsed <= dwTimeOut)
        SetTimer(hWnd, kTimeOutTimer, TimerPeriod(dwTimeOut - dwElapsed + 1), NULL);
    } else if (msg.message == WM_TIMER && msg.wParam == kPollTimer) {
      HandleWaitTick(hWnd);
    } else {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (dwTimeOut != INFINITE && GetTickCount() - dwStart > dwTimeOut) fTimedOut = TRUE;
  }
  if (IsWindow(hWnd)) {
    KillTimer(hWnd, kTimeOutTimer);
    KillTimer(hWnd, kPollTimer);
  }
  if (fQuit) PostQuitMessage(iQuitCode);
  return iResult;
}

void DestroyWaitWindow(HWND hWnd) {
  if (IsWindow(hWnd)) DestroyWindow(hWnd);
}

int WaitForChannelEvent(WORD hChannel, WORD wCode, DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  if (bPort >= MLC_PORT_COUNT || bHsid < MLC_FIRST_HSID || !CheckPortAndHsid(bPort, bHsid))
    return MLC_PHYSICAL_LINK_FAILURE;
  BYTE bType = GetTypeIdx(bPort, bIndex);
  LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
  if (!lpRecord) return MLC_PHYSICAL_LINK_FAILURE;
  // Both records keep hMlcWnd, at different places.
  DWORD* lpdwMlcWnd = bType == MLC_STREAM_CHANNEL ? &((StreamChannel*)lpRecord)->hMlcWnd
                                                  : &((MessageChannel*)lpRecord)->hMlcWnd;
  if (*lpdwMlcWnd) {
    UnlockChannelIdx(bPort, bIndex);
    return MLC_CHANNEL_BUSY;
  }
  WaitState state = {WAIT_EVENT, hChannel, NULL, wCode, 0};
  HWND hWnd = CreateWaitWindow(&state, 1);
  if (!hWnd) {
    UnlockChannelIdx(bPort, bIndex);
    return MLC_SYSTEM_FAILURE;
  }
  *lpdwMlcWnd = DwordFromHwnd(hWnd);
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);

  int iWait = RunWaitWindow(hWnd, dwTimeOut);

  ObtainPPI(bPort);
  BOOL fOurs = FALSE;
  if (LinkStampValid(bPort, bIndex, stamp)) {
    bType = GetTypeIdx(bPort, bIndex);  // the slot may hold another kind of channel now
    lpRecord = LockChannelIdx(bPort, bIndex);
    if (lpRecord) {
      lpdwMlcWnd = bType == MLC_STREAM_CHANNEL ? &((StreamChannel*)lpRecord)->hMlcWnd
                                               : &((MessageChannel*)lpRecord)->hMlcWnd;
      fOurs = *lpdwMlcWnd == DwordFromHwnd(hWnd);
      if (fOurs) *lpdwMlcWnd = 0;
      if (fOurs)
        HandOverWaitEvents(hWnd, bType == MLC_STREAM_CHANNEL
                                     ? TargetsOf((const StreamChannel*)lpRecord)
                                     : TargetsOf((const MessageChannel*)lpRecord));
      UnlockChannelIdx(bPort, bIndex);
    }
  }
  DestroyWaitWindow(hWnd);
  if (!fOurs) return MLC_PHYSICAL_LINK_FAILURE;
  return iWait == 0 ? 1 : iWait;
}
