// Reading one packet and handing it on, and the wait for a command's reply.
#include "data/dispatch.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/poll.h"
#include "notify/retrieve.h"
#include "shared/config.h"
#include "shared/locks.h"

// Set while PollForData runs in this process; only makes overlaps visible.
static volatile BOOL bFunctionCalled = FALSE;

int PollForData(BYTE bPort, BYTE* lpbHsid, BYTE* lpbPsid, BYTE* lpbCommand, WORD* lpwLength,
                BYTE bChannelContext) {
  if (bFunctionCalled)
    MLCLOG(DBG_TRACE, "PollForData - reentrant call\n");
  else
    bFunctionCalled = TRUE;

  PerPortInfo* lpPPI = ObtainPPI(bPort);
  DWORD dwWait = WaitForSingleObject(Read_Mutex[bPort], INFINITE);
  if (dwWait == WAIT_FAILED)
    MLCLOG(DBG_ERROR, "PollForData: Failed on wait err =%lx\n", GetLastError());
  if (dwWait == WAIT_ABANDONED) {
    // The last reader died inside a packet: where the next one starts is
    // unknown. Drop the link (its reset discards what is waiting).
    MLCLOG(DBG_ERROR, "!   PollForData - read lock abandoned, reset the link\n");
    StartAllOverAgain(bPort, TRUE);
    ReleasePPI(bPort);
    ReleaseMutex(Read_Mutex[bPort]);
    bFunctionCalled = FALSE;
    return MLC_UNRECOVERABLE_ERROR;
  }

  BYTE abHeader[MLC_HEADER_SIZE];
  DWORD cbHeader = 0;
  // The wire is inside a packet of the direct reader's: nothing to read
  // until the reader has taken it.
  if (PollLeavesPortToReader(bPort, POLL_TYPE_LIBRARY)) {
    ReleasePPI(bPort);
    ReleaseMutex(Read_Mutex[bPort]);
    bFunctionCalled = FALSE;
    return MLC_NO_DATA;
  }
  int iResult = SingleVCOMMRead(lpPPI, abHeader, MLC_HEADER_SIZE, &cbHeader);
  if (iResult == MLC_UNRECOVERABLE_ERROR) {
    MLCLOG(DBG_ERROR, "!   PollForData - SingleVCOMMRead failed\n");
  } else if (cbHeader == 0) {
    lpPPI->dwIdlePolls++;
    ReleasePPI(bPort);
    ReleaseMutex(Read_Mutex[bPort]);
    bFunctionCalled = FALSE;
    return MLC_NO_DATA;
  } else {
    if (cbHeader < MLC_HEADER_SIZE) {
      DWORD cbRest = 0;
      iResult = MultiVCOMMRead(lpPPI, abHeader + cbHeader, MLC_HEADER_SIZE - cbHeader, &cbRest,
                               (DWORD)gMLC_Inter_Packet_Time_Out);
      cbHeader += cbRest;
    }
    if (iResult != MLC_UNRECOVERABLE_ERROR && cbHeader != MLC_HEADER_SIZE) {
      MLCLOG(DBG_ERROR, "!   PollForData - header bytes read %d != header size %d\n", (int)cbHeader,
             MLC_HEADER_SIZE);
      SendErrorPacket(bPort, MLC_ERROR_SHORT_PACKET, TRUE);
      iResult = MLC_UNRECOVERABLE_ERROR;
    } else if (iResult != MLC_UNRECOVERABLE_ERROR) {
      WORD wTotal = WireWord(abHeader + 2);
      *lpbHsid = abHeader[0];
      *lpbPsid = abHeader[1];
      *lpwLength = wTotal;
      WORD wPayload = (WORD)(wTotal - MLC_HEADER_SIZE);
      CopyMemory(abHeader + 2, &wPayload, sizeof(wPayload));
      if (abHeader[0] == 0) {
        iResult = ProcessMLCPacket(bPort, wPayload, lpbCommand, bChannelContext);
      } else {
        *lpbCommand = 0xFF;
        // An empty packet goes on too: it spent one of the peripheral's
        // credits and may carry credit for the host. A packet of the
        // direct reader's waits for it.
        iResult = ParkReaderHeader(bPort, abHeader) ? MLC_PACKET_SUCCESSFUL
                                                    : ProcessDataPacket(bPort, abHeader);
      }
    } else {
      MLCLOG(DBG_ERROR, "!   PollForData - iRetVal != MLC_UNRECOVERABLE_ERROR\n");
    }
  }

  if (iResult == MLC_UNRECOVERABLE_ERROR) {
    if (lpPPI->bLastMlcCommand != MLC_EXIT) {
      MLCLOG(DBG_ERROR, "PollForData - StartAllOverAgain called to reset link\n");
      StartAllOverAgain(bPort, TRUE);
    }
  } else {
    lpPPI->dwIdlePolls = 0;
  }
  ReleasePPI(bPort);
  ReleaseMutex(Read_Mutex[bPort]);
  bFunctionCalled = FALSE;
  return iResult;
}

int ReceivePacket(BYTE bPort, BYTE bZero, BYTE bChannelContext, BYTE bAwaitedReply, BOOL fSendError,
                  DWORD dwTimeout) {
  DWORD dwStart = GetTickCount();
  BOOL fGrace = TRUE;
  for (;;) {
    BYTE bHsid = 0xFF, bPsid = 0xFF, bCommand = 0xFF;
    WORD wLength = 0;
    int iPoll = PollForData(bPort, &bHsid, &bPsid, &bCommand, &wLength, bChannelContext);
    BOOL fAwaited = bHsid == 0 && bPsid == 0 && bZero == 0 && bCommand == bAwaitedReply;
    if (iPoll == MLC_PACKET_SUCCESSFUL) {
      if (fAwaited) return 0;
    } else if (iPoll == MLC_PACKET_REFUSED) {
      if (fAwaited) return 1;
    } else if (iPoll != MLC_NO_DATA) {
      return -1;  // the link has been reset
    }
    // Packets still coming may hold the reply behind them: the wait goes on
    // while they do, by its own time again (at least the gap allowed inside
    // a packet), and no longer. A printer that never pauses must not keep
    // the port's mutex (and every client) for ever.
    DWORD dwElapsed = GetTickCount() - dwStart;
    DWORD dwMore = dwTimeout > (DWORD)gMLC_Inter_Packet_Time_Out
                       ? dwTimeout
                       : (DWORD)gMLC_Inter_Packet_Time_Out;
    DWORD dwTrafficLimit = dwTimeout > 0x7FFFFFFF ? 0xFFFFFFFF : dwTimeout + dwMore;
    // A wait of 0 takes only what is there already.
    BOOL fNoWait = dwTimeout == 0 && iPoll == MLC_NO_DATA;
    if (!fNoWait && (dwElapsed <= dwTimeout ||
                     (iPoll == MLC_PACKET_SUCCESSFUL && dwElapsed <= dwTrafficLimit))) {
      // Nothing came: give the processor up until input arrives or a slice
      // passes, never past the end of the wait.
      if (iPoll == MLC_NO_DATA) WaitPortInput(bPort, dwTimeout - dwElapsed + 1);
      continue;
    }
    if (fGrace) {
      fGrace = FALSE;
      continue;
    }
    break;
  }

  MLCLOG(DBG_ERROR, "!   ReceivePacket - timeout (%ums) waiting for CMD=%d\n", (UINT)dwTimeout,
         bAwaitedReply);
  if (fSendError) SendErrorPacket(bPort, MLC_ERROR_SHORT_PACKET, TRUE);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (lpPPI->bLastMlcCommand != MLC_EXIT) {
    MLCLOG(DBG_ERROR, "ReceivePacket Exit finish StartAllOverAgain after timeout\n");
    StartAllOverAgain(bPort, TRUE);
  }
  ReleasePPI(bPort);
  return -1;
}

BOOL ReadLockAbandoned(BYTE bPort) {
  DWORD dwWait = WaitForSingleObject(Read_Mutex[bPort], 0);
  if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(Read_Mutex[bPort]);
  return dwWait == WAIT_ABANDONED;
}
