// Data packets from the peripheral and the send queue of message channels.
#pragma once

#include <windows.h>

#include "channel/chanrec.h"

// A data packet whose header has been read (payload length in native order
// in bytes 2-3): MLC_PACKET_SUCCESSFUL, or MLC_UNRECOVERABLE_ERROR when it
// was refused or its payload did not arrive.
int ProcessDataPacket(BYTE bPort, const BYTE* lpHeader);
// Stores one packet into a stream channel's ring; the record is locked by
// the caller. Same results.
int ProcessStreamData(BYTE bPort, StreamChannel* lpStream, const BYTE* lpHeader);
// Stores one message of a message channel. Same results.
int ProcessMessagePacket(BYTE bPort, MessageChannel* lpMsgChan, const BYTE* lpHeader);
// Sends the oldest queued message of a message channel when credit allows:
// 1, or MLC_WRITE_FAILURE.
int SendNextMessage(BYTE bPort, MessageChannel* lpMsgChan);
