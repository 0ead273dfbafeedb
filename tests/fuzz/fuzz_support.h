// The fuzz targets' far side: LPT1 on the in-process memory port, channels
// opened through a real exchange with the emulator's core, and the checks
// made after every input.
#pragma once

#include <windows.h>

#include <string>

struct FuzzPort;
struct FuzzSnapshot;

// LPT1 as the memory port (time-outs 0) with a stand-in helper; opens the
// channels once (their answers go to pAnswers as pieces: a length byte and
// the bytes) and keeps the port area's blocks after a reset as the baseline.
FuzzPort* FuzzPortStart(std::string* pAnswers);
// Resets the link and opens, against the emulator's core, a stream channel to
// the echo service (ring lRing) and a one-slot message channel to the status
// service, with peripheral-to-host packets of wPtoH bytes.
bool FuzzOpenChannels(FuzzPort* port, LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage);
// Stands in for the helper again; resets within an input do not stop it.
void FuzzHelperUp(FuzzPort* port);
// Calls pfnWritten with every write of the host from now on (NULL: none).
void FuzzOnHostWrite(FuzzPort* port, void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext);
// Queues one piece of peripheral bytes; whether fed bytes wait to be read.
void FuzzFeed(FuzzPort* port, const BYTE* pb, size_t cb);
bool FuzzUnread(FuzzPort* port);
// One turn of the host: a poll and a read of each channel that is open.
void FuzzHostTurn(WORD hStream, WORD hMessage);
// Aborts unless LPT1's channel records are consistent and credit books hold.
void FuzzCheck();
// Resets the link, drains the port (with bHelperUp, stands in for the helper
// again) and aborts unless the port's area holds its baseline blocks.
void FuzzResetAndCheck(FuzzPort* port, bool bHelperUp);
// LPT1's port record, the global record and the port's area in use; written
// back after a reset, the link and channels stand again.
FuzzSnapshot* FuzzTake();
void FuzzRestoreAll(const FuzzSnapshot* snapshot);
