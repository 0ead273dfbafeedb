// The opens this process made itself, and the check that one of its
// handles still addresses the channel it opened.
//
// A handle is only the port and the slot, and a link reset frees every
// slot: after it, another client's open may take the same slot, and a
// handle kept across the reset would address that client's channel. So
// every open stamps its record with the opening process and a serial
// number of that process, and the process remembers, per port and slot,
// the serial of its own last open there. A handle the process opened whose
// record no longer carries that stamp is stale: calls with it fail with
// MLC_PHYSICAL_LINK_FAILURE (the channel went down) and touch nothing. A
// handle of a slot the process did not open (a channel shared with it by
// another process) is not checked.
#pragma once

#include <windows.h>

// A new serial for this process's open of the slot of bHsid, remembered:
// the caller stamps the new record with it and the process id, holding the
// port's mutex and the record.
DWORD NoteOwnOpen(BYTE bPort, BYTE bHsid);
// The slot's record no longer belongs to this process's own open (needs the
// port's mutex held and the record locked; lpRecord is either kind).
BOOL OwnOpenStale(BYTE bPort, BYTE bHsid, const void* lpRecord);
// Takes the port's mutex and tells whether hChannel is this process's
// handle of a channel that has gone (see above).
BOOL OwnHandleStale(DWORD hChannel);
// The serial of this process's open of the slot of bHsid, 0 when none.
DWORD OwnOpenSerial(BYTE bPort, BYTE bHsid);
// This process closed its channel of the slot: forget the open.
void ForgetOwnOpen(BYTE bPort, BYTE bHsid);
