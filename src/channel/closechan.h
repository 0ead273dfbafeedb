// Closing a channel: the one path by which a channel ends.
#pragma once

#include <windows.h>

// Closes the channel hChannel (port << 8 | host socket id). fSendClose asks
// the peripheral to close it first; fNotifyClient tells the client.
// 1, MLC_INVALID_HANDLE or MLC_CLOSE_FAILED.
LONG CloseChannel(WORD hChannel, BOOL fSendClose, BOOL fNotifyClient);
