// Bringing the MLC link of a port up.
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

static const char lpszTargetKey1[] = "COMMAND SET";
static const char lpszTargetKey2[] = "CMD";
static const char lpszTargetValue[] = "MLC";

// ECP channel addresses.
#define SYNCH_CHANNEL_ADDRESS 0x4E

namespace {

// Reads, checks and stores the device ID; 1 when it announces MLC, else the
// result of the init.
int CheckDeviceId(BYTE bPort, PerPortInfo* lpPPI, DWORD hPort) {
  if (!lpPPI->hDeviceID) {
    lpPPI->hDeviceID = AllocMLCCheck(bPort, MLC_DEVICE_ID_SIZE);
    if (!lpPPI->hDeviceID) return MLC_INIT_FAILED;
  }
  // Room for the terminator after everything the port may deliver.
  BYTE abId[MLC_DEVICE_ID_REQUEST + 1];
  DWORD dwRequestCount = MLC_DEVICE_ID_REQUEST;
  if (!VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &dwRequestCount, abId)) {
    lpPPI->lLastLinkError = (LONG)VCOMM_GetLastError(hPort);
    MLCLOG(DBG_ERROR, "!    MLCInit - Failed to get dev id!\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (dwRequestCount > MLC_DEVICE_ID_REQUEST) dwRequestCount = MLC_DEVICE_ID_REQUEST;
  if (dwRequestCount <= 2) {
    MLCLOG(DBG_ERROR, "MLCInit: Device ID len <= 2\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  WORD wIDLength = WireWord(abId);
  if (wIDLength > dwRequestCount) {
    MLCLOG(DBG_ERROR, "MLCInit: Invalid device id length: wIDLength = %d; dRequestCount = %ld\n",
           wIDLength, (LONG)dwRequestCount);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  // Length bytes counting less than themselves and a character: no ID.
  if (wIDLength < 3) {
    MLCLOG(DBG_ERROR, "MLCInit: Invalid device id length: wIDLength = %d; dRequestCount = %ld\n",
           wIDLength, (LONG)dwRequestCount);
    return MLC_INIT_FAILED;
  }
  abId[wIDLength] = 0;
  // Some devices put a zero byte third; drop it when text follows it.
  if (wIDLength > 5 && abId[4] == 0) {
    MoveMemory(abId + 4, abId + 5, wIDLength - 5);
    abId[wIDLength - 1] = 0;
  }
  LPSTR lpszStored = (LPSTR)LockMLCCheck(bPort, lpPPI->hDeviceID);
  if (lpszStored) {
    CopyMemory(lpszStored, abId + 2, wIDLength - 1);  // text and terminator
    UnlockMLCCheck(bPort, lpPPI->hDeviceID);
  }
  if (!ParseIDString((LPSTR)abId + 2, (WORD)(wIDLength - 2), lpszTargetKey1, lpszTargetKey2,
                     lpszTargetValue)) {
    MLCLOG(DBG_ERROR, "MLCInit: Device ID doesn't show MLC support, in MLCInit\n");
    return MLC_INIT_FAILED;
  }
  return MLC_SUCCESS;
}

// Sets the ECP channel address; FALSE on failure.
BOOL SetChannelAddress(DWORD hPort, BYTE bAddress) {
  return VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL);
}

int BringUp(BYTE bPort, PerPortInfo* lpPPI) {
  int iLaunch = LaunchHiddenExe();
  if (iLaunch < 0) {
    MLCLOG(DBG_ERROR, "MLCInit: LaunchHiddenExe failed\n");
    return iLaunch;
  }
  DWORD hPort = GetPortHandle(bPort);
  if (!hPort) {
    MLCLOG(DBG_ERROR, "MLCInit: Doesn't have handle to the port\n\r");
    lpPPI->lLastLinkError = 0;
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  DWORD dwCaps = 0;
  if (!VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps)) {
    lpPPI->lLastLinkError = (LONG)VCOMM_GetLastError(hPort);
    MLCLOG(DBG_ERROR, "!   MLCInit: port %d GET_DEVICE_CAPABILITIES failed=%d\n", bPort,
           (int)lpPPI->lLastLinkError);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (!(dwCaps & VCOMM_CAP_ECP)) {
    MLCLOG(DBG_ERROR, "!   MLCInit - device on port %d does not support ECP\n", bPort);
    lpPPI->lLastLinkError = -72;
    return MLC_INIT_FAILED;
  }
  lpPPI->dwIdlePolls = 0;
  int iResult = CheckDeviceId(bPort, lpPPI, hPort);
  if (iResult != MLC_SUCCESS) return iResult;

  if (g_bDoMlcSync) {
    static const BYTE bSynchBytes[4] = {0, 0, 0, 0};
    if (!SetChannelAddress(hPort, SYNCH_CHANNEL_ADDRESS)) {
      MLCLOG(DBG_ERROR, "MLCInit: Unable to set chan addr to %d\n", SYNCH_CHANNEL_ADDRESS);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    DWORD cbWritten = 0;
    if (!VCOMM_WriteComm(hPort, bSynchBytes, sizeof(bSynchBytes), &cbWritten)) {
      lpPPI->lLastLinkError = (LONG)VCOMM_GetLastError(hPort);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    if (FlushIncomingData(lpPPI) == MLC_UNRECOVERABLE_ERROR) return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (!SetChannelAddress(hPort, MLC_CHANNEL_ADDRESS)) {
    lpPPI->lLastLinkError = (LONG)VCOMM_GetLastError(hPort);
    MLCLOG(DBG_ERROR, "MLCInit: Unable to set chan addr to %d\n", MLC_CHANNEL_ADDRESS);
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (FlushIncomingData(lpPPI) == MLC_UNRECOVERABLE_ERROR) return MLC_PHYSICAL_LINK_FAILURE;

  BYTE abInit[8];
  BuildCommandHeader(abInit, sizeof(abInit));
  abInit[6] = MLC_INIT;
  abInit[7] = MLC_HOST_REVISION;
  if (!SendPacket(bPort, abInit, sizeof(abInit), NULL)) return MLC_INIT_FAILED;
  MLCLOG(DBG_TRACE, "(   MLCInit - MLC_INIT sent ok\n");
  lpPPI->bLastMlcCommand = MLC_INIT;
  if (ReceivePacket(bPort, 0, 0, MLC_INIT_REPLY, FALSE,
                    (DWORD)gMLC_Packet_TimeOut_While_Not_Busy) != 0)
    return MLC_INIT_FAILED;
  if (!lpPPI->fMlcInitDone) return MLC_INIT_FAILED;

  if (lpPPI->hSocketInfoArray) {
    UnlockAllMLCCheck(bPort, lpPPI->hSocketInfoArray);
    FreeMLCCheck(bPort, lpPPI->hSocketInfoArray);
    lpPPI->hSocketInfoArray = 0;
  }
  lpPPI->bSocketInfoCount = 0;
  return MLC_SUCCESS;
}

}  // namespace

int MLCInit(BYTE bPort) {
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  // Nobody runs an exchange or a close on the port while we hold its mutex
  // and no bring-up runs inside one: a command still outstanding or a busy
  // mark left over belongs to a process that died in the middle. Its link
  // state cannot be trusted; start from a clean one.
  // An MLC_ERROR sent without the reset that follows it is the same. An
  // MLC_EXIT left unanswered after the port's last channel closed is not:
  // the peripheral may fall silent then, and the link is already marked down.
  BOOL fExitDone = lpPPI->bLastMlcCommand == MLC_EXIT && !lpPPI->fMlcInitDone;
  // A reader that died inside a packet left the wire mid-packet.
  if (lpPPI->dwBusyFlags || (lpPPI->bLastMlcCommand != NO_COMMAND && !fExitDone) ||
      ReadLockAbandoned(bPort)) {
    MLCLOG(DBG_ERROR, "!   MLCInit - port %d left in an exchange (cmd %d, busy %lu), reset\n",
           bPort, lpPPI->bLastMlcCommand, lpPPI->dwBusyFlags);
    lpPPI->dwBusyFlags = 0;
    StartAllOverAgain(bPort, FALSE);
  }
  if (lpPPI->fMlcInitDone) {
    ReleasePPI(bPort);
    return MLC_SUCCESS;
  }
  int iResult = BringUp(bPort, lpPPI);
  if (iResult < 1) MLCLOG(DBG_ERROR, "!!! MLCInit - failed : iRetVal %d\n", iResult);
  ReleasePPI(bPort);
  return iResult;
}
