// The direct reader: RetrieveData hands the next packet of a port to the
// client of the stream channel in slot 0, straight from the port into the
// client's buffer, and MultiReadCreditGrant reads the payload, granting the
// printer a credit when it stalls.
#include "notify/retrieve.h"

#include "channel/channel.h"
#include "data/dispatch.h"
#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "notify/poll.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {

// The slot-0 stream channel of the port, locked, or NULL. With the port's
// mutex held.
StreamChannel* LockReaderChannel(BYTE bPort, const PerPortInfo* lpPPI) {
  if (!lpPPI->hChanPtrArray || lpPPI->bChannelsAllocated == 0 ||
      GetTypeIdx(bPort, 0) != MLC_STREAM_CHANNEL)
    return NULL;
  return (StreamChannel*)LockChannelIdx(bPort, 0);
}

// Sends MLC_CREDIT without waiting for its reply: the reply is a packet like
// any other, taken by the next reader or poll once the packet being read
// has ended, and matched with the grant noted in the reader's record (not in
// bLastMlcCommand, which belongs to the exchanges that wait for their
// reply). Nothing is sent while another command awaits its reply, or while
// three grants do. FALSE when the send failed (the link has then been reset).
BOOL GrantWithoutWait(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit, BOOL* lpfSent) {
  *lpfSent = FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  StreamChannel* lpReader = LockReaderChannel(bPort, lpPPI);
  BOOL fRoom = lpReader && lpReader->bHsid == bHsid &&
               (lpReader->bFlags & STREAM_GRANTS_IN_FLIGHT) != STREAM_GRANTS_IN_FLIGHT;
  if (lpReader) UnlockChannelIdx(bPort, 0);
  if (lpPPI->bLastMlcCommand != NO_COMMAND || !fRoom) {
    MLCLOG(DBG_TRACE,
           "    RetrieveData - command %d or grants await their reply: no credit granted\n",
           lpPPI->bLastMlcCommand);
    ReleasePPI(bPort);
    return TRUE;
  }
  BYTE abPacket[MLC_CREDIT_LENGTH];
  BuildCommandHeader(abPacket, sizeof(abPacket));
  abPacket[6] = MLC_CREDIT;
  abPacket[7] = bHsid;
  abPacket[8] = bPsid;
  PutWireWord(abPacket + 9, wCredit);
  LinkStamp stamp = TakeLinkStamp(bPort, 0);
  BOOL fOK = SendPacket(bPort, abPacket, sizeof(abPacket), NULL);
  if (fOK && LinkStampValid(bPort, 0, stamp)) {
    MLCLOG(DBG_TRACE, "(   MLCIssueCredit - MLC_CREDIT sent ok = %d\n", wCredit);
    lpReader = LockReaderChannel(bPort, lpPPI);
    if (lpReader) {
      lpReader->bFlags = (BYTE)(lpReader->bFlags + STREAM_GRANT_IN_FLIGHT);
      UnlockChannelIdx(bPort, 0);
    }
    *lpfSent = TRUE;
  }
  ReleasePPI(bPort);
  return fOK;
}

// The packet after its header, for the slot-0 channel lpStream: the result.
int ReadPacket(BYTE bPort, StreamChannel* lpStream, BYTE* lpHeader, LPVOID lpBuffer, DWORD cbBuffer,
               LPDWORD lpdwLength, WORD wMaxPayload) {
  WORD wTotal = WireWord(lpHeader + 2);
  if (wTotal < MLC_HEADER_SIZE) {
    MLCLOG(DBG_ERROR, "!   RetrieveData - packet length %d below the header\n", wTotal);
    SendErrorPacket(bPort, MLC_ERROR_BAD_LENGTH, TRUE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  WORD wPayload = (WORD)(wTotal - MLC_HEADER_SIZE);
  CopyMemory(lpHeader + 2, &wPayload, sizeof(wPayload));
  if (lpHeader[0] == 0) {
    BYTE bCommand = 0xFF;
    return ProcessMLCPacket(bPort, wPayload, &bCommand, 0);
  }
  if (lpHeader[0] != lpStream->bHsid) {
    // Another channel's packet, an empty one too (its credit counts):
    // stored for it as a poll would store it.
    return ProcessDataPacket(bPort, lpHeader);
  }
  if (lpHeader[1] != lpStream->bPsid || wPayload > wMaxPayload) {
    MLCLOG(DBG_ERROR, "!   RetrieveData - packet of %d bytes from socket %d refused\n", wPayload,
           lpHeader[1]);
    SendErrorPacket(bPort,
                    lpHeader[1] != lpStream->bPsid ? MLC_ERROR_BAD_SOCKET : MLC_ERROR_DATA_TOO_LONG,
                    TRUE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  // Credit piggy-backed for the host's own writes counts as an MLC_CREDIT.
  if (AddStreamCredits(lpStream, lpHeader[4]) != 0) return MLC_UNRECOVERABLE_ERROR;
  if (lpStream->wPeriPtoHCredits > 0) lpStream->wPeriPtoHCredits -= 1;
  if (wPayload == 0) return MLC_PACKET_SUCCESSFUL;
  DWORD cbWanted = wPayload < cbBuffer ? wPayload : cbBuffer;
  DWORD cbRead = 0;
  LONG lPeriCredits = lpStream->wPeriPtoHCredits;
  LinkStamp stamp = TakeLinkStamp(bPort, 0);
  int iResult =
      MultiReadCreditGrant(GetPortHandle(bPort), bPort, lpStream->bHsid, lpStream->bPsid, lpBuffer,
                           cbWanted, &cbRead, (DWORD)gMLC_Inter_Packet_Time_Out, &lPeriCredits);
  *lpdwLength = cbRead;
  if (iResult != MLC_PACKET_SUCCESSFUL && !LinkStampValid(bPort, 0, stamp)) return iResult;
  lpStream->wPeriPtoHCredits = lPeriCredits;
  if (iResult == MLC_PACKET_SUCCESSFUL && cbRead < cbWanted) {
    // The rest of the packet may still come: read as a header it would be
    // taken for a packet. Where the next one starts is unknown: the link
    // is dropped, as for any short packet.
    MLCLOG(DBG_ERROR, "!   RetrieveData - packet cut short at %lu of %lu bytes\n", cbRead,
           cbWanted);
    SendErrorPacket(bPort, MLC_ERROR_SHORT_PACKET, TRUE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  return iResult;
}

}  // namespace

BOOL TakeGrantReply(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload) {
  StreamChannel* lpReader = LockReaderChannel(bPort, lpPPI);
  if (!lpReader) return FALSE;
  BOOL fOurs = (lpReader->bFlags & STREAM_GRANTS_IN_FLIGHT) != 0;
  if (fOurs) lpReader->bFlags = (BYTE)(lpReader->bFlags - STREAM_GRANT_IN_FLIGHT);
  UnlockChannelIdx(bPort, 0);
  if (fOurs && lpPayload[1] != 0)
    MLCLOG(DBG_ERROR, "!   RetrieveData - the printer refused a grant (result %d)\n", lpPayload[1]);
  return fOurs;
}

int MultiReadCreditGrant(DWORD hPort, BYTE bPort, BYTE bHsid, BYTE bPsid, LPVOID lpBuffer,
                         DWORD dwLength, LPDWORD lpdwRead, DWORD dwTimeOut, LONG* lplPeriCredits) {
  enum { READING, WAITING, GIVEN_UP } state = READING;
  int iResult = MLC_PACKET_SUCCESSFUL;
  BYTE* lpDest = (BYTE*)lpBuffer;
  DWORD cbTotal = 0;
  DWORD dwGrantTick = 0;
  while (cbTotal < dwLength && iResult == MLC_PACKET_SUCCESSFUL && state != GIVEN_UP) {
    DWORD cbRead = 0;
    if (!VCOMM_ReadComm(hPort, lpDest, dwLength - cbTotal, &cbRead)) {
      DWORD dwError = VCOMM_GetLastError(hPort);
      if (dwError != CE_PTO) {
        PerPortInfo* lpPPI = ObtainPPI(bPort);
        lpPPI->lLastLinkError = (LONG)dwError;
        ReleasePPI(bPort);
        MLCLOG(DBG_ERROR, "!   MultiReadCreditGrant - read failed, error %lu\n", dwError);
        iResult = MLC_UNRECOVERABLE_ERROR;
        break;
      }
    }
    if (cbRead > dwLength - cbTotal) cbRead = dwLength - cbTotal;
    if (cbRead) {
      cbTotal += cbRead;
      lpDest += cbRead;
      state = READING;
    } else if (state == READING) {
      BOOL fSent = FALSE;
      BOOL fRoom = !lplPeriCredits || *lplPeriCredits < 0xFFFF;
      if (fRoom && !GrantWithoutWait(bPort, bHsid, bPsid, 1, &fSent)) {
        iResult = MLC_UNRECOVERABLE_ERROR;
        break;
      }
      if (fSent && lplPeriCredits) *lplPeriCredits += 1;
      dwGrantTick = GetTickCount();
      state = WAITING;
    } else {
      DWORD dwWaited = GetTickCount() - dwGrantTick;
      if (dwWaited > dwTimeOut)
        state = GIVEN_UP;
      else
        WaitPortInput(bPort, dwTimeOut - dwWaited + 1);
    }
  }
  *lpdwRead = cbTotal;
  return iResult;
}

BOOL PollLeavesPortToReader(BYTE bPort, int /*ePollType*/) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  const StreamChannel* lpReader = LockReaderChannel(bPort, lpPPI);
  BOOL fLeave = lpReader && (lpReader->bFlags & STREAM_HEADER_PARKED) != 0;
  if (lpReader) UnlockChannelIdx(bPort, 0);
  ReleasePPI(bPort);
  return fLeave;
}

BOOL ParkReaderHeader(BYTE bPort, const BYTE* lpHeader) {
  if (lpHeader[0] != MLC_FIRST_HSID) return FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  StreamChannel* lpReader = LockReaderChannel(bPort, lpPPI);
  BOOL fPark = lpReader && (lpReader->bFlags & STREAM_DIRECT_READ) &&
               !(lpReader->bFlags & (STREAM_HAS_BUFFER | STREAM_HEADER_PARKED));
  if (fPark) {
    CopyMemory(&lpReader->lWritePos, lpHeader, 4);
    CopyMemory(&lpReader->lReadPos, lpHeader + 4, 2);
    lpReader->bFlags |= STREAM_HEADER_PARKED;
    MLCLOG(DBG_TRACE, "    PollForData - packet of the direct reader: header kept for it\n");
  }
  if (lpReader) UnlockChannelIdx(bPort, 0);
  ReleasePPI(bPort);
  return fPark;
}

int WINAPI RetrieveData(DWORD dwPort, LPVOID lpBuffer, LPDWORD lpdwLength) {
  MLCLOG(DBG_ENTRY | DBG_API, "-->RetrieveData entry, bPort=%lu\n", dwPort);
  if (dwPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  if (!lpdwLength) return MLC_BUFFER_TOO_SMALL;
  BYTE bPort = (BYTE)dwPort;
  DWORD cbBuffer = *lpdwLength;
  *lpdwLength = 0;

  PerPortInfo* lpPPI = ObtainPPI(bPort);
  StreamChannel* lpStream = NULL;
  if (lpPPI->fMlcInitDone && lpPPI->hChanPtrArray && lpPPI->bChannelsAllocated > 0 &&
      GetTypeIdx(bPort, 0) == MLC_STREAM_CHANNEL)
    lpStream = (StreamChannel*)LockChannelIdx(bPort, 0);
  if (!lpStream) {
    ReleasePPI(bPort);
    MLCLOG(DBG_ERROR, "!   RetrieveData - no stream channel in slot 0 of port %d\n", bPort);
    return MLC_INVALID_HANDLE;
  }
  // The whole packet must fit: a packet read in part leaves the wire in its
  // middle, and a part dropped is data lost.
  WORD wMaxPayload = 0;
  const SocketInfo* lpSocket =
      lpStream->wSocketIdx < lpPPI->bSocketInfoCount && lpPPI->hSocketInfoArray
          ? (const SocketInfo*)LockSocketIdx(bPort, lpStream->wSocketIdx)
          : NULL;
  if (lpSocket) {
    wMaxPayload = lpSocket->wPtoHPacketSize;
    UnlockSocketIdx(bPort, lpStream->wSocketIdx);
  }
  int iRefusal = 0;
  if (!lpSocket)
    iRefusal = MLC_INVALID_HANDLE;
  else if (!lpBuffer || cbBuffer < wMaxPayload)
    iRefusal = MLC_BUFFER_TOO_SMALL;
  else if (!GetPortHandle(bPort))
    iRefusal = MLC_PHYSICAL_LINK_FAILURE;  // this process cannot read the port
  if (iRefusal != 0) {
    UnlockChannelIdx(bPort, 0);
    ReleasePPI(bPort);
    MLCLOG(DBG_ERROR, "!   RetrieveData - refused (%d), buffer %lu, largest packet %d\n", iRefusal,
           cbBuffer, wMaxPayload);
    return iRefusal;
  }
  lpStream->bFlags |= STREAM_DIRECT_READ;
  LinkStamp stamp = TakeLinkStamp(bPort, 0);

  BYTE abHeader[MLC_HEADER_SIZE];
  DWORD cbHeader = 0;
  int iResult = MLC_PACKET_SUCCESSFUL;
  if (lpStream->bFlags & STREAM_HEADER_PARKED) {
    // A poll read this packet's header: its payload is next on the wire.
    WORD wPayload = 0;
    CopyMemory(abHeader, &lpStream->lWritePos, 4);
    CopyMemory(abHeader + 4, &lpStream->lReadPos, 2);
    CopyMemory(&wPayload, abHeader + 2, sizeof(wPayload));
    PutWireWord(abHeader + 2, (WORD)(wPayload + MLC_HEADER_SIZE));
    lpStream->lWritePos = lpStream->lReadPos = 0;
    lpStream->bFlags &= (BYTE)~STREAM_HEADER_PARKED;
    cbHeader = MLC_HEADER_SIZE;
  } else {
    iResult = SingleVCOMMRead(lpPPI, abHeader, MLC_HEADER_SIZE, &cbHeader);
  }
  if (iResult != MLC_UNRECOVERABLE_ERROR && cbHeader == 0 && lpStream->wPeriPtoHCredits == 0) {
    // The printer holds no credit: it may send as much as it likes.
    BOOL fSent = FALSE;
    if (!GrantWithoutWait(bPort, lpStream->bHsid, lpStream->bPsid, 0xFFFF, &fSent)) {
      iResult = MLC_UNRECOVERABLE_ERROR;
    } else {
      if (fSent) lpStream->wPeriPtoHCredits = 0xFFFF;
      iResult = SingleVCOMMRead(lpPPI, abHeader, MLC_HEADER_SIZE, &cbHeader);
    }
  }
  if (iResult != MLC_UNRECOVERABLE_ERROR) {
    if (cbHeader == 0) {
      lpPPI->dwIdlePolls++;
      UnlockChannelIdx(bPort, 0);
      ReleasePPI(bPort);
      MLCLOG(DBG_API | DBG_EXIT, "<--RetrieveData exit - no data\n");
      return MLC_NO_DATA;
    }
    if (cbHeader < MLC_HEADER_SIZE) {
      DWORD cbRest = 0;
      iResult = MultiVCOMMRead(lpPPI, abHeader + cbHeader, MLC_HEADER_SIZE - cbHeader, &cbRest,
                               (DWORD)gMLC_Inter_Packet_Time_Out);
      cbHeader += cbRest;
    }
    if (iResult != MLC_UNRECOVERABLE_ERROR && cbHeader != MLC_HEADER_SIZE) {
      MLCLOG(DBG_ERROR, "!   RetrieveData - header bytes read %d != header size %d\n",
             (int)cbHeader, MLC_HEADER_SIZE);
      SendErrorPacket(bPort, MLC_ERROR_SHORT_PACKET, TRUE);
      iResult = MLC_UNRECOVERABLE_ERROR;
    }
  }
  if (iResult != MLC_UNRECOVERABLE_ERROR)
    iResult = ReadPacket(bPort, lpStream, abHeader, lpBuffer, cbBuffer, lpdwLength, wMaxPayload);
  else
    MLCLOG(DBG_ERROR, "!   RetrieveData - iRetVal == MLC_UNRECOVERABLE_ERROR failed\n");

  // A reset on the way (a failed send) has freed the record already.
  if (LinkStampValid(bPort, 0, stamp)) UnlockChannelIdx(bPort, 0);
  if (iResult == MLC_UNRECOVERABLE_ERROR) {
    if (lpPPI->fMlcInitDone) StartAllOverAgain(bPort, TRUE);
  } else {
    lpPPI->dwIdlePolls = 0;
  }
  ReleasePPI(bPort);
  MLCLOG(DBG_ERROR | DBG_EXIT, "   RetrieveData exit - iRetVal %d  \n", iResult);
  return iResult;
}
