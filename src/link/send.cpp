// Writing packets to the port: the header of data packets, whole packets
// with the send time-out rules, and MLC_ERROR.
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"

// A packet, however short, gets this long before a stalled port counts.
#define MLC_MIN_SEND_DEADLINE 50

// Packets up to this size (header included) are put together on the stack.
constexpr DWORD kPacketOnStack = 8192;

void BuildCommandHeader(BYTE* lpPacket, WORD wTotal) {
  lpPacket[0] = 0;
  lpPacket[1] = 0;
  PutWireWord(lpPacket + 2, wTotal);
  lpPacket[4] = 0;
  lpPacket[5] = 0;
}

PacketHeader SendHeaderPacket(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wLength, BYTE bCredit,
                              BYTE bStatus) {
  (void)bPort;
  PacketHeader header;
  header.bHsid = bHsid;
  header.bPsid = bPsid;
  header.bLengthHi = HIBYTE(wLength);
  header.bLengthLo = LOBYTE(wLength);
  header.bCredit = bCredit;
  header.bStatus = bStatus;
  return header;
}

BOOL SendPacket(BYTE bPort, LPCVOID lpData, WORD wLength, const PacketHeader* lpHeader) {
  return SendStreamPacket(bPort, lpData, wLength, lpHeader, NULL);
}

BOOL SendStreamPacket(BYTE bPort, LPCVOID lpData, WORD wLength, const PacketHeader* lpHeader,
                      DWORD* lpcbOnWire) {
  DWORD dwStart = GetTickCount();
  DWORD dwDeadline = wLength < MLC_MIN_SEND_DEADLINE ? MLC_MIN_SEND_DEADLINE : wLength;
  BOOL fFirstOverrun = TRUE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fResult = TRUE;

  const BYTE* lpSend = (const BYTE*)lpData;
  DWORD cbRemaining = wLength;
  HGLOBAL hBuffer = NULL;
  BYTE* lpBuffer = NULL;
  // Header and payload go to the port in one write: packets of the usual
  // sizes are put together here, larger ones in a block of their own.
  BYTE abPacket[kPacketOnStack];
  if (lpHeader && (DWORD)wLength + MLC_HEADER_SIZE <= sizeof(abPacket)) {
    lpBuffer = abPacket;
  } else if (lpHeader) {
    hBuffer = GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)wLength + MLC_HEADER_SIZE);
    lpBuffer = hBuffer ? (BYTE*)GlobalLock(hBuffer) : NULL;
  }
  if (lpHeader) {
    if (!lpBuffer) {
      if (hBuffer) GlobalFree(hBuffer);
      hBuffer = NULL;
      MLCLOG(DBG_ERROR, "!   SendPacket - no memory for %u bytes\n", (UINT)wLength + 6);
      lpPPI->lLastLinkError = MLC_NO_MEMORY;
      StartAllOverAgain(bPort, TRUE);
      lpPPI->dwIdlePolls = 0;
      ReleasePPI(bPort);
      return FALSE;
    }
    CopyMemory(lpBuffer, lpHeader, MLC_HEADER_SIZE);
    if (wLength) CopyMemory(lpBuffer + MLC_HEADER_SIZE, lpData, wLength);
    lpSend = lpBuffer;
    cbRemaining = (DWORD)wLength + MLC_HEADER_SIZE;
  }
  // Only stream data may be left half sent for its writer to finish, and
  // that writer names what is on the wire already, which is never repeated:
  // commands, replies and messages always go out whole.
  BOOL fMayStopEarly = lpcbOnWire != NULL && gRetry_Resent_Stream_Packet != 0;
  if (lpcbOnWire) {
    DWORD cbSkip = *lpcbOnWire < cbRemaining ? *lpcbOnWire : cbRemaining;
    lpSend += cbSkip;
    cbRemaining -= cbSkip;
  }

  while (cbRemaining > 0 && fResult) {
    DWORD cbWritten = 0;
    if (!VCOMM_WriteComm(GetPortHandle(bPort), lpSend, cbRemaining, &cbWritten)) {
      DWORD dwError = VCOMM_GetLastError(GetPortHandle(bPort));
      if (dwError != CE_PTO) {
        MLCLOG(DBG_ERROR, "!   SendPacket - VCOMM_WriteComm failed, error %lu\n", dwError);
        lpPPI->lLastLinkError = (LONG)dwError;
        StartAllOverAgain(bPort, TRUE);
        fResult = FALSE;
        break;
      }
      if (GetTickCount() - dwStart > dwDeadline) {
        if (fFirstOverrun) {
          fFirstOverrun = FALSE;
        } else {
          MLCLOG(DBG_ERROR, "!   SendPacket - write timed out after %lu ms\n",
                 GetTickCount() - dwStart);
          lpPPI->lLastLinkError = CE_PTO;
          StartAllOverAgain(bPort, TRUE);
          fResult = FALSE;
          break;
        }
      }
    }
    if (cbWritten > cbRemaining) cbWritten = cbRemaining;
    lpSend += cbWritten;
    cbRemaining -= cbWritten;
    if (lpcbOnWire) *lpcbOnWire += cbWritten;
    if (cbRemaining > 0 && fMayStopEarly) {
      lpPPI->lLastLinkError = CE_PTO;
      break;
    }
  }

  if (hBuffer) {
    GlobalUnlock(hBuffer);
    GlobalFree(hBuffer);
  }
  lpPPI->dwIdlePolls = 0;
  ReleasePPI(bPort);
  return fResult;
}

BOOL SendErrorPacket(BYTE bPort, BYTE bErrorCode, BOOL fFlush) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (fFlush && GetPortHandle(bPort)) FlushIncomingData(lpPPI);
  if (lpPPI->bLastMlcCommand == MLC_ERROR) {
    ReleasePPI(bPort);
    return TRUE;
  }
  BYTE abPacket[8];
  BuildCommandHeader(abPacket, sizeof(abPacket));
  abPacket[6] = MLC_ERROR;
  abPacket[7] = bErrorCode;
  MLCLOG(DBG_ERROR, "(   SendErrorPacket - MLC_ERROR (ErrorCode=%d)\n", bErrorCode);
  BOOL fSent = SendPacket(bPort, abPacket, sizeof(abPacket), NULL);
  if (fSent) lpPPI->bLastMlcCommand = MLC_ERROR;
  ReleasePPI(bPort);
  return fSent;
}
