// SEAM: message channels (receive slots, the send queue) arrive with the
// message-channel work. A packet channel opens with its receive slots, but
// until then a message arriving on it is refused as sent without credit.
#include "data/dispatch.h"
#include "debug/cm_debug.h"
#include "krzmlc15.h"
#include "link/link.h"

int ProcessMessagePacket(BYTE bPort, MessageChannel* lpMsgChan, const BYTE* lpHeader) {
  (void)lpMsgChan;
  (void)lpHeader;
  SendErrorPacket(bPort, MLC_ERROR_NO_CREDIT, TRUE);
  return MLC_UNRECOVERABLE_ERROR;
}

int SendNextMessage(BYTE bPort, MessageChannel* lpMsgChan) {
  (void)bPort;
  (void)lpMsgChan;
  return MLC_SUCCESS;  // nothing can be queued before message writes exist
}
