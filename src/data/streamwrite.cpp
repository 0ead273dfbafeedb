// Writing a stream channel: the caller's bytes cut into data packets, one
// per credit the peripheral granted, with credit asked for when none is left.
#include "channel/channel.h"
#include "channel/ownopen.h"
#include "data/message.h"
#include "data/stream.h"
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "notify/notify.h"
#include "notify/poll.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {

// A packet the port took only partly is finished this many times at most.
constexpr int kMaxResends = 3;

// What one write holds: released in reverse order on every exit. After
// anything that can reset the link the stamp says whether the record and
// the socket entry still exist.
struct WriteLocks {
  BYTE bPort;
  BYTE bIndex;
  WORD wSocketIdx;
  BOOL fSocket;
  LinkStamp stamp;
};

void UnlockAll(const WriteLocks& locks) {
  if (LinkStampValid(locks.bPort, locks.bIndex, locks.stamp)) {
    if (locks.fSocket) UnlockSocketIdx(locks.bPort, locks.wSocketIdx);
    UnlockChannelIdx(locks.bPort, locks.bIndex);
  }
  ReleasePPI(locks.bPort);
}

BOOL ChannelStillOpen(const WriteLocks& locks, const StreamChannel* lpStream) {
  return LinkStampValid(locks.bPort, locks.bIndex, locks.stamp) && lpStream->fChannelOpen;
}

// Waits for the answer to an outstanding credit request by polling the
// port: 0 once credit came, MLC_TIME_OUT after CreditTimeout, or
// MLC_PHYSICAL_LINK_FAILURE when the channel or the link went away. A poll
// that finds nothing, or a refused packet, does not end the wait.
int WaitForCredit(const WriteLocks& locks, StreamChannel* lpStream) {
  MLCLOG(DBG_TRACE, "WriteStreamData blocking request!! pStreamCH->fRequestedCredits: %d\n",
         lpStream->fRequestedCredits);
  DWORD dwStart = GetTickCount();
  for (;;) {
    BOOL fIdle = FALSE, fPolled = FALSE;
    int iPoll = PollOnePort(locks.bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled);
    if (!ChannelStillOpen(locks, lpStream)) {
      MLCLOG(DBG_ERROR, "WriteStreamData: PollForData != MLC_PACKET_SUCCESSFUL\n");
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    if (!lpStream->fRequestedCredits || lpStream->wHostHtoPCredits) return 0;
    if (GetTickCount() - dwStart > (DWORD)gCreditTimeout) {
      MLCLOG(DBG_ERROR, "WriteStreamData: pStreamCH->fRequestedCredits: MLC_TIME_OUT\n");
      return MLC_TIME_OUT;
    }
    if (iPoll != MLC_PACKET_SUCCESSFUL) WaitPortInput(locks.bPort, 10);
  }
}

// Sends one packet of n bytes, finishing it after port time-outs when
// resending is configured: TRUE when it went out whole; FALSE when it could
// not (the link has then been reset).
BOOL SendOnePacket(const WriteLocks& locks, PerPortInfo* lpPPI, const StreamChannel* lpStream,
                   BYTE bHsid, const BYTE* lpData, WORD n) {
  PacketHeader header =
      SendHeaderPacket(locks.bPort, bHsid, lpStream->bPsid, (WORD)(n + MLC_HEADER_SIZE), 0, 0);
  DWORD cbOnWire = 0;
  // The cap is per packet: time-outs spread over a long write are each
  // finished by their own resends.
  int iResends = 0;
  for (;;) {
    // A time-out mark of an earlier, finished packet is not this one's.
    if (lpPPI->lLastLinkError == CE_PTO) lpPPI->lLastLinkError = 0;
    MLCLOG(DBG_TRACE, "WriteStreamData entry: wRequest: %d\n", n);
    if (!SendStreamPacket(locks.bPort, lpData, n, &header, &cbOnWire)) {
      MLCLOG(DBG_ERROR, "WriteStreamData: SendPacket: MLC_WRITE_FAILURE\n");
      return FALSE;
    }
    if (!gRetry_Resent_Stream_Packet || lpPPI->lLastLinkError != CE_PTO) return TRUE;
    if (++iResends > kMaxResends) {
      // Part of a packet is on the wire and the port takes no more: the
      // link cannot go on, and looping here would hold the port for ever.
      MLCLOG(DBG_ERROR, "WriteStreamData: SendPacket: MLC_WRITE_FAILURE\n");
      StartAllOverAgain(locks.bPort, FALSE);
      return FALSE;
    }
    MLCLOG(DBG_TRACE, "WriteStreamData: SendPacket: We are going to resend all packet\n");
  }
}

// The wait of a blocking write, entered holding what locks holds (all of
// it released on every exit): the wait window sends what the credit allows
// each time credit arrives, while this thread holds no lock, so polls of
// any thread or process can store the credit. The length, the count sent
// when the time ran out (MLC_TIME_OUT when nothing went),
// MLC_PHYSICAL_LINK_FAILURE when the channel went down or a send failed,
// MLC_CHANNEL_BUSY when another blocking call waits on the channel,
// MLC_SYSTEM_FAILURE without a window.
int WaitToWrite(WriteLocks& locks, StreamChannel* lpStream, WORD hChannel, const BYTE* lpBuffer,
                WORD wLength, DWORD dwTimeOut) {
  if (lpStream->hMlcWnd) {
    UnlockAll(locks);
    return MLC_CHANNEL_BUSY;
  }
  WaitState state = {WAIT_STREAM_WRITE, hChannel, (BYTE*)lpBuffer, 0, 0};
  HWND hWnd = CreateWaitWindow(&state, wLength);
  if (!hWnd) {
    UnlockAll(locks);
    return MLC_SYSTEM_FAILURE;
  }
  lpStream->hMlcWnd = DwordFromHwnd(hWnd);
  UnlockAll(locks);

  PostMessageA(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(MLC_WRITE_STREAM, 0));
  // Without a time-out of its own the write still ends once no credit came
  // for CreditTimeout: a printer that answers pings but never grants credit
  // would hold the caller for ever.
  int iWait;
  if (dwTimeOut != INFINITE) {
    iWait = RunWaitWindow(hWnd, dwTimeOut);
  } else {
    WORD wBefore;
    do {
      wBefore = WaitRemaining(hWnd);
      iWait = RunWaitWindow(hWnd, (DWORD)gCreditTimeout);
    } while (iWait == MLC_TIME_OUT && WaitRemaining(hWnd) != wBefore);
  }
  int iSent = wLength - WaitRemaining(hWnd);

  ObtainPPI(locks.bPort);
  locks.fSocket = FALSE;
  lpStream = LinkStampValid(locks.bPort, locks.bIndex, locks.stamp)
                 ? (StreamChannel*)LockChannelOfType(locks.bPort, locks.bIndex, MLC_STREAM_CHANNEL)
                 : NULL;
  if (lpStream && lpStream->hMlcWnd != DwordFromHwnd(hWnd)) {
    UnlockChannelIdx(locks.bPort, locks.bIndex);
    lpStream = NULL;
  }
  if (lpStream) HandOverWaitEvents(hWnd, TargetsOf(lpStream));
  DestroyWaitWindow(hWnd);
  if (!lpStream) {
    ReleasePPI(locks.bPort);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  lpStream->hMlcWnd = 0;
  int iResult = wLength;
  // A failure after bytes went out on a channel that is still open (a
  // refused credit request) reports the bytes: the caller would send them
  // twice otherwise.
  if (iWait == MLC_PHYSICAL_LINK_FAILURE)
    iResult = iSent > 0 && lpStream->fChannelOpen ? iSent : MLC_PHYSICAL_LINK_FAILURE;
  else if (iWait == MLC_TIME_OUT)
    iResult = iSent > 0 ? iSent : MLC_TIME_OUT;
  UnlockAll(locks);
  return iResult;
}

}  // namespace

int WriteStreamData(DWORD hChannel, LPCVOID lpBuffer, WORD wLength, WORD fBlock, DWORD dwTimeOut) {
  MLCLOG(DBG_ENTRY | DBG_API, "WriteStreamData entry: length: %d\n", wLength);
  WriteLocks locks = {MLC_CHANNEL_PORT(hChannel), MLC_CHANNEL_SLOT(hChannel), 0, FALSE, {}};
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  PerPortInfo* lpPPI = ObtainPPI(locks.bPort);
  // The type is checked again under this hold (see CopyStreamData).
  StreamChannel* lpStream =
      (StreamChannel*)LockChannelOfType(locks.bPort, locks.bIndex, MLC_STREAM_CHANNEL);
  if (!lpStream) {
    ReleasePPI(locks.bPort);
    MLCLOG(DBG_ERROR,
           "<---WriteStreamData: MLC_INVALID_HANDLE :hChanPtrArr = NULL:bPort=%d, Hsid =%d\r\n",
           locks.bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  locks.stamp = TakeLinkStamp(locks.bPort, locks.bIndex);
  if (lpStream->bHsid != bHsid) {
    UnlockAll(locks);
    MLCLOG(DBG_ERROR, "<---WriteStreamData: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n",
           locks.bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  if (OwnOpenStale(locks.bPort, bHsid, lpStream)) {
    UnlockAll(locks);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  locks.wSocketIdx = lpStream->wSocketIdx;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(locks.bPort, locks.wSocketIdx);
  locks.fSocket = lpSocket != NULL;
  if (!lpSocket) {
    UnlockAll(locks);
    return MLC_INVALID_HANDLE;
  }
  const WORD wPacketSize = lpSocket->wHtoPPacketSize;

  if (lpStream->wHostHtoPCredits == 0) {
    // A blocking query waits here for credit asked for; a blocking write
    // waits in its window instead, without the port.
    if (fBlock && !lpBuffer && lpStream->fRequestedCredits) {
      int iWait = WaitForCredit(locks, lpStream);
      if (iWait < 0) {
        UnlockAll(locks);
        return iWait;
      }
    } else {
      if (RequestStreamCredits(lpStream) < 0) {
        MLCLOG(DBG_ERROR, "WriteStreamData: RequestStreamCredits(pStreamCH) < 0\n");
        UnlockAll(locks);
        return MLC_PHYSICAL_LINK_FAILURE;
      }
      MLCLOG(DBG_TRACE, "Return from RequestStreamCredits\n");
    }
  }

  if (!lpBuffer) {
    DWORD dwSpace = (DWORD)wPacketSize * lpStream->wHostHtoPCredits;
    MLCLOG(DBG_TRACE, "WriteStreamData: buffer space check, available space = %ld\n",
           (long)dwSpace);
    UnlockAll(locks);
    return dwSpace > 0x7FFF ? 0x7FFF : (int)dwSpace;
  }

  if (fBlock && wPacketSize && (DWORD)wPacketSize * lpStream->wHostHtoPCredits < wLength)
    return WaitToWrite(locks, lpStream, (WORD)hChannel, (const BYTE*)lpBuffer, wLength, dwTimeOut);

  const BYTE* lpData = (const BYTE*)lpBuffer;
  WORD wRemaining = wPacketSize ? wLength : 0;
  int iResult = 0;
  while (wRemaining && lpStream->wHostHtoPCredits) {
    WORD n = wRemaining < wPacketSize ? wRemaining : wPacketSize;
    if (!SendOnePacket(locks, lpPPI, lpStream, bHsid, lpData, n)) {
      UnlockAll(locks);
      return MLC_WRITE_FAILURE;
    }
    --lpStream->wHostHtoPCredits;
    iResult += n;
    wRemaining = (WORD)(wRemaining - n);
    lpData += n;
  }

  if (!lpStream->fRequestedCredits)
    MLCLOG(DBG_TRACE, "WriteStreamData - MLC_DATA sent ok = %d\n", iResult);
  if (lpStream->wHostHtoPCredits == 0 && !lpStream->fRequestedCredits) {
    // The request goes out now so that the answer is on its way before the
    // next write. When it cannot go out, what was sent is still reported,
    // unless the channel itself is gone.
    if (RequestStreamCredits(lpStream) < 0 &&
        (iResult == 0 || !ChannelStillOpen(locks, lpStream))) {
      MLCLOG(DBG_ERROR, "WriteStreamData: RequestStreamCredits(pStreamCH) < 0\n");
      UnlockAll(locks);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
  }
  UnlockAll(locks);
  return iResult;
}

int WINAPI MLCWrite(DWORD hChannel, LPCVOID lpBuffer, int iLength, DWORD fBlock, DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  MLCLOG(DBG_ENTRY | DBG_API,
         "--->MLCWrite bPort=%d iLength = %d lpPtr = 0x%08lX fBlock = %d dwTimeOut = %ld\n", bPort,
         iLength, (ULONG)(ULONG_PTR)lpBuffer, (int)fBlock, (long)dwTimeOut);
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_HANDLE;
  // A write that does not block checks the handle and writes under one
  // hold of the port (a blocking one gives it up while it waits).
  BOOL fHeld = !fBlock && gMlc_Force_Poll != 1;
  if (fHeld) ObtainPPI(bPort);
  if (!CheckPortAndHsid(bPort, bHsid)) {
    if (fHeld) ReleasePPI(bPort);
    MLCLOG(DBG_ERROR, "<---MLCWrite: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  int iResult = MLC_INVALID_HANDLE;
  BYTE bType = 0;
  if (!CanSendOnPort(bPort)) {
    iResult = MLC_PHYSICAL_LINK_FAILURE;
  } else if (iLength < 0) {
    iResult = MLC_INVALID_LENGTH;  // names no bytes the caller has
  } else {
    if (gMlc_Force_Poll == 1) MLCLocalPoll(FALSE, POLL_TYPE_LIBRARY);
    PerPortInfo* lpPPI = ObtainPPI(bPort);
    bType = lpPPI->bChannelsUsed ? GetTypeIdx(bPort, MLC_CHANNEL_SLOT(hChannel)) : 0;
    ReleasePPI(bPort);
  }
  if (bType != MLC_STREAM_CHANNEL && fHeld) ReleasePPI(bPort);
  if (bType == MLC_PACKET_CHANNEL) {
    int iWritten = WritePacketData(hChannel, lpBuffer, iLength, (WORD)fBlock);
    MLCLOG(DBG_API | DBG_EXIT, "<---MLCWrite: Channel Type =%d, BytesWritten =%d\r\n", bType,
           iWritten);
    return iWritten;
  }
  if (bType != MLC_STREAM_CHANNEL) return iResult;

  // A length beyond one call's reach is a short write the caller continues.
  WORD wLength = iLength > MLC_MAX_WRITE ? (WORD)MLC_MAX_WRITE : (WORD)iLength;
  iResult = WriteStreamData(hChannel, lpBuffer, wLength, (WORD)fBlock, dwTimeOut);
  if (fHeld) ReleasePPI(bPort);
  MLCLOG(DBG_API | DBG_EXIT, "<---MLCWrite: Channel Type =%d, BytesWritten =%d\r\n", bType,
         iResult);
  return iResult;
}
