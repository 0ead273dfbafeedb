// Data packets from the peripheral and the send queue of message channels.
#pragma once

#include <windows.h>

#include "channel/chanrec.h"

// A data packet whose header (payload length in native order in bytes 2-3)
// has been read: MLC_PACKET_SUCCESSFUL or MLC_UNRECOVERABLE_ERROR.
int ProcessDataPacket(BYTE bPort, const BYTE* lpHeader);
// Sends the oldest queued message of a message channel when credit allows:
// 1, or MLC_WRITE_FAILURE.
int SendNextMessage(BYTE bPort, MessageChannel* lpMsgChan);
