// Reading a stream channel: bytes out of its receive ring, the freed space
// counted for credit, and the wait of a blocking read.
#include "channel/channel.h"
#include "channel/ownopen.h"
#include "data/message.h"
#include "data/stream.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/notify.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Posts HIDDEN_START_READ to the helper window: its next poll comes soon.
void AskHelperToRead() {
  MlcGlobalData* lpMGD = ObtainMGD();
  HWND hHidden = HwndFromDword(lpMGD->hHiddenWnd);
  if (hHidden && IsWindow(hHidden)) PostMessageA(hHidden, HIDDEN_START_READ, 0, 0);
  ReleaseMGD();
}

// Copies n bytes out of the ring at lReadPos, wrapping at lLastPos. FALSE,
// with nothing moved, when the ring cannot be locked for the copy.
BOOL CopyOutOfRing(BYTE bPort, StreamChannel* lpStream, BYTE* lpDest, LONG n) {
  BOOL fCopy = g_bDoMemCopy && lpDest;
  BYTE* lpRing = (BYTE*)LockMLCCheck(bPort, lpStream->hBuffer);
  if (!lpRing && fCopy) return FALSE;
  LONG lFirst = lpStream->lLastPos - lpStream->lReadPos;
  if (lFirst >= n) {
    if (fCopy) CopyMemory(lpDest, lpRing + lpStream->lReadPos, n);
    lpStream->lReadPos += n;
  } else {
    if (fCopy) {
      CopyMemory(lpDest, lpRing + lpStream->lReadPos, lFirst);
      CopyMemory(lpDest + lFirst, lpRing, n - lFirst);
    }
    lpStream->lReadPos = n - lFirst;
  }
  if (lpRing) UnlockMLCCheck(bPort, lpStream->hBuffer);
  return TRUE;
}

// The wait of a blocking read, entered with the port's mutex held once and
// the record locked (both are released on every exit): the wait window
// takes the buffered bytes at once and every later arrival, while this
// thread holds neither, so polls of any thread or process can store them.
// The count of bytes (lRequest), MLC_TIME_OUT when none came in time (the
// bytes that did are reported), MLC_PHYSICAL_LINK_FAILURE when the channel
// went down, MLC_CHANNEL_BUSY when another blocking call waits on it,
// MLC_SYSTEM_FAILURE without a window.
int WaitForStream(DWORD hChannel, StreamChannel* lpStream, BYTE* lpBuffer, WORD wRequest,
                  DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bIndex = MLC_CHANNEL_SLOT(hChannel);
  if (lpStream->hMlcWnd) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return MLC_CHANNEL_BUSY;
  }
  WaitState state = {WAIT_STREAM_READ, (WORD)hChannel, lpBuffer, 0, 0};
  HWND hWnd = CreateWaitWindow(&state, wRequest);
  if (!hWnd) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return MLC_SYSTEM_FAILURE;
  }
  lpStream->hMlcWnd = DwordFromHwnd(hWnd);
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);

  // What is buffered already is taken at once.
  SendMessageA(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(MLC_READ_STREAM, 0));
  int iWait = RunWaitWindow(hWnd, dwTimeOut);
  LONG lDone = wRequest - WaitRemaining(hWnd);

  ObtainPPI(bPort);
  lpStream = LinkStampValid(bPort, bIndex, stamp)
                 ? (StreamChannel*)LockChannelOfType(bPort, bIndex, MLC_STREAM_CHANNEL)
                 : NULL;
  if (lpStream && lpStream->hMlcWnd != DwordFromHwnd(hWnd)) {
    // Not the channel this wait began on.
    UnlockChannelIdx(bPort, bIndex);
    lpStream = NULL;
  }
  if (lpStream) HandOverWaitEvents(hWnd, TargetsOf(lpStream));
  DestroyWaitWindow(hWnd);
  if (!lpStream) {
    ReleasePPI(bPort);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  lpStream->hMlcWnd = 0;
  int iResult = (int)wRequest;
  if (iWait == MLC_PHYSICAL_LINK_FAILURE)
    iResult = MLC_PHYSICAL_LINK_FAILURE;
  else if (iWait == MLC_TIME_OUT)
    iResult = lDone > 0 ? (int)lDone : MLC_TIME_OUT;
  if (iResult >= 0 && lpStream->wLength == 0) {
    MLCLOG(DBG_TRACE, "CSD: no more data in buffer, initiate read\n");
    AskHelperToRead();
  }
  UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return iResult;
}

}  // namespace

int CopyStreamData(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  // The type is checked again under this hold: the caller's look at it
  // was under an earlier one, and a reset may have let a message channel
  // take the slot since.
  StreamChannel* lpStream = (StreamChannel*)LockChannelOfType(bPort, bIndex, MLC_STREAM_CHANNEL);
  if (!lpStream) {
    ReleasePPI(bPort);
    MLCLOG(DBG_ERROR,
           "<---CopyStreamData: MLC_INVALID_HANDLE:pStream = NULL:bPort=%d, Hsid =%d\r\n", bPort,
           bHsid);
    return MLC_INVALID_HANDLE;
  }
  if (lpStream->bHsid != bHsid) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    MLCLOG(DBG_ERROR, "<---CopyStreamData: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort,
           bHsid);
    return MLC_INVALID_HANDLE;
  }
  if (OwnOpenStale(bPort, bHsid, lpStream)) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (!(lpStream->bFlags & STREAM_HAS_BUFFER) || !lpStream->hBuffer) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return MLC_NO_BUFFER;
  }
  lpStream->fPostReadStream = 1;
  if (!lpBuffer) {
    LONG lWaiting = lpStream->wLength;
    if (lWaiting == 0) {
      MLCLOG(DBG_TRACE, "CSD: passed pointer is NULL, initiate read, pStreamCH->wLength %d\n",
             lWaiting);
      AskHelperToRead();
    }
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return lWaiting;
  }
  if (fBlock && lpStream->wLength < (LONG)(WORD)lRequest)
    return WaitForStream(hChannel, lpStream, (BYTE*)lpBuffer, (WORD)lRequest, dwTimeOut);

  WORD wSocketIdx = lpStream->wSocketIdx;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  LONG lResult = 0;
  LONG lWanted = lRequest;
  // The stored count is trusted only within the ring's bounds.
  LONG lStored = lpStream->wLength;
  if (lStored < 0 || lStored > lpStream->lLastPos) lStored = 0;
  if (lWanted > 0 && lStored > 0) {
    LONG n = lStored < lWanted ? lStored : lWanted;
    if (!CopyOutOfRing(bPort, lpStream, (BYTE*)lpBuffer, n)) {
      if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
      UnlockChannelIdx(bPort, bIndex);
      ReleasePPI(bPort);
      MLCLOG(DBG_ERROR, "CopyStreamData: ring of channel 0x%X not locked\n", bHsid);
      return MLC_SYSTEM_FAILURE;
    }
    lpStream->wLength -= n;
    lpStream->wAvailBytes += n;
    lResult = n;
    if (lpSocket && (DWORD)lpSocket->wPtoHPacketSize > (DWORD)gGRANT_CREDIT_FAST_SIZE) {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      // A refused grant keeps the space for a later one: the bytes taken
      // are the caller's all the same. Only a channel gone fails the read.
      if (GrantAnyCredits(lpPPI, lpStream) == MLC_UNRECOVERABLE_ERROR &&
          !LinkStampValid(bPort, bIndex, stamp)) {
        MLCLOG(DBG_ERROR, "CopyStreamData: MLC_UNRECOVERABLE_ERROR from GrantAnyCredits");
        ReleasePPI(bPort);
        return MLC_SYSTEM_FAILURE;
      }
    }
  }
  if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
  if (lpStream->wLength == 0) {
    MLCLOG(DBG_TRACE, "CSD: no more data in buffer, initiate read\n");
    AskHelperToRead();
  }
  UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return lResult;
}

namespace {

// A stream read that does not block checks the handle and reads under one
// hold of the port; a blocking one, and a read of a message channel, give
// the port up while they wait.
int ReadEntry(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, DWORD fBlock, DWORD dwTimeOut,
              LPCSTR lpszInvalid) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_HANDLE;
  ObtainPPI(bPort);
  BYTE bType = 0;
  int iResult = MLC_INVALID_HANDLE;
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, lpszInvalid, bPort, bHsid);
  } else if (!CanSendOnPort(bPort)) {
    // Reading returns freed space to the printer as credit, which is sent.
    iResult = MLC_PHYSICAL_LINK_FAILURE;
  } else {
    bType = GetTypeIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID));
  }
  if (bType != MLC_STREAM_CHANNEL || fBlock) ReleasePPI(bPort);
  if (bType == MLC_PACKET_CHANNEL)
    return CopyPacketData(hChannel, lpBuffer, lRequest, (WORD)fBlock, dwTimeOut);
  if (bType != MLC_STREAM_CHANNEL) return iResult;
  iResult = CopyStreamData(hChannel, lpBuffer, lRequest, (WORD)fBlock, dwTimeOut);
  if (!fBlock) ReleasePPI(bPort);
  return iResult;
}

}  // namespace

int WINAPI MLCRead(DWORD hChannel, LPVOID lpBuffer, int iRequestLength, DWORD fBlock,
                   DWORD dwTimeOut) {
  MLCLOG(DBG_ENTRY | DBG_API, "--->MLCRead bPort=%d iRequestLength =%d\r\n",
         MLC_CHANNEL_PORT(hChannel), iRequestLength);
  if (iRequestLength < 0 || iRequestLength > 0xFFFF) return MLC_INVALID_LENGTH;
  int iResult = ReadEntry(hChannel, lpBuffer, iRequestLength, fBlock, dwTimeOut,
                          "<---MLCRead: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n");
  MLCLOG(DBG_API | DBG_EXIT, "<---MLCRead: Channel Type =%d, BytesRead =%d\r\n", MLC_STREAM_CHANNEL,
         iResult);
  return iResult;
}

int WINAPI MLCRead64(DWORD hChannel, LPVOID lpBuffer, int iRequestLength, DWORD fBlock,
                     DWORD dwTimeOut) {
  MLCLOG(DBG_ENTRY | DBG_API, "--->MLCRead64 bPort=%d wRequestLength =%u\r\n",
         MLC_CHANNEL_PORT(hChannel), (UINT)iRequestLength);
  if (iRequestLength < 0) return MLC_INVALID_LENGTH;
  int iResult = ReadEntry(hChannel, lpBuffer, iRequestLength, fBlock, dwTimeOut,
                          "<---MLCRead64: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n");
  MLCLOG(DBG_API | DBG_EXIT, "<---MLCRead64: Channel Type =%d, BytesRead =%ld\r\n",
         MLC_STREAM_CHANNEL, (long)iResult);
  return iResult;
}
