// Channel records and socket entries reached by slot or entry index.
//
// The channel table is locked only long enough to read a slot's handle; a
// record returned by LockChannelIdx stays locked after the port's mutex has
// been released, and its contents stay guarded by callers holding it. An
// index past the table or the socket array names nothing: the blocks end
// there, and what follows them belongs to other records.
#include "channel/chanrec.h"
#include "debug/cm_debug.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

// Locks the port's channel table; NULL when the port has none or bIndex
// lies past it. A non-NULL result is unlocked by the caller.
static HMEMBLOCK* LockTable(BYTE bPort, const PerPortInfo* lpPPI, BYTE bIndex) {
  if (!lpPPI->hChanPtrArray || bIndex >= lpPPI->bChannelsAllocated) return NULL;
  return (HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray);
}

BYTE GetTypeIdx(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE bType = 0;
  HMEMBLOCK* lpTable = LockTable(bPort, lpPPI, bIndex);
  if (lpTable) {
    HMEMBLOCK hRecord = lpTable[bIndex];
    if (hRecord) {
      const BYTE* lpRecord = (const BYTE*)LockMLCCheck(bPort, hRecord);
      if (lpRecord) {
        bType = lpRecord[0];
        UnlockMLCCheck(bPort, hRecord);
      }
    }
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  }
  ReleasePPI(bPort);
  return bType;
}

LPVOID LockChannelIdx(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  LPVOID lpRecord = NULL;
  HMEMBLOCK* lpTable = LockTable(bPort, lpPPI, bIndex);
  if (lpTable) {
    lpRecord = LockMLCCheck(bPort, lpTable[bIndex]);
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  }
  ReleasePPI(bPort);
  return lpRecord;
}

void UnlockChannelIdx(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  HMEMBLOCK* lpTable = LockTable(bPort, lpPPI, bIndex);
  if (lpTable) {
    UnlockMLCCheck(bPort, lpTable[bIndex]);
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  }
  ReleasePPI(bPort);
}

BOOL ValidChannelIdx(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BOOL fValid = FALSE;
  HMEMBLOCK* lpTable = LockTable(bPort, lpPPI, bIndex);
  if (lpTable) {
    fValid = lpTable[bIndex] != 0;
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  }
  ReleasePPI(bPort);
  return fValid;
}

// A message channel's send queue is a chain of blocks, each naming the next.
// The walk stops after as many nodes as a port area could ever hold, so a
// damaged chain cannot keep it going forever.
static void UnlockAllQueuedMessages(BYTE bPort, HMEMBLOCK hMessage) {
  for (DWORD dwNodes = 0; hMessage && dwNodes < 0x10000; ++dwNodes) {
    const QueuedMessage* lpMessage = (const QueuedMessage*)LockMLCCheck(bPort, hMessage);
    if (!lpMessage) break;
    HMEMBLOCK hNext = lpMessage->hNext;
    UnlockAllMLCCheck(bPort, hMessage);  // also undoes the lock just taken
    hMessage = hNext;
  }
}

void UnlockAllLocksChannelIdx(BYTE bPort, BYTE bIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  HMEMBLOCK* lpTable = LockTable(bPort, lpPPI, bIndex);
  if (lpTable) {
    HMEMBLOCK hRecord = lpTable[bIndex];
    const BYTE* lpRecord = hRecord ? (const BYTE*)LockMLCCheck(bPort, hRecord) : NULL;
    if (lpRecord) {
      if (lpRecord[0] == MLC_STREAM_CHANNEL) {
        const StreamChannel* lpStream = (const StreamChannel*)lpRecord;
        if (lpStream->hBuffer) UnlockAllMLCCheck(bPort, lpStream->hBuffer);
      } else {
        const MessageChannel* lpMsgChan = (const MessageChannel*)lpRecord;
        for (int iSlot = 0; iSlot < 2; ++iSlot) {
          if (lpMsgChan->hSlot[iSlot]) UnlockAllMLCCheck(bPort, lpMsgChan->hSlot[iSlot]);
        }
        UnlockAllQueuedMessages(bPort, lpMsgChan->hMsgQueueHead);
      }
      UnlockAllMLCCheck(bPort, hRecord);  // also undoes the lock just taken
    }
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  }
  ReleasePPI(bPort);
}

LPVOID LockChannelOfType(BYTE bPort, BYTE bIndex, BYTE bType) {
  ObtainPPI(bPort);
  const BYTE* lpRecord = (const BYTE*)LockChannelIdx(bPort, bIndex);
  if (lpRecord && lpRecord[0] != bType) {
    UnlockChannelIdx(bPort, bIndex);
    lpRecord = NULL;
  }
  ReleasePPI(bPort);
  return (LPVOID)lpRecord;
}

LPVOID LockSocketIdx(BYTE bPort, WORD wIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE* lpSockets =
      wIndex < lpPPI->bSocketInfoCount ? (BYTE*)LockMLCCheck(bPort, lpPPI->hSocketInfoArray) : NULL;
  ReleasePPI(bPort);
  return lpSockets ? lpSockets + (DWORD)wIndex * SOCKET_INFO_SIZE : NULL;
}

void UnlockSocketIdx(BYTE bPort, WORD wIndex) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (wIndex < lpPPI->bSocketInfoCount) UnlockMLCCheck(bPort, lpPPI->hSocketInfoArray);
  ReleasePPI(bPort);
}
