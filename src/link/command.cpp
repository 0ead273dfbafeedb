// Command-channel packets: reading the payload and handing it to the reply
// or the peripheral-command handler.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/cmdproc.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"

int RefusePacket(BYTE bPort, BYTE bCode) {
  SendErrorPacket(bPort, bCode, TRUE);
  return MLC_UNRECOVERABLE_ERROR;
}

BYTE ChannelTypeOfHsid(BYTE bPort, BYTE bHsid) {
  if (bPort >= MLC_PORT_COUNT || bHsid < MLC_FIRST_HSID) return 0;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  BYTE bType = 0;
  if (lpPPI->hChanPtrArray && bIndex < lpPPI->bChannelsAllocated) bType = GetTypeIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return bType;
}

int ProcessMLCPacket(BYTE bPort, WORD wPayloadLength, BYTE* lpbCommand, BYTE bChannelContext) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  int iResult = ProcessMLCPacketLock(bPort, lpPPI, wPayloadLength, lpbCommand, bChannelContext);
  ReleasePPI(bPort);
  return iResult;
}

int ProcessMLCPacketLock(BYTE bPort, PerPortInfo* lpPPI, WORD wPayloadLength, BYTE* lpbCommand,
                         BYTE bChannelContext) {
  BYTE bChannelType = 0;
  if (bChannelContext != 0) {
    bChannelType = ChannelTypeOfHsid(bPort, bChannelContext);
    if (bChannelType == 0) {
      MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - cannot determine channel type\n");
      return RefusePacket(bPort, MLC_ERROR_NO_CHANNEL_RECORD);
    }
  }
  if (wPayloadLength > MLC_MAX_COMMAND_PAYLOAD) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - packet length too large = %d\n", wPayloadLength);
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  }
  // A packet without payload has no command byte: a malformed packet.
  if (wPayloadLength == 0) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - packet without command byte\n");
    return RefusePacket(bPort, MLC_ERROR_BAD_LENGTH);
  }
  BYTE abPayload[MLC_MAX_COMMAND_PAYLOAD];
  DWORD cbRead = 0;
  int iRead =
      MultiVCOMMRead(lpPPI, abPayload, wPayloadLength, &cbRead, (DWORD)gMLC_Inter_Packet_Time_Out);
  if (iRead != MLC_PACKET_SUCCESSFUL || cbRead != wPayloadLength) {
    MLCLOG(DBG_ERROR, "!   ProcessMLCPacket - packet bytes read %d != remainder of packet %d\n",
           (int)cbRead, wPayloadLength);
    return RefusePacket(bPort, MLC_ERROR_SHORT_PACKET);
  }
  *lpbCommand = abPayload[0];
  if (abPayload[0] & MLC_REPLY)
    return ProcessMLCReply(bPort, lpPPI, abPayload, wPayloadLength, bChannelContext, bChannelType);
  return ProcessPeerCommand(bPort, lpPPI, abPayload, wPayloadLength);
}
