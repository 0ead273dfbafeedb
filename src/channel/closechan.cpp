// Closing a channel: the optional close exchange, releasing the record's
// buffers, slots and queue, notifying the client, and counting the channel
// down (the port's last channel leaves MLC).
#include "channel/closechan.h"

#include "channel/channel.h"
#include "channel/ownopen.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/hidden.h"
#include "notify/notify.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Frees the blocks a record owns (ring buffer; or queue and receive slots).
void FreeRecordBlocks(BYTE bPort, BYTE bIndex, BYTE bType, LPVOID lpRecord) {
  if (bType == MLC_STREAM_CHANNEL) {
    StreamChannel* lpStream = (StreamChannel*)lpRecord;
    if ((lpStream->bFlags & STREAM_HAS_BUFFER) && lpStream->hBuffer) {
      MLCLOG(DBG_TRACE, "Freeing stream data pointer; bIndex = %d\n", bIndex);
      FreeMLCCheck(bPort, lpStream->hBuffer);
      lpStream->hBuffer = 0;
    }
    return;
  }
  MessageChannel* lpMsgChan = (MessageChannel*)lpRecord;
  MLCLOG(DBG_TRACE, "    CloseChannel - Freeing message channel's messages\n");
  HMEMBLOCK hNode = lpMsgChan->hMsgQueueHead;
  // Bounded like every walk of a chain kept in shared memory.
  for (DWORD dwNodes = 0; hNode && dwNodes < 0x10000; ++dwNodes) {
    const QueuedMessage* lpNode = (const QueuedMessage*)LockMLCCheck(bPort, hNode);
    if (!lpNode) break;
    HMEMBLOCK hNext = lpNode->hNext;
    UnlockMLCCheck(bPort, hNode);
    BOOL fTail = hNode == lpMsgChan->hMsgQueueTail;
    FreeMLCCheck(bPort, hNode);
    if (fTail) break;
    hNode = hNext;
  }
  lpMsgChan->hMsgQueueHead = 0;
  lpMsgChan->hMsgQueueTail = 0;
  for (BYTE bSlot = 0; bSlot < lpMsgChan->bSlotCount && bSlot < 2; ++bSlot) {
    if (lpMsgChan->hSlot[bSlot]) {
      FreeMLCCheck(bPort, lpMsgChan->hSlot[bSlot]);
      lpMsgChan->hSlot[bSlot] = 0;
    }
  }
}

void NotifyClose(BYTE bType, LPVOID lpRecord, BOOL fNotifyClient) {
  if (bType == MLC_STREAM_CHANNEL)
    NotifyChannelClose((StreamChannel*)lpRecord, fNotifyClient);
  else
    NotifyChannelClose((MessageChannel*)lpRecord, fNotifyClient);
}

// The close exchange: 1, or MLC_CLOSE_FAILED (nothing to be released).
LONG ExchangeClose(BYTE bPort, PerPortInfo* lpPPI, BYTE bHsid, BYTE bPsid) {
  if (lpPPI->bLastMlcCommand == MLC_ERROR) return MLC_CLOSE_FAILED;
  BYTE abPacket[9];
  BuildCommandHeader(abPacket, sizeof(abPacket));
  abPacket[6] = MLC_CLOSE_CHANNEL;
  abPacket[7] = bHsid;
  abPacket[8] = bPsid;
  if (!SendPacket(bPort, abPacket, sizeof(abPacket), NULL)) return MLC_CLOSE_FAILED;
  MLCLOG(DBG_TRACE, "(   CloseChannel - MLC_CLOSE_CHANNEL sent ok\n");
  lpPPI->bLastMlcCommand = MLC_CLOSE_CHANNEL;
  if (ReceivePacket(bPort, 0, bHsid, MLC_CLOSE_CHANNEL_REPLY, FALSE,
                    (DWORD)gMLC_Packet_TimeOut_While_Not_Busy) != 0) {
    MLCLOG(DBG_TRACE, "    CloseChannel - ReceivePacket failed\n");
    return MLC_CLOSE_FAILED;
  }
  return MLC_SUCCESS;
}

}  // namespace

void DiscardChannelRecord(BYTE bPort, BYTE bIndex, BOOL fNotifyClient) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (lpPPI->hChanPtrArray && bIndex < lpPPI->bChannelsAllocated) {
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (lpRecord) {
      FreeRecordBlocks(bPort, bIndex, bType, lpRecord);
      NotifyClose(bType, lpRecord, fNotifyClient);
      UnlockChannelIdx(bPort, bIndex);
    }
    HMEMBLOCK* lpTable = (HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray);
    if (lpTable) {
      if (lpTable[bIndex]) {
        MLCLOG(DBG_TRACE,
               "    CloseChannel: Freeing the channel info; bIndex = %d , plChanArray %ld\n",
               bIndex, (LONG)lpPPI->hChanPtrArray);
        FreeMLCCheck(bPort, lpTable[bIndex]);
        lpTable[bIndex] = 0;
      }
      UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
    }
  }
  ReleasePPI(bPort);
}

namespace {

// Slots whose close runs in this process, by port. Only the holder of the
// port's mutex touches them, so they need no lock; being process-local, a
// process that dies in a close leaves no stale mark (the port-wide busy bit
// it leaves makes the next bring-up reset the link).
BOOL fSlotClosing[MLC_PORT_COUNT][128];
int iClosesRunning[MLC_PORT_COUNT];

void MarkClosing(PerPortInfo* lpPPI, BYTE bPort, BYTE bIndex, BOOL fClosing) {
  fSlotClosing[bPort][bIndex & 0x7F] = fClosing;
  iClosesRunning[bPort] += fClosing ? 1 : -1;
  if (iClosesRunning[bPort] > 0)
    lpPPI->dwBusyFlags |= BUSY_CLOSE_CHANNEL;
  else
    lpPPI->dwBusyFlags &= ~(DWORD)BUSY_CLOSE_CHANNEL;
}

// One channel fewer on the machine; the last one stops the helper's timer.
void CountChannelDown() {
  MlcGlobalData* lpMGD = ObtainMGD();
  if (lpMGD->wTotalChannelsOpened) lpMGD->wTotalChannelsOpened--;
  MLCLOG(DBG_TRACE, "    FreeChannel: wTotalChannelsOpened= %d\n", lpMGD->wTotalChannelsOpened);
  if (lpMGD->wTotalChannelsOpened == 0 && lpMGD->wPollTimerId &&
      IsWindow(HwndFromDword(lpMGD->hHiddenWnd))) {
    PostMessageA(HwndFromDword(lpMGD->hHiddenWnd), HIDDEN_POLL_TIMER, POLL_TIMER_STOP, 0);
    lpMGD->wPollTimerId = 0;
  }
  ReleaseMGD();
}

}  // namespace

LONG CloseChannel(WORD hChannel, BOOL fSendClose, BOOL fNotifyClient) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (bPort >= MLC_PORT_COUNT || bHsid < MLC_FIRST_HSID) {
    MLCLOG(DBG_ERROR, "<---CloseChannel: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (!CheckPortAndHsid(bPort, bHsid)) {
    ReleasePPI(bPort);
    MLCLOG(DBG_ERROR, "<---CloseChannel: MLC_INVALID_HANDLE :bPort=%d, Hsid =%d\r\n", bPort, bHsid);
    return MLC_INVALID_HANDLE;
  }
  // A close of this very slot further up the call chain (a reset started
  // by its exchange) finishes it; closes of other slots go on.
  if (fSlotClosing[bPort][bIndex]) {
    ReleasePPI(bPort);
    return MLC_SUCCESS;
  }
  MarkClosing(lpPPI, bPort, bIndex, TRUE);
  LONG lResult = MLC_SUCCESS;

  BYTE bType = GetTypeIdx(bPort, bIndex);
  LPVOID lpRecord = lpPPI->hChanPtrArray ? LockChannelIdx(bPort, bIndex) : NULL;
  if (!lpRecord) {
    MLCLOG(DBG_TRACE, "    CloseChannel - MLC_INVALID_HANDLE\n");
    lResult = MLC_INVALID_HANDLE;
  } else {
    StreamChannel* lpStream = (StreamChannel*)lpRecord;  // common head of both records
    BYTE bPsid = lpStream->bPsid;
    LONG lAvailBytes = bType == MLC_STREAM_CHANNEL ? lpStream->wAvailBytes : 0;
    DWORD fWasOpen = lpStream->fChannelOpen;
    if (bType == MLC_STREAM_CHANNEL) lpStream->wAvailBytes = 0;
    // Credit arriving during the close exchange must not send a message
    // channel's queue after the close.
    if (!fSendClose || bType != MLC_STREAM_CHANNEL) lpStream->fChannelOpen = 0;
    BOOL fRelease = TRUE;
    if (fSendClose) {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      lResult = ExchangeClose(bPort, lpPPI, bHsid, bPsid);
      if (!LinkStampValid(bPort, bIndex, stamp)) {
        // The exchange reset the link, which discarded this record without
        // counting it down.
        fRelease = FALSE;
        lpRecord = NULL;
        if (lResult == MLC_SUCCESS) lResult = MLC_CLOSE_FAILED;
        CountChannelDown();
      } else if (lResult != MLC_SUCCESS) {
        // Refused: the channel stays exactly as it was.
        fRelease = FALSE;
        // Packets stored during the exchange have freed space of their
        // own meanwhile: the space held back is added to it.
        if (bType == MLC_STREAM_CHANNEL)
          lpStream->wAvailBytes += lAvailBytes;
        else
          lpStream->fChannelOpen = fWasOpen;
      } else if (lpStream->fChannelOpen) {
        lResult = MLC_CLOSE_FAILED;  // released all the same
      }
    }
    if (lpRecord) UnlockChannelIdx(bPort, bIndex);
    if (fRelease) {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      FreeChannel(bPort, bIndex);
      // Leaving MLC may have reset the link and freed everything.
      LinkStamp after = TakeLinkStamp(bPort, bIndex);
      if (after.hChanPtrArray && after.hChanPtrArray == stamp.hChanPtrArray &&
          after.hRecord == stamp.hRecord) {
        DiscardChannelRecord(bPort, bIndex, fNotifyClient);
      }
    }
  }
  MarkClosing(lpPPI, bPort, bIndex, FALSE);
  ReleasePPI(bPort);
  MLCLOG(DBG_TRACE, "    CloseChannel exit: iReturn= %d\n", (int)lResult);
  return lResult;
}

int WINAPI MLCCloseChannel(DWORD hChannel) {
  MLCLOG(DBG_ENTRY | DBG_API, "--->MLCCloseChannel hChannel %u\n", (UINT)hChannel);
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (bPort >= MLC_PORT_COUNT || !CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_TRACE, "    MLCCloseChannel exiting: Invalid Handle  bPort: %u, bHsid %u \n", bPort,
           bHsid);
    return MLC_INVALID_HANDLE;
  }
  if (!CanSendOnPort(bPort)) return MLC_PHYSICAL_LINK_FAILURE;
  // The port stays ours from the check to the close: the slot cannot be
  // closed and reused by another open in between.
  ObtainPPI(bPort);
  LONG lResult = MLC_INVALID_HANDLE;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  if (CheckPortAndHsid(bPort, bHsid) && OwnHandleStale(hChannel)) {
    // Our channel went with a link reset; the slot is another open's now.
    lResult = MLC_PHYSICAL_LINK_FAILURE;
  } else if (CheckPortAndHsid(bPort, bHsid)) {
    StreamChannel* lpRecord = (StreamChannel*)LockChannelIdx(bPort, bIndex);
    DWORD fNotifyOnClose = lpRecord ? lpRecord->fNotifyOnClose : 0;
    if (lpRecord) {
      // The client closing its own channel is not told of it.
      lpRecord->fNotifyOnClose = 0;
      UnlockChannelIdx(bPort, bIndex);
    }
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    lResult = CloseChannel((WORD)hChannel, TRUE, FALSE);
    if (lResult >= 0) ForgetOwnOpen(bPort, bHsid);
    if (lResult < 0) {
      MLCLOG(DBG_TRACE, "    MLCCloseChannel: CloseChannel failed  iReturn: %d, hChannel %u \n",
             (int)lResult, (UINT)(hChannel & 0xFFFF));
      // A refused close leaves the channel as it was, its flag included.
      if (LinkStampValid(bPort, bIndex, stamp)) {
        lpRecord = (StreamChannel*)LockChannelIdx(bPort, bIndex);
        if (lpRecord) {
          lpRecord->fNotifyOnClose = fNotifyOnClose;
          UnlockChannelIdx(bPort, bIndex);
        }
      }
    }
  } else {
    MLCLOG(DBG_TRACE, "    MLCCloseChannel exiting: Invalid Handle  bPort: %u, bHsid %u \n", bPort,
           bHsid);
  }
  ReleasePPI(bPort);
  if (lResult != MLC_INVALID_HANDLE && lResult != MLC_PHYSICAL_LINK_FAILURE &&
      AllChannelsClosed()) {
    MLCLOG(DBG_TRACE, "    MLCCloseChannel exit: tell hidden app to close\n");
    KillHiddenExe();
  }
  MLCLOG(DBG_API | DBG_EXIT, "<---MLCCloseChannel exit: iReturn =%d\n", (int)lResult);
  return lResult;
}

void FreeChannel(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (!lpPPI->fMlcInitDone || (lpPPI->dwBusyFlags & BUSY_FREE_CHANNEL)) {
    ReleasePPI(bPort);
    return;
  }
  lpPPI->dwBusyFlags |= BUSY_FREE_CHANNEL;
  MLCLOG(DBG_TRACE, "    FreeChannel - bChannelsUsed(before anything freed)=%d\n",
         lpPPI->bChannelsUsed);
  BOOL fLast = FALSE;
  if (lpPPI->bChannelsUsed == 1 && lpPPI->hChanPtrArray && bIndex < lpPPI->bChannelsAllocated &&
      LockChannelIdx(bPort, bIndex)) {
    UnlockChannelIdx(bPort, bIndex);
    fLast = TRUE;
  }
  if (fLast) {
    // A link reset closes channels locally: nothing goes on the wire then.
    if (lpPPI->bLastMlcCommand != MLC_ERROR && !(lpPPI->dwBusyFlags & BUSY_START_ALL_OVER)) {
      BYTE abPacket[7];
      BuildCommandHeader(abPacket, sizeof(abPacket));
      abPacket[6] = MLC_EXIT;
      if (SendPacket(bPort, abPacket, sizeof(abPacket), NULL)) {
        MLCLOG(DBG_TRACE, "(   FreeChannel - MLC_EXIT sent ok\n");
        lpPPI->bLastMlcCommand = MLC_EXIT;
        ReceivePacket(bPort, 0, 0, MLC_EXIT_REPLY, FALSE,
                      (DWORD)gMLC_Packet_TimeOut_While_Not_Busy);
      }
    }
    lpPPI->bChannelsUsed = 0;
    if (lpPPI->hSocketInfoArray) {
      MLCLOG(DBG_TRACE,
             "     FreeChannel - Free'ing socket info at 0x%lx; count = %d; bPort = %d\n",
             (LONG)lpPPI->hSocketInfoArray, lpPPI->bSocketInfoCount, bPort);
      UnlockAllMLCCheck(bPort, lpPPI->hSocketInfoArray);
      FreeMLCCheck(bPort, lpPPI->hSocketInfoArray);
      lpPPI->hSocketInfoArray = 0;
    }
    lpPPI->bSocketInfoCount = 0;
    lpPPI->fMlcInitDone = FALSE;
  } else if (lpPPI->bChannelsUsed > 0) {
    lpPPI->bChannelsUsed--;
  }
  CountChannelDown();
  lpPPI->dwBusyFlags &= ~(DWORD)BUSY_FREE_CHANNEL;
  ReleasePPI(bPort);
}
