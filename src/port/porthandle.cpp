// Each process opens its own handles of the ports through the port I/O
// library and counts how often it acquired each; the last release closes.
#include "port/porthandle.h"

#include "debug/cm_debug.h"
#include "krzcom15.h"

MLCPortInfo MLCPortInfoStr[MLC_PORT_COUNT] = {
    {"LPT1", 0, 0},
    {"LPT2", 0, 0},
    {"LPT3", 0, 0},
};

DWORD GetPortHandle(BYTE bPort) { return MLCPortInfoStr[bPort].hPort; }

BOOL CanSendOnPort(BYTE bPort) {
  if (bPort < MLC_PORT_COUNT && MLCPortInfoStr[bPort].hPort) return TRUE;
  MLCLOG(DBG_ERROR, "!   No port handle in this process: bPort=%d\n", bPort);
  return FALSE;
}

int SetPortHandle(BYTE bPort, DWORD hPort) {
  MLCPortInfoStr[bPort].hPort = hPort;
  MLCPortInfoStr[bPort].dwRefCount++;
  return 1;
}

void ReleasePortHandle(BYTE bPort, BOOL fUnused) {
  (void)fUnused;
  MLCPortInfo* pInfo = &MLCPortInfoStr[bPort];
  if (pInfo->dwRefCount > 0) pInfo->dwRefCount--;
  if (pInfo->dwRefCount != 0 || pInfo->hPort == 0) return;
  MLCRedirect(bPort, 1);
  MLCLOG(DBG_TRACE, "MLCReleasePortHandle - Closing the port handle for winnt!\n");
  if (!VCOMM_CloseComm(pInfo->hPort))
    MLCLOG(DBG_ERROR, "!!!MLCReleasePortHandle()  - VCOMM_CloseComm failed on port %s\n",
           pInfo->szName);
  pInfo->hPort = 0;
}

// Exported. A port number out of range names no port: 0, as for a port
// that is not open (the table has three entries only).
DWORD WINAPI GetHportVal(DWORD dwPort) {
  if (dwPort >= MLC_PORT_COUNT) return 0;
  return GetPortHandle((BYTE)dwPort);
}

DWORD WINAPI MLCGetPortHandle(DWORD dwPort) {
  if (dwPort >= MLC_PORT_COUNT) return 0;
  BYTE bPort = (BYTE)dwPort;
  DWORD hPort = GetPortHandle(bPort);
  if (hPort) {
    MLCPortInfoStr[bPort].dwRefCount++;
    return hPort;
  }
  hPort = VCOMM_OpenCommA(MLCPortInfoStr[bPort].szName, 1);
  if (!hPort) {
    MLCLOG(DBG_ERROR, "MLCGetPortHandle: After VCOMM_OpenComm failed  bPort : %u\n", (UINT)bPort);
    return 0;
  }
  MLCPortInfoStr[bPort].dwRefCount = 0;
  SetPortHandle(bPort, hPort);
  return hPort;
}

int WINAPI MLCReleasePortHandle(DWORD hPort) {
  if (hPort == 0) return 0;
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (MLCPortInfoStr[bPort].hPort == hPort) {
      ReleasePortHandle(bPort, FALSE);
      return 1;
    }
  }
  return 0;
}

void lstrncpy(LPSTR lpszDest, LPCSTR lpszSrc, DWORD dwCount) {
  for (DWORD i = 0; i < dwCount; ++i) lpszDest[i] = lpszSrc[i];
}
