// The fuzz targets' far side (tests/README.md): LPT1 on the in-process memory
// port with a stand-in helper, set up by LLVMFuzzerInitialize (time-outs 0;
// FUZZ_REPLIES_SEED=FILE writes the answers to its first open), channels
// opened through the emulator's core, and the checks after every input.
#pragma once

#include <windows.h>

#include <string>

struct FuzzSnapshot;

// Resets the link and opens a stream channel to the echo service (ring lRing)
// and a message channel to the status service (packets of wPtoH bytes).
bool FuzzOpenChannels(LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage);
void FuzzHelperUp();  // stands in for the helper again; resets do not stop it
// A channel to bPsid on LPT1 without notices: its handle, 0 when refused.
WORD FuzzOpen(BYTE bPsid, BYTE bType, DWORD dwBuffer);
// Calls pfnWritten with every write of the host from now on (NULL: none).
void FuzzOnHostWrite(void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext);
void FuzzFeed(const BYTE* pb, size_t cb);  // queues one piece of peripheral bytes
bool FuzzUnread();
void FuzzHostTurn(WORD hStream, WORD hMessage);
// Aborts unless LPT1's channel records are consistent and credit books hold.
void FuzzCheck();
// Resets the link (bHelperUp: FuzzHelperUp); aborts unless the area holds its baseline.
void FuzzResetAndCheck(bool bHelperUp);
// LPT1's port record, the global record and the area in use, written back after a reset.
FuzzSnapshot* FuzzTake();
void FuzzRestoreAll(const FuzzSnapshot* snapshot);
