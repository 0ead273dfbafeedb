// Commands from the peripheral on the command channel: credit, credit
// request, debit and MLC_ERROR; anything else is answered as unsupported.
#include "channel/channel.h"
#include "data/dispatch.h"
#include "debug/cm_debug.h"
#include "link/cmdproc.h"
#include "link/link.h"
#include "shared/locks.h"

namespace {

// Checks shared by MLC_CREDIT and MLC_DEBIT: total length 11, link up.
int CheckChannelCommand(BYTE bPort, const PerPortInfo* lpPPI, WORD wLength) {
  if (wLength + MLC_HEADER_SIZE != MLC_CREDIT_LENGTH)
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  if (!lpPPI->fMlcInitDone) return RefusePacket(bPort, MLC_ERROR_NOT_INITIALISED);
  return 0;
}

int SendReply(BYTE bPort, BYTE* lpPacket, WORD wTotal, LPCSTR lpszSentLine) {
  if (!SendPacket(bPort, lpPacket, wTotal, NULL)) return MLC_UNRECOVERABLE_ERROR;
  MLCLOG(DBG_TRACE, lpszSentLine);
  return MLC_PACKET_SUCCESSFUL;
}

int PeerCredit(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength) {
  int iCheck = CheckChannelCommand(bPort, lpPPI, wLength);
  if (iCheck) return iCheck;
  BYTE bHsid = lpPayload[1];
  BYTE bPsid = lpPayload[2];
  WORD wCredit = WireWord(lpPayload + 3);
  MLCLOG(DBG_TRACE, "ProcessMLCPacket case MLC_CREDIT (credits=%d)\n", wCredit);
  BYTE abReply[MLC_CREDIT_REPLY_LENGTH];
  BuildCommandHeader(abReply, sizeof(abReply));
  abReply[6] = MLC_CREDIT_REPLY;
  abReply[7] = 3;
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - invalid bReceivedHsid %d\n", bHsid);
    return RefusePacket(bPort, MLC_ERROR_BAD_SOCKET);
  }
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  BYTE bType = GetTypeIdx(bPort, bIndex);
  LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
  if (lpRecord && bType == MLC_STREAM_CHANNEL && ((StreamChannel*)lpRecord)->bPsid == bPsid) {
    abReply[7] = 0;
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    if (AddStreamCredits((StreamChannel*)lpRecord, wCredit) != 0) {
      if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
      return MLC_UNRECOVERABLE_ERROR;
    }
  } else if (lpRecord && bType != MLC_STREAM_CHANNEL &&
             ((MessageChannel*)lpRecord)->bPsid == bPsid) {
    abReply[7] = 0;
    MessageChannel* lpMsgChan = (MessageChannel*)lpRecord;
    // A message count past 65535 would wrap to a small one: refused as for
    // a stream channel.
    if ((DWORD)lpMsgChan->wHostHtoPCredits + LOBYTE(wCredit) > 0xFFFF) {
      UnlockChannelIdx(bPort, bIndex);
      SendErrorPacket(bPort, MLC_ERROR_CREDIT_OVERFLOW, FALSE);
      return MLC_UNRECOVERABLE_ERROR;
    }
    lpMsgChan->wHostHtoPCredits = (WORD)(lpMsgChan->wHostHtoPCredits + LOBYTE(wCredit));
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    int iSent = SendNextMessage(bPort, lpMsgChan);
    if (iSent == MLC_WRITE_FAILURE)
      MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - SendNextMessage failed %d\n", iSent);
    // Sending may have reset the link and freed the record.
    if (!LinkStampValid(bPort, bIndex, stamp)) return MLC_UNRECOVERABLE_ERROR;
  }
  if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  return SendReply(bPort, abReply, sizeof(abReply),
                   ")   ProcessMLCPacket - MLC_CREDIT_REPLY sent ok\n");
}

int PeerDebit(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength) {
  int iCheck = CheckChannelCommand(bPort, lpPPI, wLength);
  if (iCheck) return iCheck;
  BYTE bHsid = lpPayload[1];
  BYTE bPsid = lpPayload[2];
  WORD wDebit = WireWord(lpPayload + 3);
  MLCLOG(DBG_TRACE, "(debits=%d)\n", wDebit);
  // The reply to a debit carries 0x86 on the wire: peers expect it so.
  BYTE abReply[10];
  BuildCommandHeader(abReply, sizeof(abReply));
  abReply[6] = MLC_DEBIT_REQUEST_REPLY;
  abReply[7] = 1;
  if (CheckPortAndHsid(bPort, bHsid)) {
    BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (!lpRecord) {
      abReply[7] = 3;
    } else if (bType == MLC_STREAM_CHANNEL) {
      StreamChannel* lpStream = (StreamChannel*)lpRecord;
      if (lpStream->bPsid == bPsid) {
        abReply[7] = 0;
        if (wDebit > lpStream->wHostHtoPCredits) wDebit = (WORD)lpStream->wHostHtoPCredits;
        lpStream->wHostHtoPCredits -= wDebit;
      }
    } else {
      MessageChannel* lpMsgChan = (MessageChannel*)lpRecord;
      if (lpMsgChan->bPsid == bPsid) {
        abReply[7] = 0;
        if (wDebit > lpMsgChan->wHostHtoPCredits) wDebit = lpMsgChan->wHostHtoPCredits;
        lpMsgChan->wHostHtoPCredits = (WORD)(lpMsgChan->wHostHtoPCredits - LOBYTE(wDebit));
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
    case MLC_CREDIT_REQUEST: {
      BYTE abReply[MLC_CREDIT_REQUEST_REPLY_LENGTH];
      BuildCommandHeader(abReply, sizeof(abReply));
      abReply[6] = MLC_CREDIT_REQUEST_REPLY;
      abReply[7] = COMMAND_SUCCESSFUL;
      abReply[8] = 0;
      abReply[9] = 0;
      return SendReply(bPort, abReply, sizeof(abReply),
                       ")   ProcessMLCPacket - MLC_CREDIT_REQUEST_REPLY sent ok (credit=0)\n");
    }
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
