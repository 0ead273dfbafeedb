// SEAM: storing stream data and message reception arrive with the data
// paths. Until channels can be opened, every data packet names a host
// socket without a channel and is refused here as the peripheral's error.
#include "data/dispatch.h"

#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "krzmlc15.h"
#include "link/link.h"

int ProcessDataPacket(BYTE bPort, const BYTE* lpHeader) {
  BOOL fValid = CheckPortAndHsid(bPort, lpHeader[0]);
  MLCLOG(DBG_ERROR, "ProcessDataPacket - invalid header = %02x %02x %02x %02x %02x %02x\n",
         lpHeader[0], lpHeader[1], lpHeader[2], lpHeader[3], lpHeader[4], lpHeader[5]);
  (void)fValid;
  SendErrorPacket(bPort, MLC_ERROR_BAD_SOCKET, TRUE);
  return MLC_UNRECOVERABLE_ERROR;
}

int SendNextMessage(BYTE bPort, MessageChannel* lpMsgChan) {
  (void)bPort;
  (void)lpMsgChan;
  return MLC_SUCCESS;  // nothing can be queued before message writes exist
}
