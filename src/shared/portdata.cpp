#include "debug/cm_debug.h"
#include "shared/lifecycle.h"
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
  // The creator counts itself. A process that joined between the creation
  // of the area and this point has counted itself already (the new area
  // reads as zeros), so the count is raised rather than set to 1.
  lpGlobal->dwMlcAttachCount += 1;
  MLCLOG(DBG_EXIT, "InitPortData():Exit\r\n");
}

void MapUsedPortAreas() {
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    if (PortMapMemInfo[iPort]) continue;
    const PerPortInfo* lpPPI = &pPerPortInfo[iPort];
    if (lpPPI->hDeviceID || lpPPI->hChanPtrArray || lpPPI->hSocketInfoArray) {
      MLCLOG(DBG_TRACE, "Used port %d found by DllMain, mapping PortMapMemInfo[%d]\n", iPort,
             iPort);
      CreateMLCMapMemArea((BYTE)iPort);
    }
  }
}
