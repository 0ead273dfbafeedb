// Replies to the host's commands: matched against the command outstanding,
// checked for length, link state and result, then applied.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/cmdproc.h"
#include "link/link.h"
#include "notify/retrieve.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Required total length of each reply (0: any), and whether it needs the
// link to be up.
struct ReplyRule {
  WORD wTotal;
  BOOL fNeedsInit;
};
const ReplyRule kReplyRules[] = {
    {MLC_INIT_REPLY_LENGTH, FALSE},           // 0x80
    {MLC_OPEN_CHANNEL_REPLY_LENGTH, TRUE},    // 0x81
    {MLC_CLOSE_CHANNEL_REPLY_LENGTH, TRUE},   // 0x82
    {MLC_CREDIT_REPLY_LENGTH, TRUE},          // 0x83
    {MLC_CREDIT_REQUEST_REPLY_LENGTH, TRUE},  // 0x84
    {0, FALSE},                               // 0x85: never outstanding
    {0, FALSE},                               // 0x86: never outstanding
    {MLC_CONFIG_SOCKET_REPLY_LENGTH, TRUE},   // 0x87
    {0, FALSE},                               // 0x88: any length
};

int OpenChannelReply(BYTE bPort, const BYTE* lpPayload, BYTE bContext, BYTE bType) {
  BYTE bResult = lpPayload[1];
  if (bResult == COMMAND_CHANNEL_MAXXED_OUT) {
    MLCLOG(DBG_ERROR, ")   ProcessMLCPacket ERROR: *lpPtr == COMMAND_CHANNEL_MAXXED_OUT \n");
    return MLC_PACKET_REFUSED;
  }
  if (bResult != COMMAND_SUCCESSFUL) {
    MLCLOG(DBG_ERROR,
           ")   ProcessMLCPacket ERROR: *lpPtr != COMMAND_SUCCESSFUL (and not MAXXED_OUT) \n");
    return MLC_PACKET_REFUSED;
  }
  BYTE bIndex = (BYTE)(bContext - MLC_FIRST_HSID);
  LPVOID lpRecord = bType ? LockChannelIdx(bPort, bIndex) : NULL;
  if (!lpRecord) {
    MLCLOG(DBG_ERROR, ")   ProcessMLCPacket ERROR: (pStreamCH == NULL) && (pMessageCH == NULL) \n");
    return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  }
  WORD wCredit = WireWord(lpPayload + 2);
  if (bType == MLC_STREAM_CHANNEL) {
    StreamChannel* lpStream = (StreamChannel*)lpRecord;
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    if (AddStreamCredits(lpStream, wCredit) != 0) {
      if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
      return MLC_UNRECOVERABLE_ERROR;
    }
    lpStream->fChannelOpen = 1;
  } else {
    MessageChannel* lpMsgChan = (MessageChannel*)lpRecord;
    lpMsgChan->wHostHtoPCredits = wCredit;  // all 16 bits: a new record holds none
    lpMsgChan->fChannelOpen = 1;
  }
  UnlockChannelIdx(bPort, bIndex);
  MLCLOG(DBG_TRACE, "ProcessMLCPacket: MLC_OPEN_CHANNEL_REPLY: (credits=%d)\n", wCredit);
  return MLC_PACKET_SUCCESSFUL;
}

int CloseChannelReply(BYTE bPort, BYTE bContext, BYTE bType) {
  BYTE bIndex = (BYTE)(bContext - MLC_FIRST_HSID);
  LPVOID lpRecord = bType ? LockChannelIdx(bPort, bIndex) : NULL;
  if (!lpRecord) return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  // fChannelOpen sits at the same offset in both records.
  ((StreamChannel*)lpRecord)->fChannelOpen = 0;
  UnlockChannelIdx(bPort, bIndex);
  return MLC_PACKET_SUCCESSFUL;
}

int CreditRequestReply(BYTE bPort, const BYTE* lpPayload, BYTE bContext, BYTE bType) {
  WORD wCredit = WireWord(lpPayload + 2);
  MLCLOG(DBG_TRACE, "ProcessMLCPacket - case MLC_CREDIT_REQUEST_REPLY (credits=%d)\n", wCredit);
  if (bType == 0) return RefusePacket(bPort, MLC_ERROR_UNKNOWN_CHANNEL_TYPE);
  BYTE bIndex = (BYTE)(bContext - MLC_FIRST_HSID);
  LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
  if (!lpRecord) return MLC_PACKET_SUCCESSFUL;
  // The writer that asked sends what the credit allows once the wait ends.
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  int iCredit = bType == MLC_STREAM_CHANNEL ? AddStreamCredits((StreamChannel*)lpRecord, wCredit)
                                            : AddMessageCredits((MessageChannel*)lpRecord, wCredit);
  if (iCredit != 0) {
    if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
    return MLC_UNRECOVERABLE_ERROR;
  }
  UnlockChannelIdx(bPort, bIndex);
  return MLC_PACKET_SUCCESSFUL;
}

// The sizes the peripheral answers must leave room for a payload byte and
// may not pass what the host proposed: anything else would make every later
// packet size (and the credit unit) meaningless.
int ConfigSocketReply(BYTE bPort, PerPortInfo* lpPPI, const BYTE* lpPayload) {
  WORD wHtoP = WireWord(lpPayload + 2);
  WORD wPtoH = WireWord(lpPayload + 4);
  if (wHtoP < MLC_HEADER_SIZE + 1 || wPtoH < MLC_HEADER_SIZE + 1 ||
      wHtoP > (DWORD)gTO_PERI_PACKET_SIZE + MLC_HEADER_SIZE ||
      wPtoH > (DWORD)gTO_HOST_PACKET_SIZE + MLC_HEADER_SIZE) {
    MLCLOG(DBG_ERROR,
           ")   ProcessMLCPacket ERROR: MLC_CONFIG_SOCKET_REPLY sizes HtoP=%d, PtoH=%d\n", wHtoP,
           wPtoH);
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  }
  if (!lpPPI->hSocketInfoArray || lpPPI->bSocketInfoCount == 0)
    return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  SocketInfo* lpSockets = (SocketInfo*)LockMLCCheck(bPort, lpPPI->hSocketInfoArray);
  if (!lpSockets) return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  SocketInfo* lpEntry = &lpSockets[lpPPI->bSocketInfoCount - 1];
  lpEntry->wHtoPPacketSize = (WORD)(wHtoP - MLC_HEADER_SIZE);
  lpEntry->wPtoHPacketSize = (WORD)(wPtoH - MLC_HEADER_SIZE);
  lpEntry->bStatusLevel = lpPayload[6];
  UnlockMLCCheck(bPort, lpPPI->hSocketInfoArray);
  MLCLOG(DBG_TRACE, "ProcessMLCPacket: MLC_CONFIG_SOCKET_REPLY:  HtoP=%d, PtoH=%d\n",
         wHtoP - MLC_HEADER_SIZE, wPtoH - MLC_HEADER_SIZE);
  return MLC_PACKET_SUCCESSFUL;
}

}  // namespace

int ProcessMLCReply(BYTE bPort, PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength,
                    BYTE bChannelContext, BYTE bChannelType) {
  BYTE bReply = lpPayload[0];
  if (bReply > MLC_EXIT_REPLY) {
    MLCLOG(DBG_ERROR, "(   ProcessMLCPacket - UNKNOWN_REPLY received ok\n");
    return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  }
  // A grant of the direct reader, sent without waiting for its reply.
  if (bReply == MLC_CREDIT_REPLY && wLength + MLC_HEADER_SIZE == MLC_CREDIT_REPLY_LENGTH &&
      TakeGrantReply(bPort, lpPPI, lpPayload))
    return MLC_PACKET_SUCCESSFUL;
  if (lpPPI->bLastMlcCommand != (BYTE)(bReply - MLC_REPLY)) {
    if (bReply == MLC_OPEN_CHANNEL_REPLY)
      MLCLOG(DBG_ERROR,
             ")   ProcessMLCPacket ERROR: PPIptr->bLastMlcCommand != MLC_OPEN_CHANNEL \n");
    else
      MLCLOG(DBG_ERROR, ")   ProcessMLCPacket - reply 0x%2.2X does not answer command %d\n", bReply,
             lpPPI->bLastMlcCommand);
    return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  }
  lpPPI->bLastMlcCommand = NO_COMMAND;
  const ReplyRule& rule = kReplyRules[bReply - MLC_REPLY];
  WORD wTotal = (WORD)(wLength + MLC_HEADER_SIZE);
  if (rule.wTotal != 0 && wTotal != rule.wTotal) {
    if (bReply == MLC_OPEN_CHANNEL_REPLY)
      MLCLOG(DBG_ERROR,
             ")   ProcessMLCPacket ERROR: wPacketLength != MLC_OPEN_CHANNEL_REPLY_LENGTH \n");
    else
      MLCLOG(DBG_ERROR, ")   ProcessMLCPacket - reply 0x%2.2X length %d\n", bReply, wTotal);
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  }
  if (rule.fNeedsInit && !lpPPI->fMlcInitDone) {
    if (bReply == MLC_OPEN_CHANNEL_REPLY)
      MLCLOG(DBG_ERROR, ")   ProcessMLCPacket ERROR: !PPIptr->fMlcInitDone \n");
    else
      MLCLOG(DBG_ERROR, ")   ProcessMLCPacket - reply 0x%2.2X before MLC_INIT\n", bReply);
    return RefusePacket(bPort, MLC_ERROR_NOT_INITIALISED);
  }
  if (bReply == MLC_EXIT_REPLY) return MLC_PACKET_SUCCESSFUL;
  // The open reply reports its own refusals.
  if (bReply != MLC_OPEN_CHANNEL_REPLY && lpPayload[1] != COMMAND_SUCCESSFUL)
    return MLC_PACKET_REFUSED;

  switch (bReply) {
    case MLC_INIT_REPLY:
      lpPPI->bPeerRevision = lpPayload[2];
      lpPPI->fMlcInitDone = TRUE;
      return MLC_PACKET_SUCCESSFUL;
    case MLC_OPEN_CHANNEL_REPLY:
      return OpenChannelReply(bPort, lpPayload, bChannelContext, bChannelType);
    case MLC_CLOSE_CHANNEL_REPLY:
      return CloseChannelReply(bPort, bChannelContext, bChannelType);
    case MLC_CREDIT_REPLY:
      return MLC_PACKET_SUCCESSFUL;
    case MLC_CREDIT_REQUEST_REPLY:
      return CreditRequestReply(bPort, lpPayload, bChannelContext, bChannelType);
    case MLC_CONFIG_SOCKET_REPLY:
      return ConfigSocketReply(bPort, lpPPI, lpPayload);
    default:  // a debit reply can never be outstanding
      return RefusePacket(bPort, MLC_ERROR_UNEXPECTED_REPLY);
  }
}
