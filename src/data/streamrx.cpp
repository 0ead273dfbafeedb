// Storing stream data from the peripheral in the channel's ring buffer.
#include "channel/channel.h"
#include "data/dispatch.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/notify.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Reads cb payload bytes into the ring at lOffset; FALSE on a shortfall.
BOOL ReadIntoRing(BYTE bPort, PerPortInfo* lpPPI, const StreamChannel* lpStream, LONG lOffset,
                  DWORD cb) {
  if (cb == 0) return TRUE;
  BYTE* lpRing = (BYTE*)LockMLCCheck(bPort, lpStream->hBuffer);
  if (!lpRing) return FALSE;
  DWORD cbRead = 0;
  MultiVCOMMRead(lpPPI, lpRing + lOffset, cb, &cbRead, (DWORD)gMLC_Inter_Packet_Time_Out);
  UnlockMLCCheck(bPort, lpStream->hBuffer);
  return cbRead == cb;
}

void NotifyArrival(BYTE bPort, StreamChannel* lpStream, BYTE bHsid) {
  if (lpStream->wLength == 0 || !lpStream->fPostReadStream) {
    MLCLOG(DBG_VERBOSE, "     PSD: Don't post MLC_READ_STREAM (%d) - bPort=%d, bHsid = %d\n",
           MLC_READ_STREAM, bPort, bHsid);
    return;
  }
  MLCLOG(DBG_TRACE, "     PSD: Post MLC_READ_STREAM (%d) - bPort=%d, bHsid = %d\n", MLC_READ_STREAM,
         bPort, bHsid);
  lpStream->fPostReadStream = 0;
  NotifyChannel(lpStream, MLC_READ_STREAM, LOWORD(lpStream->wLength));
}

// An empty packet carries nothing but its piggy-backed credit, which is
// always applied. Where a ring exists it spends one of the peripheral's
// credits, and the packet's whole space is free again at once. Without a
// ring, or with the credit used up, the peripheral is not refused for it:
// there is nothing to store, so nothing to overrun. Entered with the port's
// mutex held once more and the socket entry locked; releases both.
int TakeEmptyPacket(BYTE bPort, StreamChannel* lpStream, const SocketInfo* lpSocket, LONG P,
                    BOOL fRing, BYTE bCredit) {
  WORD wSocketIdx = lpStream->wSocketIdx;
  // A credit past 65535 has drawn MLC_ERROR: the link is to be dropped (and
  // a failed error packet has freed the record).
  int iResult = MLC_UNRECOVERABLE_ERROR;
  if (AddStreamCredits(lpStream, bCredit) == 0) {
    iResult = MLC_PACKET_SUCCESSFUL;
    if (fRing && lpSocket && lpStream->wPeriPtoHCredits > 0) {
      lpStream->wPeriPtoHCredits--;
      lpStream->wAvailBytes += P;
    }
  }
  // A reset on the way has freed the socket array with the record.
  if (lpSocket && pPerPortInfo[bPort].hSocketInfoArray) UnlockSocketIdx(bPort, wSocketIdx);
  ReleasePPI(bPort);
  return iResult;
}

}  // namespace

int ProcessStreamData(BYTE bPort, StreamChannel* lpStream, const BYTE* lpHeader) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  WORD wLength;
  CopyMemory(&wLength, lpHeader + 2, sizeof(wLength));
  const LONG L = wLength;
  WORD wSocketIdx = lpStream->wSocketIdx;
  BOOL fSocket = lpPPI->hSocketInfoArray && wSocketIdx < lpPPI->bSocketInfoCount;
  const SocketInfo* lpSocket = fSocket ? (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx) : NULL;
  const LONG P = lpSocket ? lpSocket->wPtoHPacketSize : 0;

  // A ring whose bounds are not sane is no ring: nothing is stored in it.
  BOOL fRing = (lpStream->bFlags & STREAM_HAS_BUFFER) && lpStream->hBuffer &&
               lpStream->lLastPos > 0 && lpStream->lWritePos >= 0 &&
               lpStream->lWritePos < lpStream->lLastPos;
  if (L == 0) return TakeEmptyPacket(bPort, lpStream, lpSocket, P, fRing, lpHeader[4]);
  int iRefusal = -1;  // error code of a refused packet
  if (!lpSocket || P < L) {
    MLCLOG(DBG_ERROR,
           "ProcessStreamData ERROR : ReplyHeader->wLength > SocketInfo->wPtoHPacketSize \n");
    iRefusal = MLC_ERROR_DATA_TOO_LONG;
  } else if (!fRing || lpStream->wPeriPtoHCredits <= 0 || lpStream->wLength < 0 ||
             lpStream->wAllocated - lpStream->wLength < L || L > lpStream->lLastPos) {
    // No ring, or the peripheral has used up its credit (even an empty
    // packet costs one), or the data would not fit: sent without credit.
    MLCLOG(DBG_ERROR, "ProcessStreamData :MLC_ERROR_NO_CREDIT \n");
    iRefusal = MLC_ERROR_NO_CREDIT;
  }
  if (iRefusal >= 0) {
    if (lpSocket) UnlockSocketIdx(bPort, wSocketIdx);
    SendErrorPacket(bPort, (BYTE)iRefusal, TRUE);
    ReleasePPI(bPort);
    return MLC_UNRECOVERABLE_ERROR;
  }

  BYTE bHsid = lpHeader[0];
  // A credit past 65535 has drawn MLC_ERROR: the link is to be dropped, so
  // the packet is not stored (and a failed error packet has freed the record).
  if (AddStreamCredits(lpStream, lpHeader[4]) != 0) {
    if (lpPPI->hSocketInfoArray) UnlockSocketIdx(bPort, wSocketIdx);
    ReleasePPI(bPort);
    return MLC_UNRECOVERABLE_ERROR;
  }
  BOOL fRead;
  if (lpStream->lLastPos - lpStream->lWritePos > L) {
    fRead = ReadIntoRing(bPort, lpPPI, lpStream, lpStream->lWritePos, (DWORD)L);
    if (fRead) lpStream->lWritePos += L;
  } else {
    LONG lFirst = lpStream->lLastPos - lpStream->lWritePos;
    fRead = ReadIntoRing(bPort, lpPPI, lpStream, lpStream->lWritePos, (DWORD)lFirst);
    if (fRead) {
      lpStream->lWritePos = 0;
      fRead = ReadIntoRing(bPort, lpPPI, lpStream, 0, (DWORD)(L - lFirst));
      if (fRead) lpStream->lWritePos = L - lFirst;
    }
  }
  if (!fRead) {
    UnlockSocketIdx(bPort, wSocketIdx);
    SendErrorPacket(bPort, MLC_ERROR_SHORT_PACKET, TRUE);
    ReleasePPI(bPort);
    return MLC_UNRECOVERABLE_ERROR;
  }
  // Every stored packet spends one credit whatever its length; the part of
  // it left empty is free space again at once (the next grant returns it).
  lpStream->wPeriPtoHCredits--;
  lpStream->wAvailBytes += P - L;
  lpStream->wLength += L;
  NotifyArrival(bPort, lpStream, bHsid);
  UnlockSocketIdx(bPort, wSocketIdx);
  ReleasePPI(bPort);
  return MLC_PACKET_SUCCESSFUL;
}
