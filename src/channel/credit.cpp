// Credit the peripheral grants the host on a stream channel.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"

int AddStreamCredits(StreamChannel* lpStream, WORD wCredit) {
  if (lpStream->wHostHtoPCredits > (DWORD)(0xFFFF - wCredit)) {
    // Nothing of the record is touched after this: a failed send resets
    // the link, which frees it.
    SendErrorPacket(lpStream->bPort, MLC_ERROR_CREDIT_OVERFLOW, FALSE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  lpStream->wHostHtoPCredits += wCredit;
  if (wCredit != 0 && lpStream->wHostHtoPCredits == wCredit) {
    // The channel had no credit: a writer may be waiting for it.
    HWND hTarget = HwndFromDword(lpStream->hMlcWnd ? lpStream->hMlcWnd : lpStream->hAppWnd);
    if (hTarget && IsWindow(hTarget)) {
      UINT uMsg = lpStream->hMlcWnd ? MLC_NOTIFY_MSG : lpStream->wAppMsg;
      PostMessageA(hTarget, uMsg, lpStream->dwAppData, MAKELPARAM(MLC_WRITE_STREAM, 0));
    } else if (lpStream->lpfnCallBack && lpStream->hCallBackWnd &&
               IsWindow(HwndFromDword(lpStream->hCallBackWnd))) {
      PostMessageA(HwndFromDword(lpStream->hCallBackWnd), MLC_CALLBACK_MSG, MLC_WRITE_STREAM,
                   ((LPARAM)lpStream->bPort << 8) | lpStream->bHsid);
    }
    lpStream->fRequestedCredits = 0;
  }
  return 0;
}
