// The fuzz targets' far side: LPT1 on the in-process memory port, channels
// opened through a real exchange with the emulator's core, the checks made
// after every input, and snapshots that bring an open link back without the
// exchanges of an open.
#pragma once

#include <windows.h>

#include <string>

struct FuzzPort;
struct FuzzSnapshot;

// Writes the INI files (memory backend on LPT1, time-outs 0: every byte is
// queued before the host reads), stands in for the helper window, opens a
// feeding handle, opens the channels once (FuzzOpenChannels; with pAnswers,
// the core's answers are appended to it as FuzzRecord pieces), resets and
// keeps the port area's blocks as the baseline. Aborts on failure.
FuzzPort* FuzzPortStart(std::string* pAnswers);
// Resets the link locally and opens, against the emulator's core answering
// through the port, a stream channel to the echo service (ring lRing) and a
// message channel with two slots to the status service; the sockets carry
// peripheral-to-host packets of wPtoH bytes. Nothing is left on the port.
bool FuzzOpenChannels(FuzzPort* port, LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage);
// Stands in for the helper again, as a helper that the library starts after
// it stopped the last one would (a failed open with no channel left stops
// it, and the helper program is not there); while it stands in, resets do
// not stop it. Drops what the library posted to it.
void FuzzHelperUp(FuzzPort* port);
// Calls pfnWritten with every write of the host from now on (NULL: none).
void FuzzOnHostWrite(FuzzPort* port, void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext);
// Queues one piece of peripheral bytes; whether fed bytes wait to be read.
void FuzzFeed(FuzzPort* port, const BYTE* pb, size_t cb);
bool FuzzUnread(FuzzPort* port);
// Forgets what the host wrote and did not read, and what the library posted
// to the stand-in helper (nobody dispatches it, and it would pile up).
void FuzzDrain(FuzzPort* port);
// Aborts, saying what, unless every channel record of LPT1 is consistent and
// its credit books hold.
void FuzzCheck();
// Resets the link locally, forgets what is on the port (with bHelperUp,
// stands in for the helper again) and aborts unless the port's area holds
// exactly its baseline blocks.
void FuzzResetAndCheck(FuzzPort* port, bool bHelperUp);
// The snapshot of LPT1 as it stands: its port record, the global record
// and all of the port's shared area (kept for the life of the process).
FuzzSnapshot* FuzzTake();
// Writes the snapshot back: after a local reset of the link (nothing left
// open, nothing locked) the link and channels stand again.
void FuzzRestoreAll(const FuzzSnapshot* snapshot);
