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

// Sends MLC_CREDIT without waiting for its reply: the reply is a packet like
// any other, taken by the next reader or poll once the packet being read
// has ended. Nothing is sent while another command awaits its reply (there
// is room for one outstanding command only). FALSE when the send failed
// (the link has then been reset).
BOOL GrantWithoutWait(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit, BOOL* lpfSent) {
  *lpfSent = FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (lpPPI->bLastMlcCommand != NO_COMMAND) {
    MLCLOG(DBG_TRACE, "    RetrieveData - command %d awaits its reply: no credit granted\n",
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
  BOOL fOK = SendPacket(bPort, abPacket, sizeof(abPacket), NULL);
  if (fOK) {
    MLCLOG(DBG_TRACE, "(   MLCIssueCredit - MLC_CREDIT sent ok = %d\n", wCredit);
    lpPPI->bLastMlcCommand = MLC_CREDIT;
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

BOOL PollLeavesPortToReader(BYTE bPort, int ePollType) {
  // The library's own polls (a writer waiting for credit) still read: the
  // credit they wait for comes on the same wire.
  if (ePollType == POLL_TYPE_LIBRARY) return FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fLeave = FALSE;
  if (lpPPI->hChanPtrArray && lpPPI->bChannelsAllocated > 0 &&
      GetTypeIdx(bPort, 0) == MLC_STREAM_CHANNEL) {
    const StreamChannel* lpStream = (const StreamChannel*)LockChannelIdx(bPort, 0);
    if (lpStream) {
      fLeave = (lpStream->bFlags & STREAM_DIRECT_READ) != 0;
      UnlockChannelIdx(bPort, 0);
    }
  }
  ReleasePPI(bPort);
  return fLeave;
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
  int iResult = SingleVCOMMRead(lpPPI, abHeader, MLC_HEADER_SIZE, &cbHeader);
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
