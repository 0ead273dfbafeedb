// Commands from the peripheral on the command channel: credit, credit
// request, debit and MLC_ERROR; anything else is answered as unsupported.
#include "channel/channel.h"
#include "data/dispatch.h"
#include "data/message.h"
#include "debug/cm_debug.h"
#include "link/cmdproc.h"
#include "link/link.h"
#include "shared/locks.h"

namespace {

// A command naming a socket pair with a 16-bit value (MLC_CREDIT,
// MLC_CREDIT_REQUEST, MLC_DEBIT).
struct ChannelCommand {
  BYTE bHsid;
  BYTE bPsid;
  WORD wValue;
};

// Checks the command's total length (11) and that the link is up, and reads
// its fields: 0, or the result of the refusal sent.
int ReadChannelCommand(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength,
                       ChannelCommand* lpCommand) {
  if (wLength + MLC_HEADER_SIZE != MLC_CREDIT_LENGTH)
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  if (!lpPPI->fMlcInitDone) return RefusePacket(bPort, MLC_ERROR_NOT_INITIALISED);
  lpCommand->bHsid = lpPayload[1];
  lpCommand->bPsid = lpPayload[2];
  lpCommand->wValue = WireWord(lpPayload + 3);
  return 0;
}

// Whether a channel record takes the peripheral's credit or debit for this
// peripheral socket id. Only once its open is confirmed: the peripheral
// answers the open before it sends anything for the channel, so a command
// that arrives while the open is unanswered was sent before the peripheral
// saw the open, for a socket pair that was not open then (a message
// channel being closed is not open either).
BOOL IsOpenFor(LPCVOID lpRecord, BYTE bPsid) {
  const StreamChannel* lpHead = (const StreamChannel*)lpRecord;  // same offsets in both
  return lpHead && lpHead->bPsid == bPsid && lpHead->fChannelOpen == 1;
}

int SendReply(BYTE bPort, BYTE* lpPacket, WORD wTotal, LPCSTR lpszSentLine) {
  if (!SendPacket(bPort, lpPacket, wTotal, NULL)) return MLC_UNRECOVERABLE_ERROR;
  MLCLOG(DBG_TRACE, lpszSentLine);
  return MLC_PACKET_SUCCESSFUL;
}

// Credit for a message channel: applied in full, then queued messages go
// out with it, oldest first. 0, or MLC_UNRECOVERABLE_ERROR when the credit
// overflowed or a send failed (the record is then not to be touched).
int CreditMessageChannel(BYTE bPort, MessageChannel* lpMsgChan, WORD wCredit) {
  if (AddMessageCredits(lpMsgChan, wCredit) != 0) return MLC_UNRECOVERABLE_ERROR;
  if (DrainMessageQueue(bPort, lpMsgChan) != MLC_SUCCESS) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - SendNextMessage failed %d\n", MLC_WRITE_FAILURE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  return 0;
}

int PeerCredit(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength) {
  ChannelCommand cmd = {};
  int iCheck = ReadChannelCommand(bPort, lpPPI, lpPayload, wLength, &cmd);
  if (iCheck) return iCheck;
  MLCLOG(DBG_TRACE, "ProcessMLCPacket case MLC_CREDIT (credits=%d)\n", cmd.wValue);
  BYTE abReply[MLC_CREDIT_REPLY_LENGTH];
  BuildCommandHeader(abReply, sizeof(abReply));
  abReply[6] = MLC_CREDIT_REPLY;
  abReply[7] = 3;
  if (!CheckPortAndHsid(bPort, cmd.bHsid)) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - invalid bReceivedHsid %d\n", cmd.bHsid);
    return RefusePacket(bPort, MLC_ERROR_BAD_SOCKET);
  }
  BYTE bIndex = (BYTE)(cmd.bHsid - MLC_FIRST_HSID);
  BYTE bType = GetTypeIdx(bPort, bIndex);
  LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
  if (IsOpenFor(lpRecord, cmd.bPsid)) {
    abReply[7] = 0;
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    int iCredit = bType == MLC_STREAM_CHANNEL
                      ? AddStreamCredits((StreamChannel*)lpRecord, cmd.wValue)
                      : CreditMessageChannel(bPort, (MessageChannel*)lpRecord, cmd.wValue);
    if (iCredit != 0) {
      if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
      return MLC_UNRECOVERABLE_ERROR;
    }
  }
  if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  return SendReply(bPort, abReply, sizeof(abReply),
                   ")   ProcessMLCPacket - MLC_CREDIT_REPLY sent ok\n");
}

// The peripheral asks for credit: a message channel gets the grants its
// messages could not carry, as far as its slots have room; a stream
// channel's credit goes back with MLC_CREDIT as its ring empties.
int PeerCreditRequest(BYTE bPort, const BYTE* lpPayload, WORD wLength) {
  WORD wGrant = 0;
  if (wLength + MLC_HEADER_SIZE == MLC_CREDIT_LENGTH && lpPayload[1] >= MLC_FIRST_HSID &&
      CheckPortAndHsid(bPort, lpPayload[1])) {
    BYTE bIndex = (BYTE)(lpPayload[1] - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    MessageChannel* lpMsgChan = (MessageChannel*)LockChannelIdx(bPort, bIndex);
    if (lpMsgChan && bType == MLC_PACKET_CHANNEL && lpMsgChan->bPsid == lpPayload[2])
      wGrant = TakeOwedMessageCredit(lpMsgChan, WireWord(lpPayload + 3));
    if (lpMsgChan) UnlockChannelIdx(bPort, bIndex);
  }
  BYTE abReply[MLC_CREDIT_REQUEST_REPLY_LENGTH];
  BuildCommandHeader(abReply, sizeof(abReply));
  abReply[6] = MLC_CREDIT_REQUEST_REPLY;
  abReply[7] = COMMAND_SUCCESSFUL;
  PutWireWord(abReply + 8, wGrant);
  MLCLOG(DBG_TRACE, ")   ProcessMLCPacket - MLC_CREDIT_REQUEST_REPLY (credit=%d)\n", wGrant);
  return SendReply(bPort, abReply, sizeof(abReply),
                   ")   ProcessMLCPacket - MLC_CREDIT_REQUEST_REPLY sent ok\n");
}

int PeerDebit(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength) {
  ChannelCommand cmd = {};
  int iCheck = ReadChannelCommand(bPort, lpPPI, lpPayload, wLength, &cmd);
  if (iCheck) return iCheck;
  WORD wDebit = cmd.wValue;
  MLCLOG(DBG_TRACE, "(debits=%d)\n", wDebit);
  // The reply to a debit carries 0x86 on the wire: peers expect it so.
  BYTE abReply[10];
  BuildCommandHeader(abReply, sizeof(abReply));
  abReply[6] = MLC_DEBIT_REQUEST_REPLY;
  abReply[7] = 1;
  if (CheckPortAndHsid(bPort, cmd.bHsid)) {
    BYTE bIndex = (BYTE)(cmd.bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (!lpRecord || ((const StreamChannel*)lpRecord)->fChannelOpen != 1) {
      abReply[7] = 3;
    } else if (IsOpenFor(lpRecord, cmd.bPsid)) {
      abReply[7] = 0;
      // What is given up is exactly what the reply reports.
      if (bType == MLC_STREAM_CHANNEL) {
        StreamChannel* lpStream = (StreamChannel*)lpRecord;
        if (wDebit > lpStream->wHostHtoPCredits) wDebit = (WORD)lpStream->wHostHtoPCredits;
        lpStream->wHostHtoPCredits -= wDebit;
      } else {
        MessageChannel* lpMsgChan = (MessageChannel*)lpRecord;
        if (wDebit > lpMsgChan->wHostHtoPCredits) wDebit = lpMsgChan->wHostHtoPCredits;
        lpMsgChan->wHostHtoPCredits = (WORD)(lpMsgChan->wHostHtoPCredits - wDebit);
      }
    }
    if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  }
  PutWireWord(abReply + 8, abReply[7] == 0 ? wDebit : 0);
  return SendReply(bPort, abReply, sizeof(abReply),
                   ")   ProcessMLCPacket - MLC_DEBIT_REQUEST_REPLY sent ok\n");
}

}  // namespace

int ProcessPeerCommand(BYTE bPort, PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength) {
  BYTE bCommand = lpPayload[0];
  switch (bCommand) {
    case MLC_CREDIT:
      return PeerCredit(bPort, lpPPI, lpPayload, wLength);
    case MLC_CREDIT_REQUEST:
      return PeerCreditRequest(bPort, lpPayload, wLength);
    case MLC_DEBIT:
      return PeerDebit(bPort, lpPPI, lpPayload, wLength);
    case MLC_ERROR:
      MLCLOG(DBG_ERROR, "ProcessMLCPacket - MLC_ERROR received ok (ErrorCode=0x%2.2X)\n",
             wLength > 1 ? lpPayload[1] : 0);
      lpPPI->bLastMlcCommand = MLC_ERROR;
      return MLC_UNRECOVERABLE_ERROR;
    default: {
      MLCLOG(DBG_TRACE, "(   ProcessMLCPacket - UNKNOWN_REQUEST received ok\n");
      BYTE abReply[8];
      BuildCommandHeader(abReply, sizeof(abReply));
      abReply[6] = (BYTE)(bCommand | MLC_REPLY);
      abReply[7] = UNSUPPORTED_COMMAND_RESULT;
      if (!SendPacket(bPort, abReply, sizeof(abReply), NULL)) return MLC_UNRECOVERABLE_ERROR;
      MLCLOG(DBG_TRACE, ")   ProcessMLCPacket - UNSUPPORTED_COMMAND_RESULT sent ok\n");
      return MLC_PACKET_REFUSED;
    }
  }
}
