// The check of a port's receive-credit books (channel/creditcheck.h).
#include "channel/creditcheck.h"

#include <stdio.h>

#include "channel/channel.h"
#include "notify/retrieve.h"
#include "shared/locks.h"

namespace {

// An empty string when the stream record's books hold, else what is off.
void CheckStream(BYTE bPort, const StreamChannel* lpStream, char* lpszWhy, DWORD cchWhy) {
  if (!(lpStream->bFlags & STREAM_HAS_BUFFER) || (lpStream->bFlags & STREAM_DIRECT_READ)) return;
  const PerPortInfo* lpPPI = &pPerPortInfo[bPort];
  WORD wSocketIdx = lpStream->wSocketIdx;
  if (!lpPPI->hSocketInfoArray || wSocketIdx >= lpPPI->bSocketInfoCount) return;
  const SocketInfo* lpSocket = (const SocketInfo*)LockSocketIdx(bPort, wSocketIdx);
  if (!lpSocket) return;
  LONG P = lpSocket->wPtoHPacketSize;
  UnlockSocketIdx(bPort, wSocketIdx);
  if (P <= 0) return;
  LONG lBooked = lpStream->wLength + lpStream->wAvailBytes + P * lpStream->wPeriPtoHCredits;
  LONG lGranted = P * (lpStream->wAllocated / P);
  if (lBooked != lGranted || lpStream->wLength < 0 || lpStream->wAvailBytes < 0 ||
      lpStream->wPeriPtoHCredits < 0)
    snprintf(lpszWhy, cchWhy,
             "stream 0x%02X: %ld stored + %ld free + %ld x %ld held != %ld granted",
             lpStream->bHsid, (long)lpStream->wLength, (long)lpStream->wAvailBytes, (long)P,
             (long)lpStream->wPeriPtoHCredits, (long)lGranted);
}

void CheckMessages(const MessageChannel* lpMsgChan, char* lpszWhy, DWORD cchWhy) {
  int iSlots = lpMsgChan->bSlotCount < 2 ? lpMsgChan->bSlotCount : 2;
  int iUnread = 0;
  for (int iSlot = 0; iSlot < iSlots; ++iSlot)
    if (lpMsgChan->wSlotLength[iSlot] != 0) ++iUnread;
  if (iUnread + lpMsgChan->wPeriPtoHCredits > iSlots)
    snprintf(lpszWhy, cchWhy, "messages 0x%02X: %d unread + %d held > %d slots", lpMsgChan->bHsid,
             iUnread, (int)lpMsgChan->wPeriPtoHCredits, iSlots);
}

}  // namespace

BOOL CreditBooksHold(BYTE bPort, char* lpszWhy, DWORD cchWhy) {
  char szWhy[160] = "";
  if (bPort >= MLC_PORT_COUNT) return TRUE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  for (BYTE bIndex = 0; lpPPI->fMlcInitDone && lpPPI->hChanPtrArray &&
                        bIndex < lpPPI->bChannelsAllocated && !szWhy[0];
       ++bIndex) {
    BYTE bType = GetTypeIdx(bPort, bIndex);
    const void* lpRecord = bType ? LockChannelIdx(bPort, bIndex) : NULL;
    if (!lpRecord) continue;
    if (((const StreamChannel*)lpRecord)->fChannelOpen == 1) {
      if (bType == MLC_STREAM_CHANNEL)
        CheckStream(bPort, (const StreamChannel*)lpRecord, szWhy, sizeof szWhy);
      else
        CheckMessages((const MessageChannel*)lpRecord, szWhy, sizeof szWhy);
    }
    UnlockChannelIdx(bPort, bIndex);
  }
  ReleasePPI(bPort);
  if (lpszWhy && cchWhy) lstrcpynA(lpszWhy, szWhy, (int)cchWhy);
  return szWhy[0] == 0;
}
