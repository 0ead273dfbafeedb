// The channel table of a port: handle checks and the view across ports.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

BOOL CheckPortAndHsid(BYTE bPort, BYTE bHsid) {
  if (bPort >= MLC_PORT_COUNT || bHsid < MLC_FIRST_HSID) return FALSE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  BOOL fValid = lpPPI->fMlcInitDone && bIndex < lpPPI->bChannelsAllocated &&
                lpPPI->hChanPtrArray != 0 && ValidChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return fValid;
}

BOOL AllChannelsClosed() {
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    // A port busy elsewhere may be resetting and looking at ours: never
    // wait for it without limit; count it as in use.
    PerPortInfo* lpPPI = CheckPPI(bPort);
    if (!lpPPI) return FALSE;
    BYTE bUsed = lpPPI->bChannelsUsed;
    ReleasePPI(bPort);
    if (bUsed) return FALSE;
  }
  return TRUE;
}

LinkStamp TakeLinkStamp(BYTE bPort, BYTE bIndex) {
  LinkStamp stamp = {FALSE, 0, 0};
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  stamp.fMlcInitDone = lpPPI->fMlcInitDone;
  stamp.hChanPtrArray = lpPPI->hChanPtrArray;
  if (lpPPI->hChanPtrArray && bIndex < lpPPI->bChannelsAllocated) {
    const HMEMBLOCK* lpTable = (const HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray);
    if (lpTable) {
      stamp.hRecord = lpTable[bIndex];
      UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
    }
  }
  ReleasePPI(bPort);
  return stamp;
}

BOOL LinkStampValid(BYTE bPort, BYTE bIndex, const LinkStamp& stamp) {
  LinkStamp now = TakeLinkStamp(bPort, bIndex);
  return now.hChanPtrArray != 0 && now.hRecord != 0 && now.fMlcInitDone == stamp.fMlcInitDone &&
         now.hChanPtrArray == stamp.hChanPtrArray && now.hRecord == stamp.hRecord;
}
