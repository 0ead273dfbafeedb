// The fuzz targets' far side: LPT1 on the in-process memory port, channels
// opened through the emulator's core, and the checks after every input.
#pragma once

#include <windows.h>

#include <string>

struct FuzzSnapshot;

// LLVMFuzzerInitialize sets LPT1 up as the memory port (time-outs 0) with a
// stand-in helper and takes its area's baseline blocks after a first open
// (FUZZ_REPLIES_SEED=FILE writes the answers to that open).
// Resets the link and opens against the emulator's core a stream channel to the
// echo (ring lRing) and a message channel to the status service (packets wPtoH).
bool FuzzOpenChannels(LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage);
// Stands in for the helper again; resets within an input do not stop it.
void FuzzHelperUp();
// Opens a channel to bPsid on LPT1 without notices: its handle, 0 when refused.
WORD FuzzOpen(BYTE bPsid, BYTE bType, DWORD dwBuffer);
// Calls pfnWritten with every write of the host from now on (NULL: none).
void FuzzOnHostWrite(void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext);
// Queues one piece of peripheral bytes; whether fed bytes wait.
void FuzzFeed(const BYTE* pb, size_t cb);
bool FuzzUnread();
void FuzzHostTurn(WORD hStream, WORD hMessage);
// Aborts unless LPT1's channel records are consistent and credit books hold.
void FuzzCheck();
// Resets the link (bHelperUp: FuzzHelperUp); aborts unless the area holds its baseline.
void FuzzResetAndCheck(bool bHelperUp);
// LPT1's port record, the global record and the port's area in use; written
// back after a reset, the link and channels stand again.
FuzzSnapshot* FuzzTake();
void FuzzRestoreAll(const FuzzSnapshot* snapshot);
