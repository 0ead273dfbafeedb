// Telling a message channel's client that a message arrived. Message
// channels have no arming flag: every message is told.
#include "channel/channel.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "shared/sharedmem.h"

void NotifyMessageArrival(BYTE bPort, const MessageChannel* lpMsgChan, WORD wLength) {
  HWND hTarget = HwndFromDword(lpMsgChan->hMlcWnd ? lpMsgChan->hMlcWnd : lpMsgChan->hAppWnd);
  if (hTarget) {
    if (IsWindow(hTarget))
      PostMessageA(hTarget, lpMsgChan->hMlcWnd ? MLC_NOTIFY_MSG : lpMsgChan->wAppMsg,
                   lpMsgChan->dwAppData, MAKELPARAM(MLC_READ_PACKET, wLength));
  } else if (lpMsgChan->lpfnCallBack && lpMsgChan->hCallBackWnd &&
             IsWindow(HwndFromDword(lpMsgChan->hCallBackWnd))) {
    MLCLOG(DBG_TRACE, "ProcessMessagePacket - bPort=%d, bHsid = %d\n", bPort, lpMsgChan->bHsid);
    PostMessageA(HwndFromDword(lpMsgChan->hCallBackWnd), MLC_CALLBACK_MSG, MLC_READ_PACKET,
                 (LPARAM)(WORD)((bPort << 8) + lpMsgChan->bHsid));
  }
}
