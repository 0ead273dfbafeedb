// Dropping the link of a port, the connection check, and the last error.
#include "channel/channel.h"
#include "channel/closechan.h"
#include "channel/ownopen.h"
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

void StartAllOverAgain(BYTE bPort, BOOL fStopHelper) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  MLCLOG(DBG_ERROR, "!   StartAllOverAgain - bPort=%d\n", bPort);
  if (lpPPI->dwBusyFlags & BUSY_START_ALL_OVER) {
    ReleasePPI(bPort);
    return;
  }
  lpPPI->dwBusyFlags |= BUSY_START_ALL_OVER;

  if (lpPPI->hChanPtrArray) {
    if (GetPortHandle(bPort)) FlushIncomingData(lpPPI);
    for (BYTE bIndex = 0; bIndex < lpPPI->bChannelsAllocated && lpPPI->hChanPtrArray; ++bIndex) {
      UnlockAllLocksChannelIdx(bPort, bIndex);
      CloseChannel(MLC_MAKE_CHANNEL(bPort, MLC_FIRST_HSID + bIndex), FALSE, TRUE);
      // A record the close did not take (a close already running further
      // up, or a half-open channel) must not outlive the table.
      if (lpPPI->hChanPtrArray) DiscardChannelRecord(bPort, bIndex, TRUE);
    }
  }
  lpPPI->fMlcInitDone = FALSE;
  lpPPI->bHostRevision = MLC_HOST_REVISION;
  lpPPI->bPeerRevision = 0;
  lpPPI->bLastMlcCommand = NO_COMMAND;
  lpPPI->bChannelsAllocated = 0;
  lpPPI->bChannelsUsed = 0;
  MLCLOG(DBG_TRACE, "StartAllOverAgain- FreeMLC: PPIptr->hChanPtrArray = 0x%lx\n",
         (LONG)lpPPI->hChanPtrArray);
  if (lpPPI->hChanPtrArray) {
    UnlockAllMLCCheck(bPort, lpPPI->hChanPtrArray);
    FreeMLCCheck(bPort, lpPPI->hChanPtrArray);
    lpPPI->hChanPtrArray = 0;
  }
  MLCLOG(DBG_TRACE, "StartAllOverAgain- FreeMLC: PPIptr->hSocketInfoArray = 0x%lx\n",
         (LONG)lpPPI->hSocketInfoArray);
  if (lpPPI->hSocketInfoArray) {
    UnlockAllMLCCheck(bPort, lpPPI->hSocketInfoArray);
    FreeMLCCheck(bPort, lpPPI->hSocketInfoArray);
    lpPPI->hSocketInfoArray = 0;
  }
  lpPPI->bSocketInfoCount = 0;

  if (fStopHelper && AllChannelsClosed()) {
    KillHiddenExe();
    MLCLOG(DBG_TRACE, "StartAllOverAgain- Kill(ed)HiddenExe \n");
  }
  lpPPI->dwBusyFlags &= ~(DWORD)BUSY_START_ALL_OVER;
  MLCLOG(DBG_ERROR, "!   StartAllOverAgain exit - bPort=%d\n", bPort);
  ReleasePPI(bPort);
}

BOOL PingVcomm(BYTE bPort) {
  if (bPort >= MLC_PORT_COUNT) return FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fOK = FALSE;
  DWORD hPort = GetPortHandle(bPort);
  if (hPort) {
    if (!VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL)) {
      lpPPI->lLastLinkError = (LONG)VCOMM_GetLastError(hPort);
      MLCLOG(DBG_ERROR, "!   Ping - MLC connection failure %d\n", (int)lpPPI->lLastLinkError);
      StartAllOverAgain(bPort, TRUE);
    }
    lpPPI->dwIdlePolls = 0;
    fOK = TRUE;
  }
  MLCLOG(DBG_TRACE, "Ping return, bPort = %d, bOK = %d\n", bPort, fOK);
  ReleasePPI(bPort);
  return fOK;
}

int WINAPI MLCPingVcomm(DWORD hChannel) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  if (!CheckPortAndHsid(bPort, MLC_CHANNEL_HSID(hChannel))) return MLC_INVALID_HANDLE;
  PingVcomm(bPort);
  return MLC_SUCCESS;
}

LONG WINAPI MLCGetLastLinkError(DWORD dwPort, DWORD hChannel) {
  if ((hChannel & 0xFFFF) != 0) {
    BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
    dwPort = MLC_CHANNEL_PORT(hChannel);
    if (!CheckPortAndHsid((BYTE)dwPort, bHsid)) {
      MLCLOG(DBG_ERROR, "MLCGetLastLinkError: CheckPortAndHsid failed  bPort : %u, for bHsid  %u\n",
             (UINT)dwPort, (UINT)bHsid);
      return MLC_INVALID_HANDLE;
    }
  }
  if (dwPort >= MLC_PORT_COUNT) {
    MLCLOG(DBG_ERROR, "MLCGetLastLinkError: Invalid Port: %u, \n", (UINT)dwPort);
    return 0;
  }
  PerPortInfo* lpPPI = ObtainPPI((BYTE)dwPort);
  LONG lError = lpPPI->lLastLinkError;
  ReleasePPI((BYTE)dwPort);
  return lError;
}

int WINAPI MLCPingMlc(DWORD hChannel) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (bPort >= MLC_PORT_COUNT) {
    MLCLOG(DBG_ERROR, "<---MLCPingMLC: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  if (!CanSendOnPort(bPort)) return MLC_PHYSICAL_LINK_FAILURE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  int iResult = 1;
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, "<---MLCPingMLC: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort, bHsid);
    iResult = MLC_INVALID_HANDLE;
  } else if (OwnHandleStale(hChannel)) {
    iResult = MLC_PHYSICAL_LINK_FAILURE;
  } else if (lpPPI->bLastMlcCommand != NO_COMMAND) {
    MLCLOG(DBG_ERROR, "!   MLCPingMlc - bLastMlcCommand != NO_COMMAND(%d)\n",
           lpPPI->bLastMlcCommand);
    iResult = 0;
  } else {
    BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    const StreamChannel* lpRecord = (const StreamChannel*)LockChannelIdx(bPort, bIndex);
    BYTE bPsid = lpRecord ? lpRecord->bPsid : 0;
    if (lpRecord) UnlockChannelIdx(bPort, bIndex);
    if (!lpRecord || (bType != MLC_STREAM_CHANNEL && bType != MLC_PACKET_CHANNEL)) {
      MLCLOG(DBG_ERROR, "!   MLCPingMlc - channel type invalid (%d)\n", bType);
      iResult = 0;
    } else {
      // A grant of no credit: the reply proves the peripheral still
      // answers; its wait drops the link when it does not.
      MLCIssueCredit(bPort, bHsid, bPsid, 0);
    }
  }
  ReleasePPI(bPort);
  return iResult;
}
