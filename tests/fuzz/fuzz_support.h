// The fuzz target's far side: LPT1 on the in-process memory port, channels
// opened through a real exchange with the emulator's core, and checks of
// the shared records.
#pragma once

#include <windows.h>

#include <string>

struct FuzzPort;

// Writes the INI files (memory backend on LPT1, short time-outs), stands in
// for the helper window and opens a feeding handle. NULL on failure.
FuzzPort* FuzzPortStart();
// Resets the link locally and opens, against the emulator's core answering
// through the port, a stream channel to the echo service (ring lRing) and a
// message channel with two slots to the status service; the sockets are
// configured with peripheral-to-host packets of wPtoH bytes (header
// included). Nothing is left waiting on the port afterwards.
bool FuzzOpenChannels(FuzzPort* port, LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage);
// Resets the link locally, forgets what is on the port both ways and
// stands in for the helper again (a reset with no channel left forgets it).
void FuzzReset(FuzzPort* port);
// Stands in for the helper again, as a helper that the library starts after
// it stopped the last one would (a failed open with no channel left stops
// it, and the helper program is not there); while it stands in, resets do
// not stop it.
void FuzzHelperUp(FuzzPort* port);
// Drops what the library posted to the stand-in helper (read and poll
// timer requests, stops): nobody dispatches them, and kept they would pile
// up input after input.
void FuzzForgetMessages();
// Calls pfnWritten with every write of the host from now on (NULL: none).
void FuzzOnHostWrite(FuzzPort* port, void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext);
// From now on, every piece queued for the host is also appended to *pRecord
// as a length byte and its bytes (NULL: stop recording).
void FuzzRecord(std::string* pRecord);
// Queues one piece of peripheral bytes.
void FuzzFeed(FuzzPort* port, const BYTE* pb, size_t cb);
// Non-zero while fed bytes wait to be read.
DWORD FuzzUnread(FuzzPort* port);
// Forgets what the host wrote and what it did not read.
void FuzzDrain(FuzzPort* port);
// Blocks in use in the shared area of LPT1.
DWORD FuzzPortBlocks();
// What an input may change of an open link: LPT1's port record, its channel
// table, channel records and socket entries, the area's block count, and
// all of the area's bytes.
struct FuzzSnapshot;
// Takes the snapshot of LPT1 as it stands (kept for the life of the process).
FuzzSnapshot* FuzzTake();
// When LPT1 still holds the same blocks as at the snapshot (link up, the
// same table, records, rings, slots and socket entries, no message queued,
// the same block count), writes the snapshot's records back and returns
// true: the link and channels are as the snapshot left them. Otherwise
// changes nothing and returns false.
bool FuzzRestore(const FuzzSnapshot* snapshot);
// Writes back all of LPT1's shared area, its port record and the global
// record as they were at the snapshot: after a local reset of the link
// (nothing left open, nothing locked) the link and channels stand again.
void FuzzRestoreAll(const FuzzSnapshot* snapshot);
// NULL when every channel record of LPT1 is consistent, else what is not.
const char* FuzzCheckRecords();
