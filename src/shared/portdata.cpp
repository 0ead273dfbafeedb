#include "debug/cm_debug.h"
#include "shared/lifecycle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

void InitPortData(PerPortInfo* lpRecords, MlcGlobalData* lpGlobal) {
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    PortMapMemInfo[iPort] = 0;
    PerPortInfo* lpPPI = &lpRecords[iPort];
    lpPPI->fMlcInitDone = FALSE;
    lpPPI->bHostRevision = 3;
    lpPPI->bPeerRevision = 0;
    lpPPI->bLastMlcCommand = NO_COMMAND;
    lpPPI->bChannelsAllocated = 0;
    lpPPI->bChannelsUsed = 0;
    lpPPI->hChanPtrArray = 0;
    lpPPI->hSocketInfoArray = 0;
    lpPPI->hDeviceID = 0;
    lpPPI->bSocketInfoCount = 0;
    lpPPI->dwBusyFlags = 0;  // stale in an area left behind by ended processes
    lpPPI->dwIdlePolls = 0;
    lpPPI->iRedirectCount = 0;
    lpPPI->lLastLinkError = 0;
    for (int iType = 0; iType < 3; ++iType) {
      lpPPI->PollStats[iType].dwPacketPolls = 0;
      lpPPI->PollStats[iType].dwEmptyPolls = 0;
    }
  }
  lpGlobal->hHiddenWnd = 0;
  lpGlobal->wTotalChannelsOpened = 0;
  lpGlobal->wPollTimerId = 0;
  lpGlobal->bMLCSetupDone = FALSE;  // a helper of ended processes is no longer set up
  lpGlobal->dwMlcAttachCount = 1;
  MLCLOG(DBG_EXIT, "InitPortData():Exit\r\n");
}

void MapUsedPortAreas() {
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (PortMapMemInfo[bPort]) continue;
    const PerPortInfo* lpPPI = &pPerPortInfo[bPort];
    if (lpPPI->hDeviceID || lpPPI->hChanPtrArray || lpPPI->hSocketInfoArray) {
      MLCLOG(DBG_TRACE, "Used port %d found by DllMain, mapping PortMapMemInfo[%d]\n", bPort,
             bPort);
      // Mapped under the port's mutex, which maps a port that is still in
      // use, so that an area found lost is cleared before anyone else uses
      // the port. A port busy elsewhere is mapped there and is mapped here
      // on first use.
      CheckReleasePPI(CheckPPI(bPort), bPort);
    }
  }
}

void ForgetLostPort(BYTE bPort) {
  PerPortInfo* lpPPI = &pPerPortInfo[bPort];
  MLCLOG(DBG_ERROR,
         "!   Port %d: shared area was gone while the port named blocks in it "
         "(%d channels); link and channels cleared\n",
         bPort, lpPPI->bChannelsUsed);
  MlcGlobalData* lpMGD = ObtainMGD();
  lpMGD->wTotalChannelsOpened = lpMGD->wTotalChannelsOpened > lpPPI->bChannelsUsed
                                    ? (WORD)(lpMGD->wTotalChannelsOpened - lpPPI->bChannelsUsed)
                                    : 0;
  ReleaseMGD();
  lpPPI->fMlcInitDone = FALSE;
  lpPPI->bHostRevision = 3;
  lpPPI->bPeerRevision = 0;
  lpPPI->bLastMlcCommand = NO_COMMAND;
  lpPPI->bChannelsAllocated = 0;
  lpPPI->bChannelsUsed = 0;
  lpPPI->hChanPtrArray = 0;
  lpPPI->hSocketInfoArray = 0;
  lpPPI->hDeviceID = 0;  // its block went with the area
  lpPPI->bSocketInfoCount = 0;
  lpPPI->dwBusyFlags = 0;
  lpPPI->dwIdlePolls = 0;
}
