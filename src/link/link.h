// The MLC link layer of one port: sending and reading packets, the command
// channel, bringing the link up, dropping it on any fault, and the device ID.
#pragma once

#include <windows.h>

#include "link/packet.h"
#include "shared/records.h"

// ---- Sending (send.cpp) ----
// The header of a data packet: wLength is the total length (payload + 6).
// Returned by value; the port is not used.
PacketHeader SendHeaderPacket(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wLength, BYTE bCredit,
                              BYTE bStatus);
// Writes one whole packet to the port. Without lpHeader, lpData is the whole
// packet of wLength bytes; with it, the packet is the header followed by
// wLength payload bytes. 1 when the packet left, 0 on failure (the link has
// then been reset).
BOOL SendPacket(BYTE bPort, LPCVOID lpData, WORD wLength, const PacketHeader* lpHeader);
// SendPacket for stream data. *lpcbOnWire counts the bytes of this packet
// (header included) already written by earlier calls: they are skipped, and
// the count grows by what this call writes. With MLC_RESENT_STREAM_PACKET
// set, a port time-out that leaves bytes unwritten ends the call with 1 and
// lLastLinkError CE_PTO; the writer calls again with the same count.
BOOL SendStreamPacket(BYTE bPort, LPCVOID lpData, WORD wLength, const PacketHeader* lpHeader,
                      DWORD* lpcbOnWire);
// Sends one MLC_ERROR with bErrorCode, after discarding the incoming data
// when fFlush is set. At most one per link: 1 without sending when one went
// out already; 0 when the send failed.
BOOL SendErrorPacket(BYTE bPort, BYTE bErrorCode, BOOL fFlush);

// ---- Reading (receive.cpp, vcommread.cpp) ----
// Reads one packet header and dispatches the packet: MLC_PACKET_* result.
int PollForData(BYTE bPort, BYTE* lpbHsid, BYTE* lpbPsid, BYTE* lpbCommand, WORD* lpwLength,
                BYTE bChannelContext);
// Waits for the reply bAwaitedReply to the command just sent: 0 when it came
// with result 0, 1 with another result, -1 on time-out or failure.
int ReceivePacket(BYTE bPort, BYTE bZero, BYTE bChannelContext, BYTE bAwaitedReply, BOOL fSendError,
                  DWORD dwTimeout);
// With the port's mutex held: TRUE when the read lock was left by a thread
// that died holding it (inside a packet). Takes and gives the lock back.
BOOL ReadLockAbandoned(BYTE bPort);
// One read call, no waiting: 1 or 3.
int SingleVCOMMRead(PerPortInfo* lpPPI, LPVOID lpBuf, DWORD cbToRead, DWORD* lpcbRead);
// Reads until cbToRead bytes came or the line stayed idle dwIdleTimeout ms:
// 1 (also with a short count) or 3.
int MultiVCOMMRead(PerPortInfo* lpPPI, LPVOID lpBuf, DWORD cbToRead, DWORD* lpcbRead,
                   DWORD dwIdleTimeout);
// The port handle of this process for the port whose record lpPPI is, 0 when
// none.
DWORD GetPortHandlePPI(PerPortInfo* lpPPI);
// Discards whatever the peripheral is sending: 1 or 3.
int FlushIncomingData(PerPortInfo* lpPPI);
// The port number of a record, or MLC_PORT_COUNT when it is none of ours.
BYTE PortOfRecord(const PerPortInfo* lpPPI);
// Gives the processor up until input is waiting on the port or dwMaxMs
// passed; used between empty polls.
void WaitPortInput(BYTE bPort, DWORD dwMaxMs);

// ---- Command channel (command.cpp, replies.cpp, peercmd.cpp) ----
int ProcessMLCPacket(BYTE bPort, WORD wPayloadLength, BYTE* lpbCommand, BYTE bChannelContext);
int ProcessMLCPacketLock(BYTE bPort, PerPortInfo* lpPPI, WORD wPayloadLength, BYTE* lpbCommand,
                         BYTE bChannelContext);

// ---- Link bring-up, reset, liveness (init.cpp, reset.cpp, ping.cpp) ----
int MLCInit(BYTE bPort);
// The ECP channel address every packet of an up link travels on.
#define MLC_CHANNEL_ADDRESS 0x4D
void StartAllOverAgain(BYTE bPort, BOOL fStopHelper);
BOOL PingVcomm(BYTE bPort);

// ---- Device ID (devid.cpp) ----
// Room for a device ID: 2 length bytes and the text.
#define MLC_DEVICE_ID_SIZE 259
#define MLC_DEVICE_ID_REQUEST 258
// 1 when key1 or key2 (the first of them found) lists value; cuts lpszText.
BOOL ParseIDString(LPSTR lpszText, WORD wLength, LPCSTR lpszKey1, LPCSTR lpszKey2,
                   LPCSTR lpszValue);
