// Giving freed receive-buffer space back to the peripheral as credit.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "shared/locks.h"

// Set while a grant runs in this process: the wait for MLC_CREDIT_REPLY
// processes packets, which can lead back here; such a nested grant returns
// at once and leaves its space to the next call.
static BOOL fAlreadyGranting = FALSE;

int GrantAnyCredits(PerPortInfo* lpPPI, StreamChannel* lpStream) {
  (void)lpPPI;
  if (fAlreadyGranting) return 0;
  if (lpStream->fChannelOpen != 1) return 0;
  fAlreadyGranting = TRUE;
  BYTE bPort = lpStream->bPort;
  WORD wSocketIdx = lpStream->wSocketIdx;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  if (!lpSocket) {
    fAlreadyGranting = FALSE;
    return 0;
  }
  MLCLOG(DBG_TRACE, "    GrantAnyCredits  : pStreamCH = 0x%lx,  SocketInfo = 0x%lx\n",
         (ULONG)(ULONG_PTR)lpStream, (ULONG)(ULONG_PTR)lpSocket);
  const LONG P = lpSocket->wPtoHPacketSize;
  int iResult = 0;
  if (P > 0 && P <= lpStream->wAvailBytes) {
    LONG lCredits = lpStream->wAvailBytes / P;
    // One grant carries at most what the command's field holds; the rest
    // goes with the next one.
    if (lCredits > 0xFFFF) lCredits = 0xFFFF;
    WORD wCreditsToIssue = (WORD)lCredits;
    MLCLOG(DBG_TRACE,
           "    GrantAnyCredits: wCreditsToIssue = %d, pS_CH->wAvailBytes %d , SI->wPtoHPackSz %d "
           "pS_CH->wPtoHMark %d\n",
           wCreditsToIssue, (int)lpStream->wAvailBytes, (int)P, (int)lpStream->wPtoHMark);
    if (lpStream->wPtoHMark <= (LONG)wCreditsToIssue) {
      BYTE bHsid = lpStream->bHsid;
      BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      BOOL fIssued = MLCIssueCredit(bPort, bHsid, lpStream->bPsid, wCreditsToIssue);
      if (!LinkStampValid(bPort, bIndex, stamp)) {
        // The failure reset the link: the record and the socket entry are
        // gone, nothing is booked or unlocked.
        iResult = MLC_UNRECOVERABLE_ERROR;
        lpSocket = NULL;
      } else if (!fIssued) {
        iResult = MLC_UNRECOVERABLE_ERROR;  // the space stays for a later grant
      } else {
        lpStream->wAvailBytes -= (LONG)wCreditsToIssue * P;
        lpStream->wPeriPtoHCredits += wCreditsToIssue;
        MLCLOG(DBG_TRACE,
               "    GrantAnyCredits: wCreditsToIssue = %d,> pS_CH->wPtoHMark %d "
               ",pS_CH->wAvailBytes %d\n",
               wCreditsToIssue, (int)lpStream->wPtoHMark, (int)lpStream->wAvailBytes);
        iResult = lpStream->wAvailBytes >= P ? 1 : 0;
      }
    }
  }
  fAlreadyGranting = FALSE;
  if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
  return iResult;
}
