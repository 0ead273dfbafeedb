// Credit between the stream writer or reader and the peripheral: freed ring
// space returned as MLC_CREDIT, and credit asked for when the writer has none.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/poll.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {
// Set while this process grants: a grant reached again through the reply
// wait returns at once instead of nesting.
BOOL fAlreadyGranting = FALSE;
}  // namespace

int GrantAnyCredits(PerPortInfo* /*lpPPI*/, StreamChannel* lpStream) {
  if (fAlreadyGranting) return 0;
  if (lpStream->fChannelOpen != 1) return 0;
  fAlreadyGranting = TRUE;
  BYTE bPort = lpStream->bPort;
  WORD wSocketIdx = lpStream->wSocketIdx;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  MLCLOG(DBG_TRACE, "    GrantAnyCredits  : pStreamCH = 0x%lx,  SocketInfo = 0x%lx\n",
         (ULONG)(ULONG_PTR)lpStream, (ULONG)(ULONG_PTR)lpSocket);
  int iResult = 0;
  LONG P = lpSocket ? lpSocket->wPtoHPacketSize : 0;
  if (lpSocket && P > 0 && P <= lpStream->wAvailBytes) {
    WORD wCreditsToIssue = (WORD)(lpStream->wAvailBytes / P);
    MLCLOG(DBG_TRACE,
           "    GrantAnyCredits: wCreditsToIssue = %d, pS_CH->wAvailBytes %d , SI->wPtoHPackSz %d "
           "pS_CH->wPtoHMark %d\n",
           wCreditsToIssue, lpStream->wAvailBytes, P, lpStream->wPtoHMark);
    if (lpStream->wPtoHMark <= wCreditsToIssue) {
      BYTE bHsid = lpStream->bHsid;
      BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
      // Booked before the command goes out: the credit counts from the
      // moment the peripheral has it, and it may send on it before its
      // reply, while this thread still waits for that reply.
      LONG lGranted = (LONG)wCreditsToIssue * P;
      lpStream->wAvailBytes -= lGranted;
      lpStream->wPeriPtoHCredits += wCreditsToIssue;
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      BOOL fIssued = MLCIssueCredit(bPort, bHsid, lpStream->bPsid, wCreditsToIssue);
      if (!LinkStampValid(bPort, bIndex, stamp)) {
        // The exchange reset the link: the record and the socket array are
        // gone, nothing is undone or unlocked.
        iResult = MLC_UNRECOVERABLE_ERROR;
        lpSocket = NULL;
      } else if (!fIssued) {
        // Refused: the peripheral did not take it; the space stays for a
        // later grant.
        lpStream->wAvailBytes += lGranted;
        lpStream->wPeriPtoHCredits -= wCreditsToIssue;
        iResult = MLC_UNRECOVERABLE_ERROR;
      } else {
        MLCLOG(
            DBG_TRACE,
            "    GrantAnyCredits: wCreditsToIssue = %d,> pS_CH->wPtoHMark %d ,pS_CH->wAvailBytes "
            "%d\n",
            wCreditsToIssue, lpStream->wPtoHMark, lpStream->wAvailBytes);
        iResult = lpStream->wAvailBytes >= P ? 1 : 0;
      }
    }
  }
  fAlreadyGranting = FALSE;
  if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
  return iResult;
}

int RequestStreamCredits(StreamChannel* lpStream) {
  MLCLOG(DBG_TRACE, "    RequestStreamCredits entry: bPsid: %d bHsid %d. bType %d\n",
         lpStream->bPsid, lpStream->bHsid, lpStream->bType);
  BYTE bPort = lpStream->bPort;
  BYTE bHsid = lpStream->bHsid;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  int iResult = 0;
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, "!   RequestStreamCredits - MLC_PHYSICAL_LINK_FAILURE\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  if (lpStream->fRequestedCredits) {
    BOOL fIdle = FALSE, fPolled = FALSE;
    PollOnePort(bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled);
    if (!LinkStampValid(bPort, bIndex, stamp)) {
      MLCLOG(DBG_ERROR, "!   RequestStreamCredits - Channel went down\n");
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    if (lpStream->wHostHtoPCredits == 0 &&
        GetTickCount() - lpStream->dwCreditRequestTime > (DWORD)gCreditTimeout) {
      MLCLOG(DBG_ERROR,
             "!   RequestStreamCredits - timeout (%ums) waiting for MLC_CREDIT from printer, do "
             "MLCPing\n",
             (UINT)gCreditTimeout);
      MLCPingMlc(MLC_MAKE_CHANNEL(bPort, bHsid));
      if (!LinkStampValid(bPort, bIndex, stamp)) return MLC_PHYSICAL_LINK_FAILURE;
      lpStream->dwCreditRequestTime = GetTickCount();
    }
  } else if (!MLCCreditRequest(bPort, bHsid, lpStream->bPsid, 0xFFFF)) {
    MLCLOG(DBG_ERROR, "!   RequestStreamCredits - MLCCreditRequest failed\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  } else if (lpStream->wHostHtoPCredits == 0) {
    lpStream->fRequestedCredits = 1;
    MLCLOG(DBG_TRACE, "    RequestStreamCredits - start wait for MLC_CREDIT from printer\n");
    lpStream->dwCreditRequestTime = GetTickCount();
  }
  MLCLOG(DBG_TRACE, "    RequestStreamCredits exit: iReturn: %d pStreamCH->wHostHtoPCredits %d\n",
         iResult, lpStream->wHostHtoPCredits);
  return iResult;
}
