// Reading a message channel: the oldest message out of its receive slot,
// the slot's room given back, and the wait of a blocking read.
#include "channel/channel.h"
#include "channel/ownopen.h"
#include "data/dispatch.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/poll.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// The slot of the oldest waiting message (slot 0 when none waits).
int ReadSlot(const MessageChannel* lpMsgChan) {
  LONG lSlot = lpMsgChan->lReadSlot;
  return lSlot == 1 && lpMsgChan->bSlotCount > 1 ? 1 : 0;
}

// Whether a message waits on the channel (FALSE also when it is gone).
BOOL MessageWaiting(BYTE bPort, BYTE bHsid) {
  if (!CheckPortAndHsid(bPort, bHsid)) return FALSE;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  ObtainPPI(bPort);
  const MessageChannel* lpMsgChan = (const MessageChannel*)LockChannelIdx(bPort, bIndex);
  BOOL fWaiting =
      lpMsgChan && lpMsgChan->bHsid == bHsid && lpMsgChan->wSlotLength[ReadSlot(lpMsgChan)] != 0;
  if (lpMsgChan) UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return fWaiting;
}

// Waits until a message arrived on the channel, polling the port for it
// with nothing of the library held in between: 1, MLC_TIME_OUT, or
// MLC_PHYSICAL_LINK_FAILURE when the channel went away. Only tells that a
// message came; the caller then takes it with the read steps.
int WaitForMessage(DWORD hChannel, DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  DWORD dwStart = GetTickCount();
  for (;;) {
    BOOL fIdle = FALSE, fPolled = FALSE;
    int iPoll = PollOnePort(bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled);
    if (!CheckPortAndHsid(bPort, bHsid)) return MLC_PHYSICAL_LINK_FAILURE;
    if (MessageWaiting(bPort, bHsid)) return MLC_SUCCESS;
    DWORD dwElapsed = GetTickCount() - dwStart;
    if (dwTimeOut != INFINITE && dwElapsed > dwTimeOut) return MLC_TIME_OUT;
    if (iPoll != MLC_PACKET_SUCCESSFUL) WaitPortInput(bPort, 10);
  }
}

// The read steps on a locked record: the message's length, or
// MLC_NO_MESSAGE, MLC_BUFFER_TOO_SMALL. A message taken frees its slot.
int TakeMessage(BYTE bPort, MessageChannel* lpMsgChan, BYTE* lpBuffer, int iRequestLength) {
  int iSlot = ReadSlot(lpMsgChan);
  int iCount = lpMsgChan->wSlotLength[iSlot];
  if (iCount == 0) return MLC_NO_MESSAGE;
  if (iCount > iRequestLength) return MLC_BUFFER_TOO_SMALL;
  const BYTE* lpSlot = (const BYTE*)LockMLCCheck(bPort, lpMsgChan->hSlot[iSlot]);
  if (!lpSlot) return MLC_NO_MESSAGE;
  CopyMemory(lpBuffer, lpSlot, (DWORD)iCount);
  UnlockMLCCheck(bPort, lpMsgChan->hSlot[iSlot]);
  lpMsgChan->wSlotLength[iSlot] = 0;
  int iOther = 1 - iSlot;
  lpMsgChan->lReadSlot =
      iOther < lpMsgChan->bSlotCount && lpMsgChan->wSlotLength[iOther] ? iOther : -1;
  return iCount;
}

}  // namespace

int CopyPacketData(DWORD hChannel, LPVOID lpBuffer, int iRequestLength, WORD fBlock,
                   DWORD dwTimeOut) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  DWORD dwStart = GetTickCount();
  for (BOOL fWaited = FALSE;; fWaited = TRUE) {
    ObtainPPI(bPort);
    // The slot is checked anew each time: after a wait the channel may be
    // gone, and its slot reused.
    MessageChannel* lpMsgChan =
        CheckPortAndHsid(bPort, bHsid) ? (MessageChannel*)LockChannelIdx(bPort, bIndex) : NULL;
    if (lpMsgChan && lpMsgChan->bType != MLC_PACKET_CHANNEL) {
      UnlockChannelIdx(bPort, bIndex);
      lpMsgChan = NULL;
    }
    if (!lpMsgChan && fWaited) {
      ReleasePPI(bPort);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    if (!lpMsgChan) {
      ReleasePPI(bPort);
      MLCLOG(DBG_ERROR,
             "<---CopyPacketData: MLC_INVALID_HANDLE :pMessageChannel = NULL , bPort=%d, Hsid "
             "=%d\r\n",
             bPort, bHsid);
      return MLC_INVALID_HANDLE;
    }
    if (lpMsgChan->bHsid != bHsid) {
      UnlockChannelIdx(bPort, bIndex);
      ReleasePPI(bPort);
      MLCLOG(DBG_ERROR, "<---CopyPacketData: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort,
             bHsid);
      return MLC_INVALID_HANDLE;
    }
    // A wait may have ended after a reset and another client's open of the
    // slot: that client's message is not the caller's.
    if (OwnOpenStale(bPort, bHsid, lpMsgChan)) {
      UnlockChannelIdx(bPort, bIndex);
      ReleasePPI(bPort);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    int iCount = lpMsgChan->wSlotLength[ReadSlot(lpMsgChan)];
    if (!lpBuffer || (fBlock && iCount == 0)) {
      UnlockChannelIdx(bPort, bIndex);
      ReleasePPI(bPort);
      if (!lpBuffer) return iCount;
      // Nothing held while waiting: the message is stored by a poll, which
      // needs the port. The read steps then run once, below.
      DWORD dwElapsed = GetTickCount() - dwStart;
      if (dwTimeOut != INFINITE && dwElapsed > dwTimeOut) return MLC_TIME_OUT;
      int iWait =
          WaitForMessage(hChannel, dwTimeOut == INFINITE ? INFINITE : dwTimeOut - dwElapsed);
      if (iWait < 0) return iWait;
      continue;
    }
    iCount = TakeMessage(bPort, lpMsgChan, (BYTE*)lpBuffer, iRequestLength);
    if (iCount > 0) {
      // The freed slot lets a queued message go out, and room for an answer
      // the peripheral is owed. Either may reset the link: the message read
      // is still the caller's.
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      if (SendNextMessage(bPort, lpMsgChan) == MLC_SUCCESS) GrantOwedMessageCredit(lpMsgChan);
      if (!LinkStampValid(bPort, bIndex, stamp)) {
        ReleasePPI(bPort);
        return iCount;
      }
    }
    UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
    return iCount;
  }
}
