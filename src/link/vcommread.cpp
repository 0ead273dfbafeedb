// Reading the port: one read, a read that waits for a byte count while the
// line keeps delivering, discarding what is waiting, and waiting for input
// without burning the processor.
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"

// Longest single wait for input between two empty reads: short enough that a
// reader whose port cannot signal input still looks again soon.
#define MLC_INPUT_WAIT_SLICE 20

BYTE PortOfRecord(const PerPortInfo* lpPPI) {
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (lpPPI == &pPerPortInfo[bPort]) return bPort;
  }
  return MLC_PORT_COUNT;
}

DWORD GetPortHandlePPI(PerPortInfo* lpPPI) {
  BYTE bPort = PortOfRecord(lpPPI);
  if (bPort >= MLC_PORT_COUNT) {
    MLCLOG(DBG_ERROR, "Wow, PPIptr is invalid.\n");
    return 0;
  }
  DWORD hPort = GetPortHandle(bPort);
  if (!hPort) {
    // Let a waiting thread of another process have the port for a moment.
    ReleasePPI(bPort);
    ObtainPPI(bPort);
  }
  return hPort;
}

void WaitPortInput(BYTE bPort, DWORD dwMaxMs) {
  if (dwMaxMs == 0) return;
  if (dwMaxMs > MLC_INPUT_WAIT_SLICE) dwMaxMs = MLC_INPUT_WAIT_SLICE;
  DWORD hPort = bPort < MLC_PORT_COUNT ? GetPortHandle(bPort) : 0;
  if (hPort && VCOMM_WaitInput(hPort, dwMaxMs)) return;
  // A port that cannot wait (or has no handle): at least yield a tick.
  if (!hPort || GetLastError() != ERROR_TIMEOUT) Sleep(1);
}

int SingleVCOMMRead(PerPortInfo* lpPPI, LPVOID lpBuf, DWORD cbToRead, DWORD* lpcbRead) {
  DWORD hPort = GetPortHandlePPI(lpPPI);
  DWORD cbRead = 0;
  int iResult = MLC_PACKET_SUCCESSFUL;
  if (!VCOMM_ReadComm(hPort, lpBuf, cbToRead, &cbRead)) {
    MLCLOG(DBG_ERROR, "SingleVCOMMRead: Read failed\n");
    DWORD dwError = VCOMM_GetLastError(hPort);
    if (dwError != CE_PTO) {
      lpPPI->lLastLinkError = (LONG)dwError;
      MLCLOG(DBG_ERROR, "SingleVCOMMRead: VCOMM_ReadComm: vcommError != CE_PTO\n");
      iResult = MLC_UNRECOVERABLE_ERROR;
    }
  }
  *lpcbRead = cbRead > cbToRead ? cbToRead : cbRead;
  return iResult;
}

int MultiVCOMMRead(PerPortInfo* lpPPI, LPVOID lpBuf, DWORD cbToRead, DWORD* lpcbRead,
                   DWORD dwIdleTimeout) {
  enum { DATA_SEEN, IDLE, STOPPED } state = DATA_SEEN;
  BYTE bPort = PortOfRecord(lpPPI);
  BYTE* lpDest = (BYTE*)lpBuf;
  DWORD cbTotal = 0;
  DWORD dwIdleSince = 0;
  int iResult = MLC_PACKET_SUCCESSFUL;
  while (cbTotal < cbToRead && iResult == MLC_PACKET_SUCCESSFUL && state != STOPPED) {
    DWORD hPort = GetPortHandlePPI(lpPPI);
    DWORD cbRead = 0;
    if (!VCOMM_ReadComm(hPort, lpDest, cbToRead - cbTotal, &cbRead)) {
      DWORD dwError = VCOMM_GetLastError(hPort);
      if (dwError != CE_PTO) {
        iResult = MLC_UNRECOVERABLE_ERROR;
        lpPPI->lLastLinkError = (LONG)dwError;
        MLCLOG(DBG_ERROR, "!!!!MultiVCOMMRead - VCOMM_ReadComm read FAILED\n");
        break;
      }
    }
    if (cbRead > cbToRead - cbTotal) cbRead = cbToRead - cbTotal;
    if (cbRead) {
      cbTotal += cbRead;
      lpDest += cbRead;
      state = DATA_SEEN;
    } else if (dwIdleTimeout == 0) {
      state = STOPPED;  // no time-out: only the bytes already there
    } else if (state == DATA_SEEN) {
      dwIdleSince = GetTickCount();
      state = IDLE;
    } else {
      DWORD dwIdle = GetTickCount() - dwIdleSince;
      if (dwIdle > dwIdleTimeout) {
        MLCLOG(DBG_TRACE, "MultiVCOMMRead - timeout after %ld ms (%ld)\n", (LONG)dwIdle,
               (LONG)dwIdleTimeout);
        state = STOPPED;
      } else {
        WaitPortInput(bPort, dwIdleTimeout - dwIdle + 1);
      }
    }
  }
  *lpcbRead = cbTotal;
  return iResult;
}

int FlushIncomingData(PerPortInfo* lpPPI) {
  BYTE abDiscard[16];
  DWORD cbRead = 0;
  int iResult = SingleVCOMMRead(lpPPI, abDiscard, sizeof(abDiscard), &cbRead);
  DWORD cbTotal = cbRead;
  // A printer that streams without pause would keep the flush (and the
  // port's mutex, which every client waits for) for ever: it ends after the
  // reply time-out; what comes later is read as packets and refused.
  DWORD dwStart = GetTickCount();
  BOOL fCut = FALSE;
  while (iResult != MLC_UNRECOVERABLE_ERROR && cbRead >= sizeof(abDiscard)) {
    if (GetTickCount() - dwStart > (DWORD)gMLC_Packet_TimeOut_While_Not_Busy) {
      fCut = TRUE;
      break;
    }
    iResult = MultiVCOMMRead(lpPPI, abDiscard, sizeof(abDiscard), &cbRead,
                             (DWORD)gMLC_Inter_Packet_Time_Out);
    cbTotal += cbRead;
  }
  if (fCut)
    MLCLOG(DBG_ERROR, "!   FlushIncomingData - the port still delivers after %d bytes\n",
           (int)cbTotal);
  else if (iResult == MLC_UNRECOVERABLE_ERROR)
    MLCLOG(DBG_ERROR, "!   FlushIncomingData - failed after %d bytes\n", (int)cbTotal);
  else
    MLCLOG(DBG_TRACE, "FlushIncomingData - flushed %d bytes\n", (int)cbTotal);
  return iResult;
}
