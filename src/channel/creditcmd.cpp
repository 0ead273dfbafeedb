// The host's own credit commands: granting credit to the peripheral and
// asking it for credit, each with the wait for its reply.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {

// Sends the 11-byte command and waits for its reply: 1 when accepted.
BOOL CreditExchange(BYTE bPort, BYTE bCommand, BYTE bHsid, BYTE bPsid, WORD wCredit,
                    LPCSTR lpszSentLine) {
  BYTE abPacket[MLC_CREDIT_LENGTH];
  BuildChannelCommand(abPacket, bCommand, bHsid, bPsid, wCredit);
  if (!SendPacket(bPort, abPacket, sizeof(abPacket), NULL)) return FALSE;
  MLCLOG(DBG_TRACE, lpszSentLine, wCredit);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  lpPPI->bLastMlcCommand = bCommand;
  ReleasePPI(bPort);
  return ReceivePacket(bPort, 0, bHsid, (BYTE)(bCommand | MLC_REPLY), TRUE,
                       (DWORD)gMLC_Packet_TimeOut_While_Busy) == 0;
}

}  // namespace

void BuildChannelCommand(BYTE* lpPacket, BYTE bCommand, BYTE bHsid, BYTE bPsid, WORD wValue) {
  BuildCommandHeader(lpPacket, MLC_CREDIT_LENGTH);
  lpPacket[6] = bCommand;
  lpPacket[7] = bHsid;
  lpPacket[8] = bPsid;
  PutWireWord(lpPacket + 9, wValue);
}

BOOL MLCIssueCredit(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit) {
  MLCLOG(DBG_ENTRY | DBG_API, " -->MLCIssueCredit entry, wCredit = %d\n", wCredit);
  BOOL fOK = CreditExchange(bPort, MLC_CREDIT, bHsid, bPsid, wCredit,
                            "(   MLCIssueCredit - MLC_CREDIT sent ok = %d\n");
  if (!fOK) MLCLOG(DBG_ERROR, "    MLCIssueCredit failed;  bPort=%d\r\n", bPort);
  MLCLOG(DBG_API | DBG_EXIT, " <--MLCIssueCredit exit\n");
  return fOK;
}

BOOL MLCCreditRequest(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit) {
  MLCLOG(DBG_ENTRY | DBG_API, " -->MLCCreditRequest entry\n");
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE bLast = lpPPI->bLastMlcCommand;
  ReleasePPI(bPort);
  if (bLast != NO_COMMAND) {
    MLCLOG(DBG_ERROR, "!   MLCCreditRequest - bLastMlcCommand != NO_COMMAND(%d)\n", bLast);
    return FALSE;
  }
  BOOL fOK = CreditExchange(bPort, MLC_CREDIT_REQUEST, bHsid, bPsid, wCredit,
                            "(   MLCCreditRequest - MLC_CREDIT_REQUEST sent ok (ask=0x%4.4X)\n");
  if (!fOK) MLCLOG(DBG_ERROR, "    MLCCreditRequest failed;  bPort=%d\r\n", bPort);
  MLCLOG(DBG_API | DBG_EXIT, " <--MLCCreditRequest exit %d\n", fOK);
  return fOK;
}
