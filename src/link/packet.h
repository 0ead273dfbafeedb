// MLC packets: the 6-byte header, command and reply values, the result
// bytes of replies and the error codes carried by MLC_ERROR.
#pragma once

#include <windows.h>

#define MLC_HEADER_SIZE 6
// Longest command-channel payload the host accepts.
#define MLC_MAX_COMMAND_PAYLOAD 64

#pragma pack(push, 1)
// The header as it goes on the wire: wLength most significant byte first,
// counting the header itself.
struct PacketHeader {
  BYTE bHsid;
  BYTE bPsid;
  BYTE bLengthHi;
  BYTE bLengthLo;
  BYTE bCredit;
  BYTE bStatus;
};
#pragma pack(pop)
static_assert(sizeof(PacketHeader) == MLC_HEADER_SIZE, "packed wire header");

// Command values; a reply carries the command with bit 7 set.
#define MLC_INIT 0x00
#define MLC_OPEN_CHANNEL 0x01
#define MLC_CLOSE_CHANNEL 0x02
#define MLC_CREDIT 0x03
#define MLC_CREDIT_REQUEST 0x04
#define MLC_DEBIT 0x05
#define MLC_DEBIT_REQUEST 0x06
#define MLC_CONFIG_SOCKET 0x07
#define MLC_EXIT 0x08
#define MLC_ERROR 0x7F
#define MLC_REPLY 0x80
#define MLC_INIT_REPLY 0x80
#define MLC_OPEN_CHANNEL_REPLY 0x81
#define MLC_CLOSE_CHANNEL_REPLY 0x82
#define MLC_CREDIT_REPLY 0x83
#define MLC_CREDIT_REQUEST_REPLY 0x84
#define MLC_DEBIT_REPLY 0x85
#define MLC_DEBIT_REQUEST_REPLY 0x86
#define MLC_CONFIG_SOCKET_REPLY 0x87
#define MLC_EXIT_REPLY 0x88

// Total lengths (header included) of the replies the host accepts.
#define MLC_INIT_REPLY_LENGTH 9
#define MLC_OPEN_CHANNEL_REPLY_LENGTH 10
#define MLC_CLOSE_CHANNEL_REPLY_LENGTH 8
#define MLC_CREDIT_REPLY_LENGTH 8
#define MLC_CREDIT_REQUEST_REPLY_LENGTH 10
#define MLC_CONFIG_SOCKET_REPLY_LENGTH 13
#define MLC_CREDIT_LENGTH 11
#define MLC_DEBIT_LENGTH 11

// Revision of MLC the host speaks.
#define MLC_HOST_REVISION 3

// Result bytes of replies.
#define COMMAND_SUCCESSFUL 0
#define COMMAND_CHANNEL_MAXXED_OUT 1
#define UNSUPPORTED_COMMAND_RESULT 0xFF

// Error codes carried by MLC_ERROR.
#define MLC_ERROR_BAD_LENGTH 0
#define MLC_ERROR_NO_CREDIT 1
#define MLC_ERROR_UNEXPECTED_REPLY 2
#define MLC_ERROR_CREDIT_OVERFLOW 3
#define MLC_ERROR_NOT_INITIALISED 4
#define MLC_ERROR_DATA_TOO_LONG 5
#define MLC_ERROR_SHORT_PACKET 6
#define MLC_ERROR_BAD_SOCKET 7
#define MLC_ERROR_NO_CHANNEL_RECORD 13
#define MLC_ERROR_UNKNOWN_CHANNEL_TYPE 255

// Results of packet handling.
#define MLC_PACKET_SUCCESSFUL 1
#define MLC_PACKET_REFUSED 2
#define MLC_UNRECOVERABLE_ERROR 3
#define MLC_NO_DATA 4

// The 16-bit wire value of bytes hi, lo.
inline WORD WireWord(const BYTE* lpb) { return (WORD)((lpb[0] << 8) | lpb[1]); }
inline void PutWireWord(BYTE* lpb, WORD w) {
  lpb[0] = HIBYTE(w);
  lpb[1] = LOBYTE(w);
}

// Builds a command-channel packet (host and peripheral socket 0, no
// credit, no status) of wTotal bytes into lpPacket; the payload follows.
void BuildCommandHeader(BYTE* lpPacket, WORD wTotal);
