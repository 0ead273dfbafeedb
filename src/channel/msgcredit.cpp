// Credit on a message channel, counted in messages: what the peripheral
// grants the host, and what the host grants the peripheral, which never
// exceeds the receive slots it has room in.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "shared/locks.h"

int AddMessageCredits(MessageChannel* lpMsgChan, WORD wCredit) {
  if ((DWORD)lpMsgChan->wHostHtoPCredits + wCredit > 0xFFFF) {
    // Nothing of the record is touched after this: a failed send resets
    // the link, which frees it.
    MLCLOG(DBG_ERROR, "!   message credit %d past 65535 (holding %d)\n", wCredit,
           lpMsgChan->wHostHtoPCredits);
    SendErrorPacket(lpMsgChan->bPort, MLC_ERROR_CREDIT_OVERFLOW, FALSE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  lpMsgChan->wHostHtoPCredits = (WORD)(lpMsgChan->wHostHtoPCredits + wCredit);
  return 0;
}

WORD MessageRoom(const MessageChannel* lpMsgChan) {
  WORD wFree = 0;
  for (int iSlot = 0; iSlot < lpMsgChan->bSlotCount && iSlot < 2; ++iSlot)
    if (lpMsgChan->hSlot[iSlot] && lpMsgChan->wSlotLength[iSlot] == 0) ++wFree;
  return wFree > lpMsgChan->wPeriPtoHCredits ? (WORD)(wFree - lpMsgChan->wPeriPtoHCredits) : 0;
}

BYTE TakeMessageCreditByte(MessageChannel* lpMsgChan) {
  if (MessageRoom(lpMsgChan) > 0) {
    lpMsgChan->wPeriPtoHCredits++;
    return 1;
  }
  if (lpMsgChan->wOwedCredits < 0xFFFF) lpMsgChan->wOwedCredits++;
  return 0;
}

WORD TakeOwedMessageCredit(MessageChannel* lpMsgChan, WORD wWanted) {
  WORD wRoom = MessageRoom(lpMsgChan);
  WORD wGrant = lpMsgChan->wOwedCredits < wRoom ? lpMsgChan->wOwedCredits : wRoom;
  if (wGrant > wWanted) wGrant = wWanted;
  lpMsgChan->wOwedCredits = (WORD)(lpMsgChan->wOwedCredits - wGrant);
  lpMsgChan->wPeriPtoHCredits = (WORD)(lpMsgChan->wPeriPtoHCredits + wGrant);
  return wGrant;
}

BOOL GrantOwedMessageCredit(MessageChannel* lpMsgChan) {
  if (!lpMsgChan->wOwedCredits || !MessageRoom(lpMsgChan) || lpMsgChan->fChannelOpen != 1)
    return TRUE;
  BYTE bPort = lpMsgChan->bPort;
  // Another command of this thread awaits its reply further up: the grant
  // waits for the next read or the peripheral's request.
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fBusy = lpPPI->bLastMlcCommand != NO_COMMAND;
  ReleasePPI(bPort);
  if (fBusy) return TRUE;
  BYTE bHsid = lpMsgChan->bHsid;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  // Booked before the exchange: the reply wait may store the message the
  // grant makes room for.
  WORD wGrant = TakeOwedMessageCredit(lpMsgChan, 0xFFFF);
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  BOOL fIssued = MLCIssueCredit(bPort, bHsid, lpMsgChan->bPsid, wGrant);
  if (!LinkStampValid(bPort, bIndex, stamp)) return FALSE;
  if (!fIssued) {
    // Refused: the peripheral did not take it; it stays owed.
    lpMsgChan->wOwedCredits = (WORD)(lpMsgChan->wOwedCredits + wGrant);
    lpMsgChan->wPeriPtoHCredits =
        lpMsgChan->wPeriPtoHCredits > wGrant ? (WORD)(lpMsgChan->wPeriPtoHCredits - wGrant) : 0;
  }
  return TRUE;
}
