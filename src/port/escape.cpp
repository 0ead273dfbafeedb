// Escape functions of the port I/O library, passed through for clients.
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "port/porthandle.h"
#include "shared/locks.h"

// The port is bits 8-15 of the channel handle. The two sizes and the last
// argument are not used. A port number out of range fails (0) instead of
// reaching past the three port records.
WORD WINAPI MLCEscapeCommFunction(DWORD hChannel, DWORD dwFunction, LPVOID lpIn, DWORD cbIn,
                                  LPVOID lpOut, DWORD cbOut, DWORD dwReserved) {
  (void)cbIn;
  (void)cbOut;
  (void)dwReserved;
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  if (bPort >= MLC_PORT_COUNT) return 0;
  ObtainPPI(bPort);
  DWORD hPort = GetPortHandle(bPort);
  MLCLOG(DBG_TRACE, "MLC_ECF: Function = 0x%lX hport %d,\n", dwFunction, hPort);
  LONG lResult = VCOMM_EscapeCommFunction(hPort, dwFunction, lpIn, lpOut);
  MLCLOG(DBG_TRACE, "MLC_ECF: VCOMM_EscapeCommFunction returned %ld \n", lResult);
  ReleasePPI(bPort);
  return (WORD)lResult;
}
