// Block locks taken and given back within one hold of a port's PPI mutex.
//
// The per-packet paths lock the channel table, a channel record or the
// socket array only to read a field, and unlock it again, many times while
// the calling thread holds the port's mutex. Each lock and unlock of the
// memory manager takes its area mutex. While a thread holds the port's
// mutex nobody else touches the port's blocks, so an unlock is kept back
// instead: a later lock of the same block in the same hold takes it again
// without the memory manager, and what is still kept back is given to the
// memory manager when the outermost hold ends, or before the block is
// freed, reallocated or unlocked completely. Lock counts are never lower
// than the caller's own counting says, and equal to it after the hold.
#pragma once

#include <windows.h>

#include "krzmem15.h"

// A lock of hBlock (area hArea) that an unlock kept back in this hold: its
// address, one kept-back unlock fewer; NULL when there is none.
LPVOID RetakeHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock);
// Remembers the address of a block just locked in this hold.
void NoteHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock, LPVOID lpAddress);
// Keeps an unlock back when the block was locked in this hold: TRUE; FALSE
// when the caller must unlock it itself.
BOOL KeepUnlockBack(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock);
// Gives the kept-back unlocks of one block to the memory manager (fApply)
// or drops them (a complete unlock follows), and forgets the block.
void SettleHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock, BOOL fApply);
// At the end of the outermost hold: every kept-back unlock of the port.
void SettleHeldBlocks(BYTE bPort);
