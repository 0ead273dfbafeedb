// The send side of a message channel: one message per data packet and per
// credit, and the queue of messages waiting for credit, sent oldest first.
#include "channel/channel.h"
#include "data/dispatch.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "shared/sharedmem.h"

BOOL SendMessageNow(BYTE bPort, MessageChannel* lpMsgChan, const BYTE* lpData, WORD wLength) {
  // Booked before the send: a failed send resets the link, which frees the
  // record, and the spent credit is not given back anyway.
  lpMsgChan->wHostHtoPCredits--;
  BYTE bCredit = TakeMessageCreditByte(lpMsgChan);
  MLCLOG(DBG_TRACE, "WritePacketData  : pMessageCH = 0x%lx, Credits = %d\n",
         (ULONG)(ULONG_PTR)lpMsgChan, lpMsgChan->wHostHtoPCredits);
  PacketHeader header = SendHeaderPacket(bPort, lpMsgChan->bHsid, lpMsgChan->bPsid,
                                         (WORD)(wLength + MLC_HEADER_SIZE), bCredit, 0);
  if (!SendPacket(bPort, lpData, wLength, &header)) {
    MLCLOG(DBG_ERROR, "WritePacketData: SendPacket: MLC_WRITE_FAILURE\n");
    return FALSE;
  }
  MLCLOG(DBG_TRACE, "WritePacketData - MLC_DATA sent ok = %ld\n", (long)wLength);
  return TRUE;
}

int QueueMessage(MessageChannel* lpMsgChan, const BYTE* lpData, WORD wLength) {
  // The count is 8 bits wide: a 256th message would wrap it while the
  // nodes stay linked.
  if (lpMsgChan->bQueuedMsgs >= MLC_MAX_QUEUED_MSGS) return MLC_CHANNEL_BUSY;
  BYTE bPort = lpMsgChan->bPort;
  // The tail is locked first: a queue whose tail cannot be reached takes
  // nothing (a node hung nowhere would be lost with what follows it).
  QueuedMessage* lpTail = NULL;
  if (lpMsgChan->bQueuedMsgs) {
    lpTail = lpMsgChan->hMsgQueueTail
                 ? (QueuedMessage*)LockMLCCheck(bPort, lpMsgChan->hMsgQueueTail)
                 : NULL;
    if (!lpTail) return MLC_SYSTEM_FAILURE;
  }
  HMEMBLOCK hNode = AllocMLCCheck(bPort, (DWORD)sizeof(QueuedMessage) + wLength);
  QueuedMessage* lpNode = hNode ? (QueuedMessage*)LockMLCCheck(bPort, hNode) : NULL;
  if (!lpNode) {
    if (hNode) FreeMLCCheck(bPort, hNode);
    if (lpTail) UnlockMLCCheck(bPort, lpMsgChan->hMsgQueueTail);
    return MLC_NO_MEMORY;
  }
  lpNode->wMsgLength = wLength;
  lpNode->hNext = 0;
  CopyMemory(lpNode + 1, lpData, wLength);
  UnlockMLCCheck(bPort, hNode);
  if (lpTail) {
    lpTail->hNext = hNode;
    UnlockMLCCheck(bPort, lpMsgChan->hMsgQueueTail);
  } else {
    lpMsgChan->hMsgQueueHead = hNode;
  }
  lpMsgChan->hMsgQueueTail = hNode;
  lpMsgChan->bQueuedMsgs++;
  return MLC_SUCCESS;
}

int SendNextMessage(BYTE bPort, MessageChannel* lpMsgChan) {
  // A channel being closed sends nothing more.
  if (lpMsgChan->wHostHtoPCredits == 0 || lpMsgChan->bQueuedMsgs == 0 ||
      lpMsgChan->fChannelOpen != 1)
    return MLC_SUCCESS;
  HMEMBLOCK hNode = lpMsgChan->hMsgQueueHead;
  QueuedMessage* lpNode = hNode ? (QueuedMessage*)LockMLCCheck(bPort, hNode) : NULL;
  if (!lpNode) {
    // A count with no chain behind it: nothing can be sent from it.
    MLCLOG(DBG_ERROR, "!   SendNextMessage - queue of %d without a head\n", lpMsgChan->bQueuedMsgs);
    lpMsgChan->bQueuedMsgs = 0;
    lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = 0;
    return MLC_SUCCESS;
  }
  BYTE bIndex = (BYTE)(lpMsgChan->bHsid - MLC_FIRST_HSID);
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  HMEMBLOCK hNext = lpNode->hNext;
  if (!SendMessageNow(bPort, lpMsgChan, (const BYTE*)(lpNode + 1), lpNode->wMsgLength)) {
    // The reset that followed freed the queue with the record.
    if (LinkStampValid(bPort, bIndex, stamp)) UnlockMLCCheck(bPort, hNode);
    return MLC_WRITE_FAILURE;
  }
  lpMsgChan->bQueuedMsgs--;
  if (lpMsgChan->bQueuedMsgs == 0) {
    lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = 0;
  } else {
    lpMsgChan->hMsgQueueHead = hNext;
  }
  UnlockMLCCheck(bPort, hNode);
  FreeMLCCheck(bPort, hNode);
  return MLC_SUCCESS;
}

int DrainMessageQueue(BYTE bPort, MessageChannel* lpMsgChan) {
  while (lpMsgChan->wHostHtoPCredits && lpMsgChan->bQueuedMsgs && lpMsgChan->fChannelOpen == 1) {
    if (SendNextMessage(bPort, lpMsgChan) != MLC_SUCCESS) return MLC_WRITE_FAILURE;
  }
  return MLC_SUCCESS;
}
