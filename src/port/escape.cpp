// Escape functions of the port I/O library, passed through for clients.
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "port/porthandle.h"
#include "shared/locks.h"

// The port is bits 8-15 of the channel handle. The two sizes and the last
// argument are not used. A port number out of range fails (0) instead of
// reaching past the three port records. While the link is up every client's
// packets travel on the MLC channel address: moving the wire to another
// address would lose them all while their writes report success, so that
// escape fails (0) then; with the link down it passes through.
WORD WINAPI MLCEscapeCommFunction(DWORD hChannel, DWORD dwFunction, LPVOID lpIn, DWORD cbIn,
                                  LPVOID lpOut, DWORD cbOut, DWORD dwReserved) {
  (void)cbIn;
  (void)cbOut;
  (void)dwReserved;
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  if (bPort >= MLC_PORT_COUNT) return 0;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (lpPPI->fMlcInitDone && dwFunction == VCOMM_ESC_SET_ECP_CHANNEL &&
      (!lpIn || *(const BYTE*)lpIn != MLC_CHANNEL_ADDRESS)) {
    MLCLOG(DBG_ERROR, "!   MLC_ECF: the link is up, its channel address stays\n");
    ReleasePPI(bPort);
    return 0;
  }
  DWORD hPort = GetPortHandle(bPort);
  MLCLOG(DBG_TRACE, "MLC_ECF: Function = 0x%lX hport %d,\n", dwFunction, hPort);
  LONG lResult = VCOMM_EscapeCommFunction(hPort, dwFunction, lpIn, lpOut);
  MLCLOG(DBG_TRACE, "MLC_ECF: VCOMM_EscapeCommFunction returned %ld \n", lResult);
  ReleasePPI(bPort);
  return (WORD)lResult;
}
