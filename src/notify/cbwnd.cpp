// Callback windows: a hidden window per channel whose client gave a callback
// instead of a window, created in the opening thread so that the callback
// runs there, from that thread's message loop.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "notify/cbtable.h"
#include "notify/wndproc.h"
#include "shared/locks.h"
#include "shared/records.h"

namespace {

// The client's function from what a record (or a disconnect) carries.
MLC_CALLBACK CallBackOf(ULONG_PTR dwKey) { return LookupCallBack((DWORD)dwKey); }

// What a callback call needs, read under the port's mutex; the call itself
// runs with no lock held, so a callback that calls the library (or another
// thread waiting for the port) cannot deadlock with a close.
struct CallBackCall {
  MLC_CALLBACK lpfn;
  DWORD dwPort;
  DWORD dwAppData;
  DWORD dwCount;
};

// The callback for an event on (bPort, bHsid), when the channel still
// exists and still belongs to this callback window: a notification queued
// for a channel that was closed, and whose slot another client reopened,
// must not call that client's function (an address in its own process).
BOOL FindCallBack(HWND hWnd, BYTE bPort, BYTE bHsid, CallBackCall* lpCall) {
  if (!CheckPortAndHsid(bPort, bHsid)) return FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fCall = FALSE;
  if (lpPPI->bChannelsAllocated) {
    BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (lpRecord && bType == MLC_STREAM_CHANNEL) {
      const StreamChannel* lpStream = (const StreamChannel*)lpRecord;
      if (lpStream->bHsid == bHsid && lpStream->hCallBackWnd == DwordFromHwnd(hWnd) &&
          lpStream->lpfnCallBack) {
        *lpCall = {CallBackOf(lpStream->lpfnCallBack), lpStream->bPort, lpStream->dwAppData, 0};
        fCall = lpCall->lpfn != NULL;
      }
    } else if (lpRecord && bType == MLC_PACKET_CHANNEL) {
      const MessageChannel* lpMsgChan = (const MessageChannel*)lpRecord;
      LONG lSlot = lpMsgChan->lReadSlot;
      if (lpMsgChan->bHsid == bHsid && lpMsgChan->hCallBackWnd == DwordFromHwnd(hWnd) &&
          lpMsgChan->lpfnCallBack && lSlot >= 0 && lSlot < 2) {
        *lpCall = {CallBackOf(lpMsgChan->lpfnCallBack), lpMsgChan->bPort, lpMsgChan->dwAppData,
                   lpMsgChan->wSlotLength[lSlot]};
        fCall = lpCall->lpfn != NULL;
      }
    }
    if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  }
  ReleasePPI(bPort);
  return fCall;
}

}  // namespace

LRESULT CALLBACK CallBackWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  MLCLOG(DBG_ENTRY, "CallBackWndProc called\n");
  if (uMsg == WM_NCDESTROY) ForgetCallBack((DWORD)GetWindowLongPtrA(hWnd, GWLP_USERDATA));
  if (uMsg == MLC_CALLBACK_MSG) {
    MlcGlobalData* lpMGD = ObtainMGD();
    WORD wOpen = lpMGD->wTotalChannelsOpened;
    ReleaseMGD();
    if (wOpen == 0) return 0;
    BYTE bPort = (BYTE)((lParam >> 8) & 0xFF);
    BYTE bHsid = (BYTE)(lParam & 0xFF);
    MLCLOG(DBG_TRACE, "CallBackWndProc - bPort=%d, bHsid = %d\n", bPort, bHsid);
    CallBackCall call;
    if (FindCallBack(hWnd, bPort, bHsid, &call))
      call.lpfn(call.dwPort, (DWORD)(WORD)wParam, call.dwAppData, call.dwCount);
    return 0;
  }
  if (uMsg >= HIDDEN_DISCONNECT_LPT1 && uMsg < HIDDEN_DISCONNECT_LPT1 + MLC_PORT_COUNT) {
    MLCLOG(DBG_TRACE, "CallBackWndProc HIDDEN_DISCONNECT\n");
    // The channel is gone already: the function travels in the message,
    // and the port is the first argument as with every other event.
    MLC_CALLBACK lpfn = CallBackOf((ULONG_PTR)lParam);
    if (lpfn) lpfn(uMsg - HIDDEN_DISCONNECT_LPT1, MLC_DISCONNECT, (DWORD)wParam, 0);
    return 0;
  }
  if (uMsg == WM_CLOSE) {
    DestroyWindow(hWnd);
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND CreateCallBackWindow(DWORD dwCallBackKey) {
  WNDCLASSA wc;
  if (!GetClassInfoA(hMlcInstance, MLC_CALLBACK_WND_CLASS, &wc)) {
    ZeroMemory(&wc, sizeof wc);
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = CallBackWndProc;
    wc.hInstance = hMlcInstance;
    wc.lpszClassName = MLC_CALLBACK_WND_CLASS;
    // Another thread of this process may have registered it meanwhile.
    if (!RegisterClassA(&wc) && !GetClassInfoA(hMlcInstance, MLC_CALLBACK_WND_CLASS, &wc))
      return NULL;
  }
  HWND hWnd = CreateWindowExA(0, MLC_CALLBACK_WND_CLASS, NULL, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                              NULL, NULL, hMlcInstance, NULL);
  if (hWnd) SetWindowLongPtrA(hWnd, GWLP_USERDATA, (LONG_PTR)dwCallBackKey);
  return hWnd;
}
