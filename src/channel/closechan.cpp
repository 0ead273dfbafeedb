// SEAM: the close exchange and the freeing of a channel's record, buffers
// and slot arrive with the channel-closing work. Until channels can be
// opened there is none to close; the teardown at detach already calls this
// for every slot of a port.
#include "channel/closechan.h"

#include "krzmlc15.h"

LONG CloseChannel(WORD hChannel, BOOL fSendClose, BOOL fNotifyClient) {
  (void)hChannel;
  (void)fSendClose;
  (void)fNotifyClient;
  return MLC_SUCCESS;
}
