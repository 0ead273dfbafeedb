// Posting channel events to the window of a blocking call, the client's
// window or the client's callback window.
#include "notify/notify.h"

#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "shared/locks.h"

namespace {

BOOL Alive(DWORD dwWnd) { return dwWnd && IsWindow(HwndFromDword(dwWnd)); }

}  // namespace

void PostChannelEvent(const ChannelTargets& targets, WORD wCode, WORD wCount, BOOL fWaitWindow) {
  LPARAM lParam = MAKELPARAM(wCode, wCount);
  if (fWaitWindow && Alive(targets.hMlcWnd)) {
    PostMessageA(HwndFromDword(targets.hMlcWnd), MLC_NOTIFY_MSG, targets.dwAppData, lParam);
  } else if (targets.hAppWnd) {
    if (Alive(targets.hAppWnd))
      PostMessageA(HwndFromDword(targets.hAppWnd), targets.wAppMsg, targets.dwAppData, lParam);
  } else if (targets.lpfnCallBack && Alive(targets.hCallBackWnd)) {
    PostMessageA(HwndFromDword(targets.hCallBackWnd), MLC_CALLBACK_MSG, wCode,
                 (LPARAM)(((WORD)targets.bPort << 8) | targets.bHsid));
  }
}

void HandOverWaitEvents(HWND hWnd, const ChannelTargets& targets) {
  MSG msg;
  while (PeekMessageA(&msg, hWnd, MLC_NOTIFY_MSG, MLC_NOTIFY_MSG, PM_REMOVE)) {
    WORD wCode = LOWORD(msg.lParam);
    // A disconnect reaches the client by itself (PostChannelClose).
    if (wCode >= MLC_READ_STREAM && wCode <= MLC_READ_PACKET)
      PostChannelEvent(targets, wCode, HIWORD(msg.lParam), FALSE);
  }
}

void ForwardChannelEvent(WORD hChannel, WORD wCode, WORD wCount) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (bPort >= MLC_PORT_COUNT || bHsid < MLC_FIRST_HSID) return;
  ObtainPPI(bPort);
  if (CheckPortAndHsid(bPort, bHsid)) {
    BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (lpRecord) {
      if (bType == MLC_STREAM_CHANNEL && ((StreamChannel*)lpRecord)->bHsid == bHsid)
        PostChannelEvent(TargetsOf((StreamChannel*)lpRecord), wCode, wCount, FALSE);
      else if (bType == MLC_PACKET_CHANNEL && ((MessageChannel*)lpRecord)->bHsid == bHsid)
        PostChannelEvent(TargetsOf((MessageChannel*)lpRecord), wCode, wCount, FALSE);
      UnlockChannelIdx(bPort, bIndex);
    }
  }
  ReleasePPI(bPort);
}

void PostChannelClose(const ChannelTargets& targets, BOOL fTellClient) {
  if (Alive(targets.hMlcWnd))
    PostMessageA(HwndFromDword(targets.hMlcWnd), MLC_NOTIFY_MSG, targets.dwAppData,
                 MAKELPARAM(MLC_DISCONNECT, 0));
  if (fTellClient) {
    if (Alive(targets.hAppWnd)) {
      MLCLOG(DBG_TRACE, "    CloseChannel - PostMessage to app MAKELPARAM(MLC_DISCONNECT,0)\n");
      PostMessageA(HwndFromDword(targets.hAppWnd), targets.wAppMsg, targets.dwAppData,
                   MAKELPARAM(MLC_DISCONNECT, 0));
    } else if (targets.lpfnCallBack && Alive(targets.hCallBackWnd)) {
      // Posted, not sent: the callback window's thread may be waiting for
      // the port this close holds, and its queue keeps the disconnect ahead
      // of the WM_CLOSE below.
      MLCLOG(DBG_TRACE, "    CloseChannel - PostMessage HIDDEN_DISCONNECT_LPT1\n");
      PostMessageA(HwndFromDword(targets.hCallBackWnd), HIDDEN_DISCONNECT_LPT1 + targets.bPort,
                   targets.dwAppData, (LPARAM)targets.lpfnCallBack);
    }
  }
  if (Alive(targets.hCallBackWnd))
    PostMessageA(HwndFromDword(targets.hCallBackWnd), WM_CLOSE, 0, 0);
}
