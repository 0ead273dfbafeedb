// Message (packet) channels: every message is one data packet. Incoming
// messages wait in the channel's one or two receive slots; outgoing ones go
// out at once with credit, else wait in the channel's send queue.
#pragma once

#include <windows.h>

#include "channel/chanrec.h"

// Reads the oldest waiting message into lpBuffer (iRequestLength bytes of
// room; a null lpBuffer asks for its length, 0 when none): its length, or
// MLC_INVALID_HANDLE, MLC_NO_MESSAGE, MLC_BUFFER_TOO_SMALL (the message
// stays). With fBlock an empty channel is waited on for at most dwTimeOut
// ms (INFINITE: no limit): MLC_TIME_OUT, MLC_PHYSICAL_LINK_FAILURE (the
// channel went away meanwhile), MLC_SYSTEM_FAILURE (no wait possible).
int CopyPacketData(DWORD hChannel, LPVOID lpBuffer, int iRequestLength, WORD fBlock,
                   DWORD dwTimeOut);
// Sends one message of iLength bytes, or queues it while the peripheral
// grants no credit (a null lpBuffer asks for the longest message that
// would go out now, 0 when none would): the length, or MLC_INVALID_HANDLE,
// MLC_INVALID_LENGTH (empty, or longer than the socket's packets),
// MLC_PHYSICAL_LINK_FAILURE (credit could not be asked for), MLC_NO_MEMORY,
// MLC_WRITE_FAILURE (the link has been reset), MLC_CHANNEL_BUSY (with
// fBlock: no credit, or messages queued; without: the queue is full).
int WritePacketData(DWORD hChannel, LPCVOID lpBuffer, int iLength, WORD fBlock);

// Appends a message to the channel's send queue: 1, MLC_NO_MEMORY,
// MLC_SYSTEM_FAILURE when the queue's tail does not lock (nothing changed),
// or MLC_CHANNEL_BUSY when MLC_MAX_QUEUED_MSGS wait already.
int QueueMessage(MessageChannel* lpMsgChan, const BYTE* lpData, WORD wLength);
// Sends every queued message the channel's credit allows, oldest first: 1,
// or MLC_WRITE_FAILURE (the link has been reset; the record must not be
// touched before it is re-validated).
int DrainMessageQueue(BYTE bPort, MessageChannel* lpMsgChan);
// Sends one message now, spending one credit: TRUE, or FALSE when it could
// not go out (the link has been reset).
BOOL SendMessageNow(BYTE bPort, MessageChannel* lpMsgChan, const BYTE* lpData, WORD wLength);

