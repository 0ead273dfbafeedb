// Tearing down ports when a process detaches.
#include "channel/closechan.h"
#include "debug/cm_debug.h"
#include "port/porthandle.h"
#include "shared/lifecycle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// The lines of one teardown flavour: the last process's or another's.
struct TeardownText {
  LPCSTR lpszClosing;
  LPCSTR lpszDeviceId;
  LPCSTR lpszSocketInfo;  // takes the block handle
  LPCSTR lpszRedirect;    // takes the port and the count
  LPCSTR lpszChanPtr;     // takes the block handle
};

const TeardownText kLastProcess = {"FAP: Closing all channels\n", "FAP: Free device id space\n",
                                   "FAP: Free PPIptr->hSocketInfoArray = 0x%lx \n",
                                   "!   WEP - port %d, iRedirectCount =%d\n",
                                   "FAP: Free PPIptr->hChanPtrArray = 0x%lx \n"};

const TeardownText kOtherProcess = {
    "FUUP: Closing all channels\n", "FUUP: Free device id space\n", "FUUP: Free socket info\n",
    "!   FUUP - port %d, iRedirectCount =%d\n", "FUUP: Free channel ptr\n"};

// Closes every channel of the port and frees its blocks. fResetCounts also
// clears the counts that describe the freed blocks, for the processes that
// stay.
void TeardownPort(BYTE bPort, PerPortInfo* lpPPI, const TeardownText& text, BOOL fResetCounts) {
  if (lpPPI->hChanPtrArray) {
    MLCLOG(DBG_TRACE, text.lpszClosing);
    for (BYTE bIndex = 0; bIndex < lpPPI->bChannelsAllocated; ++bIndex) {
      UnlockAllLocksChannelIdx(bPort, bIndex);
      CloseChannel(MLC_MAKE_CHANNEL(bPort, MLC_FIRST_HSID + bIndex), TRUE, FALSE);
    }
  }
  if (GetPortHandle(bPort)) ReleasePortHandle(bPort, FALSE);
  if (lpPPI->hDeviceID) {
    MLCLOG(DBG_TRACE, text.lpszDeviceId);
    FreeMLCCheck(bPort, lpPPI->hDeviceID);
    lpPPI->hDeviceID = 0;
  }
  if (lpPPI->hSocketInfoArray) {
    UnlockAllMLCCheck(bPort, lpPPI->hSocketInfoArray);
    MLCLOG(DBG_TRACE, text.lpszSocketInfo, lpPPI->hSocketInfoArray);
    FreeMLCCheck(bPort, lpPPI->hSocketInfoArray);
    lpPPI->hSocketInfoArray = 0;
    if (fResetCounts) lpPPI->bSocketInfoCount = 0;
  }
  if (lpPPI->iRedirectCount) {
    MLCLOG(DBG_ERROR, text.lpszRedirect, bPort, lpPPI->iRedirectCount);
    MLCRedirect(bPort, 2);
    if (fResetCounts) lpPPI->iRedirectCount = 0;
  }
  if (lpPPI->hChanPtrArray) {
    MLCLOG(DBG_TRACE, text.lpszChanPtr, lpPPI->hChanPtrArray);
    FreeMLCCheck(bPort, lpPPI->hChanPtrArray);
    lpPPI->hChanPtrArray = 0;
    if (fResetCounts) {
      lpPPI->bChannelsUsed = 0;
      lpPPI->bChannelsAllocated = 0;
    }
  }
}

}  // namespace

void FreeAllPorts() {
  // No other process is attached. The port's mutex is still taken, for a
  // time-limited wait only: a thread of this process that is still running
  // at exit may hold it, and the teardown must not wait for it for ever.
  MLCLOG(DBG_ENTRY, "FreeAllPorts: Entering FreeAllPorts()\n");
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (!PortMapMemInfo[bPort]) continue;
    PerPortInfo* lpLocked = CheckPPI(bPort);
    TeardownPort(bPort, lpLocked ? lpLocked : ObtainPPINoWait(bPort), kLastProcess, FALSE);
    CheckReleasePPI(lpLocked, bPort);
  }
  MLCCleanup();
  MLCLOG(DBG_EXIT, "Leaving FreeAllPorts()\n");
}

void FreeUnusedUnmappedPorts() {
  MLCLOG(DBG_ENTRY, "Entering FreeUnusedUnmappedPorts()\n");
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (!PortMapMemInfo[bPort]) continue;
    PerPortInfo* lpPPI = CheckPPI(bPort);
    if (!lpPPI) continue;  // busy in another process: leave it to them
    if (lpPPI->bChannelsUsed == 0) {
      TeardownPort(bPort, lpPPI, kOtherProcess, TRUE);
      lpPPI->bLastMlcCommand = NO_COMMAND;
    }
    ReleasePPI(bPort);
  }
  MLCLOG(DBG_EXIT, "Leaving FreeUnusedUnmappedPorts()\n");
}
