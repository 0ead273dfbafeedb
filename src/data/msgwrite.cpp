// Writing a message channel: the message goes out at once when the host
// holds credit and nothing older waits, else it joins the send queue.
#include "channel/channel.h"
#include "channel/ownopen.h"
#include "data/dispatch.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "shared/locks.h"

namespace {

// The record and what it was found under: released on every exit. After
// anything that can reset the link, the stamp tells whether the record
// still exists.
struct MsgWriteLocks {
  BYTE bPort;
  BYTE bIndex;
  LinkStamp stamp;
};

int Leave(const MsgWriteLocks& locks, int iResult) {
  if (LinkStampValid(locks.bPort, locks.bIndex, locks.stamp))
    UnlockChannelIdx(locks.bPort, locks.bIndex);
  ReleasePPI(locks.bPort);
  return iResult;
}

// The largest message the host may send on the channel; 0 when its socket
// entry is gone.
WORD HtoPPacketSize(BYTE bPort, const MessageChannel* lpMsgChan) {
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, lpMsgChan->wSocketIdx);
  MLCLOG(DBG_TRACE, "WritePacketData  : pMessageCH = 0x%lx, SocketInfo = 0x%lx\n",
         (ULONG)(ULONG_PTR)lpMsgChan, (ULONG)(ULONG_PTR)lpSocket);
  if (!lpSocket) return 0;
  WORD wSize = lpSocket->wHtoPPacketSize;
  UnlockSocketIdx(bPort, lpMsgChan->wSocketIdx);
  return wSize;
}

}  // namespace

int WritePacketData(DWORD hChannel, LPCVOID lpBuffer, int iLength, WORD fBlock) {
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  MsgWriteLocks locks = {MLC_CHANNEL_PORT(hChannel), MLC_CHANNEL_SLOT(hChannel), {}};
  PerPortInfo* lpPPI = ObtainPPI(locks.bPort);
  MessageChannel* lpMsgChan = lpPPI->hChanPtrArray && locks.bIndex < lpPPI->bChannelsAllocated
                                  ? (MessageChannel*)LockChannelIdx(locks.bPort, locks.bIndex)
                                  : NULL;
  if (!lpMsgChan) {
    ReleasePPI(locks.bPort);
    MLCLOG(DBG_ERROR,
           "<---WritePacketData: MLC_INVALID_HANDLE :hChanPtrArr = NULL:bPort=%d, Hsid =%d\r\n",
           locks.bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  locks.stamp = TakeLinkStamp(locks.bPort, locks.bIndex);
  if (lpMsgChan->bHsid != bHsid || lpMsgChan->bType != MLC_PACKET_CHANNEL) {
    MLCLOG(DBG_ERROR, "<---WritePacketData: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n",
           locks.bPort, bHsid);
    return Leave(locks, MLC_INVALID_HANDLE);
  }
  if (OwnOpenStale(locks.bPort, bHsid, lpMsgChan)) return Leave(locks, MLC_PHYSICAL_LINK_FAILURE);
  WORD wMaxLength = HtoPPacketSize(locks.bPort, lpMsgChan);
  if (!lpBuffer) {
    // How long a message may be that would go out now.
    BOOL fNow = lpMsgChan->wHostHtoPCredits && !lpMsgChan->bQueuedMsgs;
    return Leave(locks, fNow ? wMaxLength : 0);
  }
  // The whole length counts: its low 16 bits could name a short message
  // that is not the caller's. An empty one would carry nothing the
  // peripheral counts, yet spend a credit.
  if (iLength <= 0 || iLength > wMaxLength) return Leave(locks, MLC_INVALID_LENGTH);
  const WORD wLength = (WORD)iLength;

  // Queued messages go out before this one, as far as the credit goes.
  if (DrainMessageQueue(locks.bPort, lpMsgChan) != MLC_SUCCESS)
    return Leave(locks, MLC_WRITE_FAILURE);
  if (lpMsgChan->wHostHtoPCredits == 0) {
    if (!MLCCreditRequest(locks.bPort, bHsid, lpMsgChan->bPsid, 0xFFFF) ||
        !LinkStampValid(locks.bPort, locks.bIndex, locks.stamp))
      return Leave(locks, MLC_PHYSICAL_LINK_FAILURE);
    // The reply may have brought credit: first for what waits already.
    if (DrainMessageQueue(locks.bPort, lpMsgChan) != MLC_SUCCESS)
      return Leave(locks, MLC_WRITE_FAILURE);
  }
  if (lpMsgChan->wHostHtoPCredits == 0 || lpMsgChan->bQueuedMsgs) {
    // A blocking write never queues and never overtakes queued messages.
    if (fBlock) return Leave(locks, MLC_CHANNEL_BUSY);
    int iQueued = QueueMessage(lpMsgChan, (const BYTE*)lpBuffer, wLength);
    return Leave(locks, iQueued < 0 ? iQueued : wLength);
  }
  if (!SendMessageNow(locks.bPort, lpMsgChan, (const BYTE*)lpBuffer, wLength))
    return Leave(locks, MLC_WRITE_FAILURE);
  return Leave(locks, wLength);
}
