/* The records in shared memory, in plain C: one definition for the library,
 * for the status tool that reads them, and for the C layout check.
 *
 * 32-bit and 64-bit processes map the same areas, so no record holds a
 * pointer or anything pointer-wide: block handles, window handles and the
 * callback key are 32-bit values. MlcGlobalData and PerPortInfo use natural
 * alignment of 32-bit fields; the channel records, the queue node and the
 * socket entry are packed. The assertions at the end fix every size and
 * the offsets other processes rely on, in every build. */
#ifndef KRZMLC15_LAYOUT_H
#define KRZMLC15_LAYOUT_H

#include <stddef.h>
#include <windows.h>

#include "krzmem15.h"

#ifdef __cplusplus
#define MLC_LAYOUT_ASSERT(cond, what) static_assert(cond, what)
#else
#define MLC_LAYOUT_ASSERT(cond, what) _Static_assert(cond, what)
#endif

/* The "GLOBAL" block of the global area. */
typedef struct MlcGlobalData {
  DWORD hHiddenWnd;          /* helper process window, 0 = none */
  WORD wTotalChannelsOpened; /* channels open on all ports together */
  WORD wPollTimerId;         /* 0 none, 18 short timer, 19 long timer */
  BOOL bMLCSetupDone;        /* MLCSetup has run */
  DWORD dwMlcAttachCount;    /* attached processes */
} MlcGlobalData;

/* Poll statistics of one poll type (the exported PollStats record). */
typedef struct PollStat {
  DWORD dwPacketPolls; /* polls that handled a packet */
  DWORD dwEmptyPolls;  /* polls that found nothing */
} PollStat;

/* One record per port, one after the other in the "PORTS" block. */
typedef struct PerPortInfo {
  BOOL fMlcInitDone;          /* the MLC link of the port is up */
  BYTE bHostRevision;         /* revision the host offers (3) */
  BYTE bPeerRevision;         /* revision of the peripheral's MLC_INIT_REPLY */
  BYTE bLastMlcCommand;       /* command awaiting its reply, NO_COMMAND when none */
  BYTE bChannelsAllocated;    /* slots in the channel table */
  BYTE bChannelsUsed;         /* slots holding a channel */
  HMEMBLOCK hChanPtrArray;    /* channel table: bChannelsAllocated block handles */
  HMEMBLOCK hSocketInfoArray; /* bSocketInfoCount socket entries of 8 bytes */
  HMEMBLOCK hDeviceID;        /* device ID read at link initialisation */
  BYTE bSocketInfoCount;      /* entries in hSocketInfoArray */
  DWORD dwBusyFlags;          /* BUSY_* re-entry guards */
  DWORD dwIdlePolls;          /* consecutive polls without data */
  INT iRedirectCount;         /* redirections of the port */
  LONG lLastLinkError;        /* last link error of the port */
  PollStat PollStats[3];      /* per poll type 0, 1, 2 */
} PerPortInfo;

#pragma pack(push, 1)

/* Record of a STREAM channel (bType 1). */
typedef struct StreamChannel {
  BYTE bType;                /* MLC_STREAM_CHANNEL */
  BYTE bPsid;                /* peripheral socket id */
  BYTE bHsid;                /* host socket id, 0x80 + slot */
  BYTE bPort;                /* port 0..2 */
  DWORD fChannelOpen;        /* the peripheral confirmed the channel */
  DWORD fNotifyOnClose;      /* tell the client MLC_DISCONNECT on close */
  DWORD fPostReadStream;     /* notify the next data arrival */
  BYTE bFlags;               /* STREAM_HAS_BUFFER */
  DWORD fRequestedCredits;   /* waiting for MLC_CREDIT after a request */
  HMEMBLOCK hBuffer;         /* receive ring buffer, 0 = none */
  LONG lWritePos;            /* ring offset of the next byte to store */
  LONG lReadPos;             /* ring offset of the next byte to read */
  LONG lLastPos;             /* end of the ring (buffer size) */
  LONG wAllocated;           /* buffer size in bytes */
  LONG wLength;              /* bytes stored, not yet read */
  LONG wAvailBytes;          /* bytes freed, not yet granted as credit */
  LONG wPtoHMark;            /* smallest batch of credit given back */
  LONG wPeriPtoHCredits;     /* credits the peripheral holds */
  DWORD wHostHtoPCredits;    /* credits the host holds */
  DWORD hAppWnd;             /* client window, 0 = none */
  DWORD hMlcWnd;             /* window of a blocking call in progress */
  DWORD hCallBackWnd;        /* callback window, 0 = none */
  WORD wAppMsg;              /* message posted to hAppWnd */
  DWORD dwAppData;           /* client value (low 16 bits) */
  DWORD lpfnCallBack;        /* callback key of the opening process, 0 = none */
  WORD wSocketIdx;           /* index of the socket entry */
  DWORD dwCreditRequestTime; /* tick when the credit wait began */
  /* Who opened the channel: the process id and that process's serial
   * number of the open. A handle kept across a link reset is told from the
   * open that took its slot since by these. Appended, so every field above
   * keeps its offset. */
  DWORD dwOpenProcess;
  DWORD dwOpenSerial;
} StreamChannel;

/* Record of a PACKET channel (bType 2). */
typedef struct MessageChannel {
  BYTE bType; /* MLC_PACKET_CHANNEL */
  BYTE bPsid;
  BYTE bHsid;
  BYTE bPort;
  DWORD fChannelOpen;
  DWORD fNotifyOnClose;
  WORD wHostHtoPCredits; /* messages the host may still send */
  BYTE bQueuedMsgs;      /* outgoing messages waiting for credit */
  DWORD hAppWnd;
  DWORD hMlcWnd;
  DWORD hCallBackWnd;
  WORD wAppMsg;
  DWORD dwAppData;
  DWORD lpfnCallBack;      /* callback key of the opening process, 0 = none */
  BYTE bSlotCount;         /* receive slots allocated (1 or 2) */
  LONG lReadSlot;          /* slot of the oldest unread message, -1 = none */
  WORD wSlotLength[2];     /* bytes of the message in each slot */
  HMEMBLOCK hSlot[2];      /* receive slots */
  HMEMBLOCK hMsgQueueHead; /* first queued outgoing message, 0 = none */
  HMEMBLOCK hMsgQueueTail; /* last queued outgoing message */
  WORD wSocketIdx;
  /* The host's own books of the credit it grants: messages the peripheral
   * may still send, and grants its messages could not carry because the
   * receive slots had no room (given once a read frees a slot). Appended,
   * so every field above keeps its offset. */
  WORD wPeriPtoHCredits;
  WORD wOwedCredits;
  /* Who opened the channel, as in StreamChannel. */
  DWORD dwOpenProcess;
  DWORD dwOpenSerial;
} MessageChannel;

/* One outgoing message waiting for credit; the message bytes follow. */
typedef struct QueuedMessage {
  WORD wMsgLength; /* data bytes */
  HMEMBLOCK hNext; /* next node, 0 at the tail */
} QueuedMessage;

/* One configured peripheral socket: an entry of the port's socket array.
 * Handed to clients as it stands (MLCGetSocketInfo). */
typedef struct SocketInfo {
  BYTE bPsid;           /* the socket this entry configures */
  BYTE bHostRevision;   /* host's revision when configured */
  BYTE bPeerRevision;   /* peripheral's revision when configured */
  WORD wHtoPPacketSize; /* largest payload host to peripheral */
  WORD wPtoHPacketSize; /* largest payload peripheral to host (one credit) */
  BYTE bStatusLevel;    /* status level the peripheral accepted */
} SocketInfo;

#pragma pack(pop)

/* StreamChannel.bFlags */
#define STREAM_HAS_BUFFER 0x01

/* Size of one entry of a port's socket array. */
#define SOCKET_INFO_SIZE 8

MLC_LAYOUT_ASSERT(sizeof(MlcGlobalData) == 16, "the GLOBAL block holds exactly this record");
MLC_LAYOUT_ASSERT(offsetof(MlcGlobalData, wPollTimerId) == 6, "global record layout");
MLC_LAYOUT_ASSERT(offsetof(MlcGlobalData, dwMlcAttachCount) == 12, "global record layout");
MLC_LAYOUT_ASSERT(sizeof(PollStat) == 8, "poll statistics");
MLC_LAYOUT_ASSERT(sizeof(PerPortInfo) == 68, "port record");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, bChannelsUsed) == 8, "port record layout");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, hChanPtrArray) == 12, "port record layout");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, bSocketInfoCount) == 24, "port record layout");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, dwBusyFlags) == 28, "port record layout");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, lLastLinkError) == 40, "port record layout");
MLC_LAYOUT_ASSERT(offsetof(PerPortInfo, PollStats) == 44, "port record layout");
MLC_LAYOUT_ASSERT(sizeof(StreamChannel) == 97, "stream record");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, fChannelOpen) == 4, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, bFlags) == 16, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, hBuffer) == 21, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, wLength) == 41, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, wHostHtoPCredits) == 57, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, hAppWnd) == 61, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, wAppMsg) == 73, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, lpfnCallBack) == 79, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, wSocketIdx) == 83, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, dwCreditRequestTime) == 85, "stream record layout");
MLC_LAYOUT_ASSERT(offsetof(StreamChannel, dwOpenSerial) == 93, "stream record layout");
MLC_LAYOUT_ASSERT(sizeof(MessageChannel) == 76, "message record");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, fNotifyOnClose) == 8, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, wHostHtoPCredits) == 12, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, hAppWnd) == 15, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, lpfnCallBack) == 33, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, lReadSlot) == 38, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, hSlot) == 46, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, hMsgQueueTail) == 58, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, wSocketIdx) == 62, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, wOwedCredits) == 66, "message record layout");
MLC_LAYOUT_ASSERT(offsetof(MessageChannel, dwOpenSerial) == 72, "message record layout");
MLC_LAYOUT_ASSERT(sizeof(QueuedMessage) == 6, "queue node");
MLC_LAYOUT_ASSERT(offsetof(QueuedMessage, hNext) == 2, "queue node layout");
MLC_LAYOUT_ASSERT(sizeof(SocketInfo) == SOCKET_INFO_SIZE, "socket entry");
MLC_LAYOUT_ASSERT(offsetof(SocketInfo, wHtoPPacketSize) == 3, "socket entry layout");
MLC_LAYOUT_ASSERT(offsetof(SocketInfo, wPtoHPacketSize) == 5, "socket entry layout");
MLC_LAYOUT_ASSERT(offsetof(SocketInfo, bStatusLevel) == 7, "socket entry layout");

#endif
