// The channel table and the channel records, in a port's shared area.
//
// A port's channel table (PerPortInfo.hChanPtrArray) is an array of
// bChannelsAllocated block handles; slot i holds the record of host socket
// 0x80 + i, or 0 when free. The records are packed: their layout is the
// same in every process that maps the port area.
#pragma once

#include <windows.h>

#include "krzmem15.h"

#pragma pack(push, 1)

// Record of a STREAM channel (bType 1).
struct StreamChannel {
  BYTE bType;                 // MLC_STREAM_CHANNEL
  BYTE bPsid;                 // peripheral socket id
  BYTE bHsid;                 // host socket id, 0x80 + slot
  BYTE bPort;                 // port 0..2
  DWORD fChannelOpen;         // the peripheral confirmed the channel
  DWORD fNotifyOnClose;       // tell the client MLC_DISCONNECT on close
  DWORD fPostReadStream;      // notify the next data arrival
  BYTE bFlags;                // STREAM_HAS_BUFFER
  DWORD fRequestedCredits;    // waiting for MLC_CREDIT after a request
  HMEMBLOCK hBuffer;          // receive ring buffer, 0 = none
  LONG lWritePos;             // ring offset of the next byte to store
  LONG lReadPos;              // ring offset of the next byte to read
  LONG lLastPos;              // end of the ring (buffer size)
  LONG wAllocated;            // buffer size in bytes
  LONG wLength;               // bytes stored, not yet read
  LONG wAvailBytes;           // bytes freed, not yet granted as credit
  LONG wPtoHMark;             // smallest batch of credit given back
  LONG wPeriPtoHCredits;      // credits the peripheral holds
  DWORD wHostHtoPCredits;     // credits the host holds
  DWORD hAppWnd;              // client window, 0 = none
  DWORD hMlcWnd;              // window of a blocking call in progress
  DWORD hCallBackWnd;         // callback window, 0 = none
  WORD wAppMsg;               // message posted to hAppWnd
  DWORD dwAppData;            // client value (low 16 bits)
  ULONG_PTR lpfnCallBack;     // client callback in the opening process, 0 = none
  WORD wSocketIdx;            // index of the socket entry
  DWORD dwCreditRequestTime;  // tick when the credit wait began
};

// StreamChannel.bFlags
#define STREAM_HAS_BUFFER 0x01

// Record of a PACKET channel (bType 2).
struct MessageChannel {
  BYTE bType;  // MLC_PACKET_CHANNEL
  BYTE bPsid;
  BYTE bHsid;
  BYTE bPort;
  DWORD fChannelOpen;
  DWORD fNotifyOnClose;
  WORD wHostHtoPCredits;  // messages the host may still send
  BYTE bQueuedMsgs;       // outgoing messages waiting for credit
  DWORD hAppWnd;
  DWORD hMlcWnd;
  DWORD hCallBackWnd;
  WORD wAppMsg;
  DWORD dwAppData;
  ULONG_PTR lpfnCallBack;
  BYTE bSlotCount;          // receive slots allocated (1 or 2)
  LONG lReadSlot;           // slot of the oldest unread message, -1 = none
  WORD wSlotLength[2];      // bytes of the message in each slot
  HMEMBLOCK hSlot[2];       // receive slots
  HMEMBLOCK hMsgQueueHead;  // first queued outgoing message, 0 = none
  HMEMBLOCK hMsgQueueTail;  // last queued outgoing message
  WORD wSocketIdx;
  // The host's own books of the credit it grants: messages the peripheral
  // may still send, and grants its messages could not carry because the
  // receive slots had no room (given once a read frees a slot).
  WORD wPeriPtoHCredits;
  WORD wOwedCredits;
};

// The send queue of a message channel holds at most this many messages.
#define MLC_MAX_QUEUED_MSGS 255

// One outgoing message waiting for credit; the message bytes follow.
struct QueuedMessage {
  WORD wMsgLength;  // data bytes
  HMEMBLOCK hNext;  // next node, 0 at the tail
};

// One configured peripheral socket: an entry of the port's socket array.
// Handed to clients as it stands.
struct SocketInfo {
  BYTE bPsid;            // the socket this entry configures
  BYTE bHostRevision;    // host's revision when configured
  BYTE bPeerRevision;    // peripheral's revision when configured
  WORD wHtoPPacketSize;  // largest payload host to peripheral
  WORD wPtoHPacketSize;  // largest payload peripheral to host (one credit)
  BYTE bStatusLevel;     // status level the peripheral accepted
};

#pragma pack(pop)

// Size of one entry of a port's socket array.
#define SOCKET_INFO_SIZE 8
static_assert(sizeof(SocketInfo) == SOCKET_INFO_SIZE, "packed socket entry");

// Client callback pointers are pointer-wide: 4 bytes on the shipped 32-bit
// build, 8 on 64-bit builds, so the records are 4 bytes longer there.
static_assert(sizeof(StreamChannel) == 85 + sizeof(ULONG_PTR), "packed stream record");
static_assert(sizeof(MessageChannel) == 64 + sizeof(ULONG_PTR), "packed message record");
static_assert(sizeof(QueuedMessage) == 6, "packed queue node");
