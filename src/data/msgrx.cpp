// Receiving a message: one data packet into a free receive slot of its
// message channel, with the credit it carries.
#include "channel/channel.h"
#include "data/dispatch.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/notify.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// The slot a new message goes to: the first empty one, -1 when both are
// full (a message is never written over one the client has not read).
int FreeSlot(const MessageChannel* lpMsgChan) {
  for (int iSlot = 0; iSlot < lpMsgChan->bSlotCount && iSlot < 2; ++iSlot)
    if (lpMsgChan->hSlot[iSlot] && lpMsgChan->wSlotLength[iSlot] == 0) return iSlot;
  return -1;
}

// The largest message the peripheral may send on the channel, 0 when its
// socket entry is gone.
WORD PtoHPacketSize(BYTE bPort, PerPortInfo* lpPPI, const MessageChannel* lpMsgChan) {
  WORD wSocketIdx = lpMsgChan->wSocketIdx;
  if (!lpPPI->hSocketInfoArray || wSocketIdx >= lpPPI->bSocketInfoCount) return 0;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  MLCLOG(DBG_TRACE, "ProcessMessagePkt: pMessageCH = 0x%lx, SocketInfo = 0x%lx\n",
         (ULONG)(ULONG_PTR)lpMsgChan, (ULONG)(ULONG_PTR)lpSocket);
  if (!lpSocket) return 0;
  WORD wSize = lpSocket->wPtoHPacketSize;
  UnlockSocketIdx(bPort, wSocketIdx);
  return wSize;
}

int Refuse(BYTE bPort, BYTE bCode) {
  SendErrorPacket(bPort, bCode, TRUE);
  ReleasePPI(bPort);
  return MLC_UNRECOVERABLE_ERROR;
}

}  // namespace

int ProcessMessagePacket(BYTE bPort, MessageChannel* lpMsgChan, const BYTE* lpHeader) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  WORD wLength;
  CopyMemory(&wLength, lpHeader + 2, sizeof(wLength));
  if (wLength > PtoHPacketSize(bPort, lpPPI, lpMsgChan)) {
    MLCLOG(DBG_ERROR, "ERROR PACKET SIZE in ProcessMessagePacket\n");
    MLCLOG(DBG_ERROR, "ProcessMessagePacket - invalid header = %02x %02x %02x %02x %02x %02x\n",
           lpHeader[0], lpHeader[1], lpHeader[2], lpHeader[3], lpHeader[4], lpHeader[5]);
    return Refuse(bPort, MLC_ERROR_DATA_TOO_LONG);
  }
  // The credit counts even when the message itself is refused below; a
  // credit past 65535 has drawn MLC_ERROR and the link is to be dropped.
  BYTE bCredit = lpHeader[4];
  if (AddMessageCredits(lpMsgChan, bCredit) != 0) {
    ReleasePPI(bPort);
    return MLC_UNRECOVERABLE_ERROR;
  }
  // Every message spends one of the grants the peripheral holds, and the
  // host grants no more than it has free slots for: a message without a
  // grant is unwanted, and one is never written over an unread one.
  int iSlot = FreeSlot(lpMsgChan);
  if (wLength > 0 && (lpMsgChan->wPeriPtoHCredits == 0 || iSlot < 0)) {
    MLCLOG(DBG_ERROR, "ProcessMessagePacket - no credit or no free slot: MLC_ERROR_NO_CREDIT\n");
    return Refuse(bPort, MLC_ERROR_NO_CREDIT);
  }
  // An empty message has nothing to hold (an empty slot reads as no
  // message): only the grant it used, when the peripheral held one, and the
  // credit it carries count. Having nothing to store, it is never refused.
  if (lpMsgChan->wPeriPtoHCredits > 0) lpMsgChan->wPeriPtoHCredits--;
  if (wLength > 0) {
    HMEMBLOCK hSlot = lpMsgChan->hSlot[iSlot];
    BYTE* lpSlot = (BYTE*)LockMLCCheck(bPort, hSlot);
    DWORD cbRead = 0;
    if (lpSlot) {
      MultiVCOMMRead(lpPPI, lpSlot, wLength, &cbRead, (DWORD)gMLC_Inter_Packet_Time_Out);
      UnlockMLCCheck(bPort, hSlot);
    }
    if (cbRead != wLength) return Refuse(bPort, MLC_ERROR_SHORT_PACKET);
    MLCLOG(DBG_TRACE, "ProcessMessagePacket - bytes received ok = %d\n", wLength);
    lpMsgChan->wSlotLength[iSlot] = wLength;
    if (lpMsgChan->lReadSlot == -1) lpMsgChan->lReadSlot = iSlot;
    NotifyChannel(lpMsgChan, MLC_READ_PACKET, wLength);  // every message is told
  }
  // Credit that came with the message lets queued messages go out first.
  int iResult = MLC_PACKET_SUCCESSFUL;
  if (bCredit && DrainMessageQueue(bPort, lpMsgChan) != MLC_SUCCESS)
    iResult = MLC_UNRECOVERABLE_ERROR;  // the link has been reset
  ReleasePPI(bPort);
  return iResult;
}
