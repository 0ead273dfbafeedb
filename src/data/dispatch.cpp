// Data packets: checked against the port's channel table and handed to the
// stream or message receiver of their channel.
#include "data/dispatch.h"

#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "shared/locks.h"

int ProcessDataPacket(BYTE bPort, const BYTE* lpHeader) {
  BYTE bHsid = lpHeader[0];
  WORD wPayload;
  CopyMemory(&wPayload, lpHeader + 2, sizeof(wPayload));
  if (CheckPortAndHsid(bPort, bHsid)) {
    ObtainPPI(bPort);
    BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
    BYTE bType = GetTypeIdx(bPort, bIndex);
    LPVOID lpRecord = LockChannelIdx(bPort, bIndex);
    if (bType == MLC_STREAM_CHANNEL)
      MLCLOG(DBG_TRACE, "    ProcessDataPacket: bType (STREAM) %d ;       pStreamCH = 0x%lx\n",
             bType, (ULONG)(ULONG_PTR)lpRecord);
    else
      MLCLOG(DBG_TRACE, "    ProcessDataPacket: bType (PACKET) %d ;       pMessageCH = 0x%lx\n",
             bType, (ULONG)(ULONG_PTR)lpRecord);
    if (lpRecord && ((const StreamChannel*)lpRecord)->bPsid == lpHeader[1]) {
      LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
      int iResult = bType == MLC_STREAM_CHANNEL
                        ? ProcessStreamData(bPort, (StreamChannel*)lpRecord, lpHeader)
                        : ProcessMessagePacket(bPort, (MessageChannel*)lpRecord, lpHeader);
      // A failed error packet resets the link, which frees the record.
      if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
      ReleasePPI(bPort);
      return iResult;
    }
    if (lpRecord) UnlockChannelIdx(bPort, bIndex);
    ReleasePPI(bPort);
  } else if (wPayload == 0) {
    return MLC_PACKET_SUCCESSFUL;  // nothing to flush, nobody's credit spent
  }
  MLCLOG(DBG_ERROR, "ProcessDataPacket - invalid header = %02x %02x %02x %02x %02x %02x\n",
         lpHeader[0], lpHeader[1], lpHeader[2], lpHeader[3], lpHeader[4], lpHeader[5]);
  SendErrorPacket(bPort, MLC_ERROR_BAD_SOCKET, TRUE);
  return MLC_UNRECOVERABLE_ERROR;
}
