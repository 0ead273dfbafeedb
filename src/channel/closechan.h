// Closing a channel: the one path by which a channel ends.
#pragma once

#include <windows.h>

// Closes the channel hChannel (port << 8 | host socket id). fSendClose asks
// the peripheral to close it first; fNotifyClient tells the client.
// 1, MLC_INVALID_HANDLE or MLC_CLOSE_FAILED.
LONG CloseChannel(WORD hChannel, BOOL fSendClose, BOOL fNotifyClient);
// Frees what the record of slot bIndex owns, tells its windows of the
// disconnection (the client only with fNotifyClient and its own consent),
// frees the record and empties the slot. Counts nothing down.
void DiscardChannelRecord(BYTE bPort, BYTE bIndex, BOOL fNotifyClient);
