// The direct reader: RetrieveData reads the next packet of a port straight
// into the caller's buffer, for the stream channel in slot 0 of the port.
#pragma once

#include <windows.h>

#include "shared/records.h"

// Set in StreamChannel.bFlags of the slot-0 channel by the first
// RetrieveData: its client reads the port itself. Polls still read the
// port for the other channels; a poll that meets the header of a packet of
// this channel (which has no receive ring) parks the header in the record
// (STREAM_HEADER_PARKED) and leaves the payload on the wire for the reader's
// next call, reading nothing more until then. The flag goes with the record
// (closed channel, link reset); an open starts without it.
#define STREAM_DIRECT_READ 0x02
// The header parked by a poll: its 6 bytes (length in host order) are kept
// in lWritePos and lReadPos, which a channel without a ring does not use.
#define STREAM_HEADER_PARKED 0x10
// Bits 2-3 of the same bFlags: how many of the direct reader's MLC_CREDIT
// grants await their reply (at most 3). The reader does not wait for them
// under the port's mutex; the reply path takes them (TakeGrantReply), so no
// command is left outstanding in bLastMlcCommand between calls.
#define STREAM_GRANTS_IN_FLIGHT 0x0C
#define STREAM_GRANT_IN_FLIGHT 0x04

// An MLC_CREDIT_REPLY that answers a grant of the direct reader of the
// port: the grant is taken off the record and TRUE returned (a refusal is
// only logged). FALSE when no grant of the reader awaits a reply. With the
// port's mutex held.
BOOL TakeGrantReply(BYTE bPort, const PerPortInfo* lpPPI, const BYTE* lpPayload);

// Reads up to dwLength payload bytes of the packet whose header was just
// read. When the printer stalls it is granted one credit (MLC_CREDIT sent,
// its reply left to the next reader or poll; none when another command
// awaits its reply or *lplPeriCredits would pass 65535, and a grant adds 1
// to *lplPeriCredits); a stall longer than dwTimeOut ms after that ends the
// read short. MLC_PACKET_SUCCESSFUL, or MLC_UNRECOVERABLE_ERROR when the
// port failed (lLastLinkError set) or the credit could not be sent.
int MultiReadCreditGrant(DWORD hPort, BYTE bPort, BYTE bHsid, BYTE bPsid, LPVOID lpBuffer,
                         DWORD dwLength, LPDWORD lpdwRead, DWORD dwTimeOut, LONG* lplPeriCredits);

// Whether the polls of type ePollType leave the port to a direct reader:
// the wire is in the middle of a packet of the reader's, whose header is
// parked. With the port's mutex held.
BOOL PollLeavesPortToReader(BYTE bPort, int ePollType);

// A poll read the header lpHeader (length in host order): when it starts a
// packet of the direct reader's channel the header is parked and TRUE
// returned (the payload stays on the wire). With the port's mutex held.
BOOL ParkReaderHeader(BYTE bPort, const BYTE* lpHeader);
