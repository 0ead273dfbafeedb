// The channel table of a port and the checks every channel operation
// starts with; closing and freeing channels.
#pragma once

#include <windows.h>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "shared/records.h"

// 1 when the port is below 3, bHsid >= 0x80, the link is up and the slot
// bHsid - 0x80 of the channel table holds a record. Takes the port's mutex.
BOOL CheckPortAndHsid(BYTE bPort, BYTE bHsid);
// 1 when no port has a channel in use. A port whose mutex cannot be had
// within the configured time counts as in use.
BOOL AllChannelsClosed();
// Counts a channel of the port down (the port's last one leaves MLC).
void FreeChannel(BYTE bPort, BYTE bIndex);

// What a channel operation holds that a link reset frees: compare before
// touching a record again after anything that can reset the link.
struct LinkStamp {
  BOOL fMlcInitDone;
  HMEMBLOCK hChanPtrArray;
  HMEMBLOCK hRecord;
};
// Taken under the port's mutex; bIndex is the slot of the record in use.
LinkStamp TakeLinkStamp(BYTE bPort, BYTE bIndex);
BOOL LinkStampValid(BYTE bPort, BYTE bIndex, const LinkStamp& stamp);

// The index of the socket entry of bPsid on the port, configuring the
// socket with MLC_CONFIG_SOCKET (status level bStatusLevel) first when it has
// none; MLC_NO_MEMORY or MLC_SOCKET_CONFIG_FAILED. *lpfRefused (when given)
// tells a configuration the peripheral refused, which leaves the link up,
// from a failed exchange, which has reset it. The link must be up.
int GetSocketInfo(BYTE bPort, BYTE bPsid, BYTE bStatusLevel, BOOL* lpfRefused);
// A new zeroed channel record of bType in the first free slot of the port's
// table (grown by one slot when none is free): the slot, or MLC_NO_MEMORY.
// The caller holds the port's mutex.
int AllocateSpaceForChannel(BYTE bPort, PerPortInfo* lpPPI, BYTE bType);

// Credit arriving for a stream channel: 0, or 3 when it would pass 65535
// (MLC_ERROR code 3 has then gone out; the record must not be touched
// again before it is re-validated).
int AddStreamCredits(StreamChannel* lpStream, WORD wCredit);

// Returns freed ring space to the peripheral as credit, in batches of at
// least wPtoHMark packets: 1 when credit went out and another packet's
// worth is free, 0 otherwise, MLC_UNRECOVERABLE_ERROR when the exchange
// failed (the link has been reset; the record must not be touched again
// before it is re-validated). lpPPI is not used.
int GrantAnyCredits(PerPortInfo* lpPPI, StreamChannel* lpStream);
// The writer has no credit: asks the peripheral for it, or, with a request
// outstanding, polls the port for the answer (pinging the peripheral every
// CreditTimeout). 0, or MLC_PHYSICAL_LINK_FAILURE when the request failed
// or the channel or link is gone.
int RequestStreamCredits(StreamChannel* lpStream);

// Credit the peripheral grants a message channel (open or request reply,
// MLC_CREDIT, a message header): 0, or 3 when it would pass 65535 (MLC_ERROR
// code 3 has then gone out and the credit is not applied; the record must
// not be touched again before it is re-validated).
int AddMessageCredits(MessageChannel* lpMsgChan, WORD wCredit);
// Receive slots of a message channel that are empty and not yet promised to
// the peripheral by credit it holds.
WORD MessageRoom(const MessageChannel* lpMsgChan);
// The credit byte of a message the host sends now: 1 while the slots have
// room for one more answer, else 0 (that grant is then owed). Booked here.
BYTE TakeMessageCreditByte(MessageChannel* lpMsgChan);
// Gives the peripheral the owed grants the slots now have room for, with
// MLC_CREDIT: TRUE, or FALSE when the exchange failed (the link has been
// reset; the record must not be touched before it is re-validated).
BOOL GrantOwedMessageCredit(MessageChannel* lpMsgChan);
// The owed grants, at most wWanted, that the slots have room for, booked as
// given: for the answer to the peripheral's MLC_CREDIT_REQUEST.
WORD TakeOwedMessageCredit(MessageChannel* lpMsgChan, WORD wWanted);

// MLC_CREDIT granting wCredit on a channel, and MLC_CREDIT_REQUEST asking
// for it (only when no other command awaits its reply); each waits for the
// reply: 1 when it was accepted, else 0.
BOOL MLCIssueCredit(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit);
BOOL MLCCreditRequest(BYTE bPort, BYTE bHsid, BYTE bPsid, WORD wCredit);
// The 11-byte command packet bCommand (MLC_OPEN_CHANNEL, MLC_CREDIT,
// MLC_CREDIT_REQUEST) for a socket pair with its 16-bit value.
void BuildChannelCommand(BYTE* lpPacket, BYTE bCommand, BYTE bHsid, BYTE bPsid, WORD wValue);

