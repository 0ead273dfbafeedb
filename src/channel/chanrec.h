// The channel table and the channel records, in a port's shared area.
//
// A port's channel table (PerPortInfo.hChanPtrArray) is an array of
// bChannelsAllocated block handles; slot i holds the record of host socket
// 0x80 + i, or 0 when free. The records are packed and hold no pointers:
// their layout is the same in every process that maps the port area, 32-bit
// and 64-bit alike. The client callback is kept as a key into the opening
// process's callback table (notify/cbtable.h).
#pragma once

#include <windows.h>

#include "krzmem15.h"
#include "shared/layout.h"

// StreamChannel, MessageChannel, QueuedMessage and SocketInfo, with the
// assertions of their sizes and offsets: shared/layout.h.

// The send queue of a message channel holds at most this many messages.
#define MLC_MAX_QUEUED_MSGS 255
