// Reading a stream channel: bytes out of its receive ring, the freed space
// counted for credit, and the wait of a blocking read.
#include "channel/channel.h"
#include "data/message.h"
#include "data/stream.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/poll.h"
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

// Copies n bytes out of the ring at lReadPos, wrapping at lLastPos.
void CopyOutOfRing(BYTE bPort, StreamChannel* lpStream, BYTE* lpDest, LONG n) {
  BYTE* lpRing = (BYTE*)LockMLCCheck(bPort, lpStream->hBuffer);
  LONG lFirst = lpStream->lLastPos - lpStream->lReadPos;
  if (lFirst >= n) {
    if (lpRing && g_bDoMemCopy && lpDest) CopyMemory(lpDest, lpRing + lpStream->lReadPos, n);
    lpStream->lReadPos += n;
  } else {
    if (lpRing && g_bDoMemCopy && lpDest) {
      CopyMemory(lpDest, lpRing + lpStream->lReadPos, lFirst);
      CopyMemory(lpDest + lFirst, lpRing, n - lFirst);
    }
    lpStream->lReadPos = n - lFirst;
  }
  if (lpRing) UnlockMLCCheck(bPort, lpStream->hBuffer);
}

// One blocking read: rounds of immediate reads, each followed by a poll of
// the port, until lRequest bytes came or dwTimeOut ran out. The port is not
// held between rounds, so other readers, writers and polls go on meanwhile.
int ReadUntilComplete(DWORD hChannel, BYTE* lpBuffer, LONG lRequest, DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  DWORD dwStart = GetTickCount();
  LONG lDone = 0;
  for (;;) {
    // This loop polls the port itself: asking the helper to read as well
    // would only fill its queue with requests.
    int iRead = CopyStreamDataAsk(hChannel, lpBuffer + lDone, lRequest - lDone, FALSE, 0, FALSE);
    if (iRead < 0) return lDone > 0 && iRead == MLC_TIME_OUT ? lDone : iRead;
    lDone += iRead;
    if (lDone >= lRequest) return lDone;
    if (iRead == 0) {
      BOOL fIdle = FALSE, fPolled = FALSE;
      int iPoll = PollOnePort(bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled);
      if (iPoll == MLC_NO_DATA || iPoll == 0) WaitPortInput(bPort, 10);
      if (!CheckPortAndHsid(bPort, MLC_CHANNEL_HSID(hChannel))) return MLC_PHYSICAL_LINK_FAILURE;
    }
    // What was copied is the caller's: a time-out after some bytes moved
    // reports them.
    if (dwTimeOut != INFINITE && GetTickCount() - dwStart > dwTimeOut)
      return lDone > 0 ? lDone : MLC_TIME_OUT;
  }
}

}  // namespace

int CopyStreamData(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut) {
  return CopyStreamDataAsk(hChannel, lpBuffer, lRequest, fBlock, dwTimeOut, TRUE);
}

int CopyStreamDataAsk(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut,
                      BOOL fAskHelper) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  StreamChannel* lpStream = (StreamChannel*)LockChannelIdx(bPort, bIndex);
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
  if (!(lpStream->bFlags & STREAM_HAS_BUFFER) || !lpStream->hBuffer) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return MLC_NO_BUFFER;
  }
  lpStream->fPostReadStream = 1;
  if (!lpBuffer) {
    LONG lWaiting = lpStream->wLength;
    if (lWaiting == 0 && fAskHelper) {
      MLCLOG(DBG_TRACE, "CSD: passed pointer is NULL, initiate read, pStreamCH->wLength %d\n",
             lWaiting);
      AskHelperToRead();
    }
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return lWaiting;
  }
  if (fBlock && lpStream->wLength < (LONG)(WORD)lRequest) {
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return ReadUntilComplete(hChannel, (BYTE*)lpBuffer, (LONG)(WORD)lRequest, dwTimeOut);
  }

  WORD wSocketIdx = lpStream->wSocketIdx;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  LONG lResult = 0;
  LONG lWanted = lRequest;
  // The stored count is trusted only within the ring's bounds.
  LONG lStored = lpStream->wLength;
  if (lStored < 0 || lStored > lpStream->lLastPos) lStored = 0;
  if (lWanted > 0 && lStored > 0) {
    LONG n = lStored < lWanted ? lStored : lWanted;
    CopyOutOfRing(bPort, lpStream, (BYTE*)lpBuffer, n);
    lpStream->wLength -= n;
    lpStream->wAvailBytes += n;
    lResult = n;
    if (lpSocket && (DWORD)lpSocket->wPtoHPacketSize > (DWORD)gGRANT_CREDIT_FAST_SIZE) {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      if (GrantAnyCredits(lpPPI, lpStream) == MLC_UNRECOVERABLE_ERROR) {
        if (LinkStampValid(bPort, bIndex, stamp)) {
          UnlockSocketIdx(bPort, wSocketIdx);
          UnlockChannelIdx(bPort, bIndex);
        }
        MLCLOG(DBG_ERROR, "CopyStreamData: MLC_UNRECOVERABLE_ERROR from GrantAnyCredits");
        ReleasePPI(bPort);
        return MLC_SYSTEM_FAILURE;
      }
    }
  }
  if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
  if (lpStream->wLength == 0 && fAskHelper) {
    MLCLOG(DBG_TRACE, "CSD: no more data in buffer, initiate read\n");
    AskHelperToRead();
  }
  UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return lResult;
}

namespace {

int ReadEntry(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, DWORD fBlock, DWORD dwTimeOut,
              LPCSTR lpszInvalid) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, lpszInvalid, bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  ObtainPPI(bPort);
  BYTE bType = GetTypeIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID));
  ReleasePPI(bPort);
  if (bType == MLC_PACKET_CHANNEL)
    return CopyPacketData(hChannel, lpBuffer, lRequest, (WORD)fBlock, dwTimeOut);
  if (bType != MLC_STREAM_CHANNEL) return MLC_INVALID_HANDLE;
  return CopyStreamData(hChannel, lpBuffer, lRequest, (WORD)fBlock, dwTimeOut);
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
