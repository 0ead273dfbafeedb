// Opening a channel: the link and the socket first, then a slot of the
// port's channel table, the record with its receive buffers and initial
// credit, and the MLC_OPEN_CHANNEL exchange.
#include "channel/channel.h"
#include "channel/closechan.h"
#include "channel/ownopen.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/cbtable.h"
#include "notify/hidden.h"
#include "notify/wndproc.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

#define MLC_OPEN_CHANNEL_LENGTH MLC_CREDIT_LENGTH
// Host socket ids 0x80..0xFF: slots a port may allocate while its link is up.
#define MLC_MAX_SLOTS 128
// The open packet carries the initial credit in 16 bits.
#define MLC_MAX_CREDIT 0xFFFF

namespace {

// What the caller of MLCOpenChannel asked for.
struct OpenRequest {
  BYTE bPort;
  BYTE bPsid;
  BYTE bType;
  DWORD* pdwBufferSize;
  HWND hAppWnd;
  WORD wAppMsg;
  DWORD dwAppData;
  DWORD lpfnCallBack;  // key of the callback in this process's table
  HWND hCallBackWnd;
  WORD wSocketIdx;
};

// Fills what both kinds of record take from the request; every other
// field starts at 0.
template <class Record>
void SetUpRecord(const OpenRequest& req, BYTE bHsid, Record* lpRecord) {
  ZeroMemory(lpRecord, sizeof *lpRecord);
  lpRecord->bType = req.bType;
  lpRecord->bPsid = req.bPsid;
  lpRecord->bHsid = bHsid;
  lpRecord->bPort = req.bPort;
  lpRecord->hAppWnd = DwordFromHwnd(req.hAppWnd);
  lpRecord->wAppMsg = req.wAppMsg;
  lpRecord->dwAppData = req.dwAppData;
  lpRecord->lpfnCallBack = req.lpfnCallBack;
  lpRecord->hCallBackWnd = DwordFromHwnd(req.hCallBackWnd);
  lpRecord->wSocketIdx = req.wSocketIdx;
  lpRecord->dwOpenProcess = GetCurrentProcessId();
  lpRecord->dwOpenSerial = NoteOwnOpen(req.bPort, bHsid);
}

// Fills a new stream record and its ring: the initial credit, or
// MLC_NO_MEMORY.
LONG SetUpStream(const OpenRequest& req, BYTE bHsid, StreamChannel* lpStream, LONG P) {
  SetUpRecord(req, bHsid, lpStream);
  if (!req.pdwBufferSize || *req.pdwBufferSize == 0) return 0;

  LONG lSize = (LONG)*req.pdwBufferSize;
  if (lSize < P) lSize = P;
  // A credit past what the open packet carries is cut down to the largest
  // buffer it covers; the size written back tells the caller.
  if (P > 0 && lSize / P > MLC_MAX_CREDIT) lSize = MLC_MAX_CREDIT * P;
  *req.pdwBufferSize = (DWORD)lSize;
  LONG lCredit = P > 0 ? lSize / P : 0;
  MLCLOG(DBG_TRACE,
         "    MLCOpenChannel: PBuffer size= %lu, wCredits %ld , SocketInfo->wPtoHPacketSize %d\n",
         (ULONG)lSize, lCredit, (int)P);
  lpStream->hBuffer = AllocMLCCheck(req.bPort, (DWORD)lSize);
  if (!lpStream->hBuffer) return MLC_NO_MEMORY;
  lpStream->lLastPos = lSize;
  lpStream->wAllocated = lSize;
  lpStream->wPeriPtoHCredits = lCredit;
  lpStream->wPtoHMark = 3 * lCredit / 4;
  lpStream->bFlags = STREAM_HAS_BUFFER;
  return lCredit;
}

// Fills a new packet record and its receive slots (one, or two when a
// buffer was asked for): the initial credit, or MLC_NO_MEMORY. The second
// slot is granted at once; the first waits for the host's first message.
LONG SetUpPacket(const OpenRequest& req, BYTE bHsid, MessageChannel* lpMsgChan, LONG P) {
  SetUpRecord(req, bHsid, lpMsgChan);
  lpMsgChan->lReadSlot = -1;
  lpMsgChan->hSlot[0] = AllocMLCCheck(req.bPort, (DWORD)P);
  if (!lpMsgChan->hSlot[0]) return MLC_NO_MEMORY;
  lpMsgChan->bSlotCount = 1;
  if (!req.pdwBufferSize || *req.pdwBufferSize == 0) return 0;
  *req.pdwBufferSize = (DWORD)P;
  lpMsgChan->hSlot[1] = AllocMLCCheck(req.bPort, (DWORD)P);
  if (!lpMsgChan->hSlot[1]) return MLC_NO_MEMORY;
  lpMsgChan->bSlotCount = 2;
  lpMsgChan->wPeriPtoHCredits = 1;
  return 1;
}

// Brings the port's link up, with one reset and retry: 1 or MLC_INIT_FAILED.
int EnsureLink(BYTE bPort, PerPortInfo* lpPPI) {
  if (lpPPI->fMlcInitDone) return MLC_SUCCESS;
  if (MLCInit(bPort) < 0) {
    StartAllOverAgain(bPort, FALSE);
    if (MLCInit(bPort) < 0) {
      StartAllOverAgain(bPort, TRUE);
      return MLC_INIT_FAILED;
    }
  }
  return lpPPI->fMlcInitDone ? MLC_SUCCESS : MLC_INIT_FAILED;
}

// The socket entry, with one reset and retry after a failed exchange (not
// after a refusal, which concerns this socket only): index or error.
int EnsureSocket(BYTE bPort, PerPortInfo* lpPPI, BYTE bPsid, BYTE bStatusLevel) {
  BOOL fRefused = FALSE;
  int iIndex = GetSocketInfo(bPort, bPsid, bStatusLevel, &fRefused);
  if (iIndex == MLC_SOCKET_CONFIG_FAILED && !fRefused) {
    MLCLOG(DBG_ERROR, "First socket info failed, start over...\n");
    StartAllOverAgain(bPort, FALSE);
    if (MLCInit(bPort) < 0 || !lpPPI->fMlcInitDone) return MLC_INIT_FAILED;
    iIndex = GetSocketInfo(bPort, bPsid, bStatusLevel, NULL);
  }
  MLCLOG(DBG_TRACE, "    MLCOpenChannel: Got socket info iIndex = %d\n", iIndex);
  return iIndex;
}

// Sends MLC_OPEN_CHANNEL and waits for its reply: 1 when accepted,
// MLC_NO_CHANNEL when refused, MLC_OPEN_FAILED when the exchange failed
// (the link has then been reset).
int ExchangeOpen(BYTE bPort, PerPortInfo* lpPPI, BYTE bHsid, BYTE bPsid, WORD wCredit) {
  BYTE abPacket[MLC_OPEN_CHANNEL_LENGTH];
  BuildChannelCommand(abPacket, MLC_OPEN_CHANNEL, bHsid, bPsid, wCredit);
  if (!SendPacket(bPort, abPacket, sizeof(abPacket), NULL)) return MLC_OPEN_FAILED;
  MLCLOG(DBG_TRACE, "(   MLCOpenChannel - MLC_OPEN_CHANNEL sent ok (credits=%d)\n", wCredit);
  lpPPI->bLastMlcCommand = MLC_OPEN_CHANNEL;
  int iWait = ReceivePacket(bPort, 0, bHsid, MLC_OPEN_CHANNEL_REPLY, FALSE,
                            (DWORD)gMLC_Packet_TimeOut_While_Not_Busy);
  if (iWait == 1) return MLC_NO_CHANNEL;
  return iWait == 0 ? MLC_SUCCESS : MLC_OPEN_FAILED;
}

// The slots count from the moment the link came up. A table left by a
// link that was left with its last channel (MLC_EXIT) belongs to that link:
// the next link starts with none, or a port that once had 128 slots could
// never open a channel again.
void ForgetLeftTable(BYTE bPort, PerPortInfo* lpPPI) {
  if (lpPPI->fMlcInitDone || lpPPI->bChannelsUsed != 0 || !lpPPI->hChanPtrArray) return;
  UnlockAllMLCCheck(bPort, lpPPI->hChanPtrArray);
  FreeMLCCheck(bPort, lpPPI->hChanPtrArray);
  lpPPI->hChanPtrArray = 0;
  lpPPI->bChannelsAllocated = 0;
}

}  // namespace

int AllocateSpaceForChannel(BYTE bPort, PerPortInfo* lpPPI, BYTE bType) {
  if (lpPPI->bChannelsAllocated == lpPPI->bChannelsUsed) {
    if (lpPPI->bChannelsAllocated >= MLC_MAX_SLOTS) return MLC_NO_MEMORY;
    DWORD dwSize = ((DWORD)lpPPI->bChannelsAllocated + 1) * sizeof(HMEMBLOCK);
    HMEMBLOCK hTable = lpPPI->bChannelsAllocated == 0 || !lpPPI->hChanPtrArray
                           ? AllocMLCCheck(bPort, dwSize)
                           : ReAllocMLCCheck(bPort, lpPPI->hChanPtrArray, dwSize);
    if (!hTable) return MLC_NO_MEMORY;
    lpPPI->hChanPtrArray = hTable;
    HMEMBLOCK* lpTable = (HMEMBLOCK*)LockMLCCheck(bPort, hTable);
    if (!lpTable) return MLC_NO_MEMORY;
    if (lpTable[lpPPI->bChannelsAllocated] != 0) {
      MLCLOG(DBG_ERROR, "!   AllocateSpaceForChannel: New slot wasn't NULL!!!\n");
      lpTable[lpPPI->bChannelsAllocated] = 0;
    }
    UnlockMLCCheck(bPort, hTable);
    lpPPI->bChannelsAllocated++;
  } else {
    MLCLOG(DBG_TRACE, "     ASFC: bChannelsAllocated != bChannelsUsed - nothing new allocated \n");
  }
  HMEMBLOCK* lpTable = (HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray);
  if (!lpTable) return MLC_NO_MEMORY;
  int iSlot = -1;
  for (int i = 0; i < lpPPI->bChannelsAllocated; ++i) {
    if (lpTable[i] == 0) {
      iSlot = i;
      break;
    }
  }
  MLCLOG(DBG_TRACE, "     ASFC: 1st free Index is %ld out of %ld\n", (LONG)iSlot,
         (LONG)lpPPI->bChannelsAllocated);
  if (iSlot < 0) {
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
    return MLC_NO_MEMORY;
  }
  // Blocks come zeroed: a record closed before it is filled reads as a
  // packet record with no slots and no queue.
  DWORD dwRecord = bType == MLC_STREAM_CHANNEL ? sizeof(StreamChannel) : sizeof(MessageChannel);
  HMEMBLOCK hRecord = AllocMLCCheck(bPort, dwRecord);
  if (!hRecord) {
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
    return MLC_NO_MEMORY;
  }
  lpTable[iSlot] = hRecord;
  UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  lpPPI->bChannelsUsed++;

  MlcGlobalData* lpMGD = ObtainMGD();
  lpMGD->wTotalChannelsOpened++;
  HWND hHidden = HwndFromDword(lpMGD->hHiddenWnd);
  if (lpMGD->wTotalChannelsOpened == 1 && hHidden && IsWindow(hHidden)) {
    MLCLOG(DBG_TRACE, "     ASFC: setting max timer = %d\r\n", gMax_Poll_Interval);
    PostMessageA(hHidden, HIDDEN_POLL_TIMER, POLL_TIMER_MAX, (LPARAM)gMax_Poll_Interval);
    lpMGD->wPollTimerId = POLL_TIMER_MAX;
  }
  ReleaseMGD();
  MLCLOG(DBG_EXIT,
         "    AllocateSpaceForChannel - end: bIndex  %d; bChannelsUsed %d; bChannelsAllocated "
         "%d\r\n",
         iSlot, lpPPI->bChannelsUsed, lpPPI->bChannelsAllocated);
  return iSlot;
}

int WINAPI MLCOpenChannel(DWORD dwPort, DWORD dwPsid, DWORD dwType, DWORD* pdwBufferSize,
                          WORD* phChannel, HWND hAppWnd, DWORD dwAppMsg, DWORD dwAppData,
                          MLC_CALLBACK lpfnCallBack, BYTE* pbStatusLevel) {
  OpenRequest req;
  req.bPort = (BYTE)dwPort;
  req.bPsid = (BYTE)dwPsid;
  req.bType = (BYTE)dwType;
  req.pdwBufferSize = pdwBufferSize;
  req.hAppWnd = hAppWnd;
  req.wAppMsg = (WORD)dwAppMsg;
  req.dwAppData = dwAppData & 0xFFFF;
  req.lpfnCallBack = 0;
  req.hCallBackWnd = NULL;
  req.wSocketIdx = 0;
  BYTE bStatusLevel = pbStatusLevel ? *pbStatusLevel : 0;
  MLCLOG(DBG_ENTRY | DBG_API, "--->MLCOpenChannel: Port: %u, Psid: %u, Type: %u, Buffer size= %u\n",
         req.bPort, req.bPsid, req.bType, pdwBufferSize ? (UINT)*pdwBufferSize : 0u);
  if (req.bPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  if (req.bType != MLC_STREAM_CHANNEL && req.bType != MLC_PACKET_CHANNEL) return MLC_INVALID_TYPE;
  if (hAppWnd && !IsWindow(hAppWnd)) return MLC_INVALID_WINDOW;
  // Without somewhere to put the handle the channel could never be used
  // or closed.
  if (!phChannel) return MLC_INVALID_HANDLE;
  if (!CanSendOnPort(req.bPort)) return MLC_PHYSICAL_LINK_FAILURE;

  BYTE bPort = req.bPort;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  ForgetLeftTable(bPort, lpPPI);
  if (lpPPI->bChannelsAllocated >= MLC_MAX_SLOTS) {
    ReleasePPI(bPort);
    MLCLOG(DBG_API | DBG_EXIT, "<---MLCOpenChannel: error=%d\n", MLC_NO_CHANNEL);
    return MLC_NO_CHANNEL;
  }

  int iResult = EnsureLink(bPort, lpPPI);
  int iIndex = iResult < 0 ? iResult : EnsureSocket(bPort, lpPPI, req.bPsid, bStatusLevel);
  if (iResult >= 0) iResult = iIndex < 0 ? iIndex : MLC_SUCCESS;

  // The socket entry stays locked to the end (the array can only be freed
  // by a reset, after which it is not unlocked).
  HMEMBLOCK hSocketArray = 0;
  LONG P = 0;
  if (iResult > 0) {
    req.wSocketIdx = (WORD)iIndex;
    const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, req.wSocketIdx);
    if (!lpSocket) {
      iResult = MLC_SOCKET_CONFIG_FAILED;
    } else {
      hSocketArray = lpPPI->hSocketInfoArray;
      P = lpSocket->wPtoHPacketSize;
      if (pbStatusLevel) *pbStatusLevel = lpSocket->bStatusLevel;
    }
  }

  int iSlot = -1;
  WORD hChannel = 0;
  if (iResult > 0) {
    iSlot = AllocateSpaceForChannel(bPort, lpPPI, req.bType);
    if (iSlot < 0) {
      iResult = iSlot;
    } else {
      hChannel = MLC_MAKE_CHANNEL(bPort, MLC_FIRST_HSID + iSlot);
      *phChannel = hChannel;
    }
  }
  if (iResult > 0 && !hAppWnd && lpfnCallBack) {
    // The callback window holds the table's reference to the callback and
    // drops it when it is destroyed.
    req.lpfnCallBack = RegisterCallBack(lpfnCallBack);
    req.hCallBackWnd = req.lpfnCallBack ? CreateCallBackWindow(req.lpfnCallBack) : NULL;
    if (!req.hCallBackWnd) {
      ForgetCallBack(req.lpfnCallBack);
      req.lpfnCallBack = 0;
      CloseChannel(hChannel, FALSE, FALSE);
      iResult = MLC_SYSTEM_FAILURE;
    }
  }

  if (iResult > 0) {
    BYTE bIndex = (BYTE)iSlot;
    BYTE bHsid = (BYTE)(MLC_FIRST_HSID + iSlot);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    LONG lCredit = MLC_NO_MEMORY;
    if (lpRecord) {
      lCredit = req.bType == MLC_STREAM_CHANNEL
                    ? SetUpStream(req, bHsid, (StreamChannel*)lpRecord, P)
                    : SetUpPacket(req, bHsid, (MessageChannel*)lpRecord, P);
    }
    if (lCredit < 0) {
      if (lpRecord) UnlockChannelIdx(bPort, bIndex);
      CloseChannel(hChannel, FALSE, FALSE);
      iResult = MLC_NO_MEMORY;
    } else {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      iResult = ExchangeOpen(bPort, lpPPI, bHsid, req.bPsid, (WORD)lCredit);
      if (!LinkStampValid(bPort, bIndex, stamp)) {
        // The exchange reset the link, which closed this channel too.
        if (iResult > 0) iResult = MLC_OPEN_FAILED;
        hSocketArray = 0;
      } else if (iResult > 0 && ((StreamChannel*)lpRecord)->fChannelOpen != 1) {
        UnlockChannelIdx(bPort, bIndex);
        CloseChannel(hChannel, FALSE, FALSE);
        iResult = MLC_OPEN_FAILED;
      } else if (iResult > 0) {
        ((StreamChannel*)lpRecord)->fNotifyOnClose = 1;  // same offset in both records
        UnlockChannelIdx(bPort, bIndex);
      } else {
        UnlockChannelIdx(bPort, bIndex);
        CloseChannel(hChannel, FALSE, FALSE);
      }
    }
  }

  // Unlock the socket entry unless a reset has freed the array meanwhile.
  if (hSocketArray && lpPPI->hSocketInfoArray == hSocketArray)
    UnlockSocketIdx(bPort, req.wSocketIdx);
  if (iResult < 0) {
    if (AllChannelsClosed()) {
      MLCSetPMLInitDeInitEvent();
      KillHiddenExe();
    }
    MLCLOG(DBG_ERROR, "    MLCOpenChannel, error=%d bPort=%d\r\n", iResult, bPort);
    MLCLOG(DBG_API | DBG_EXIT, "<---MLCOpenChannel: error=%d\n", iResult);
    ReleasePPI(bPort);
    return iResult;
  }
  ReleasePPI(bPort);
  MLCLOG(DBG_API | DBG_EXIT, "<---MLCOpenChannel exit: error=%d\n", 0);
  return MLC_SUCCESS;
}
