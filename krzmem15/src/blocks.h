// Handle-addressed blocks: the slot table that turns handles into chunks,
// and the block operations built on the heap. Callers hold the area mutex.
#pragma once

#include "layout.h"

namespace krzmem {

// Slot count for an area of `size` bytes.
DWORD SlotCapFor(DWORD size);

// The slot of a live handle (and its chunk offset), or nullptr when the
// handle names no block of this area: never issued, freed, or stale.
Slot* Resolve(const View& v, DWORD handle, DWORD* chunkOff = nullptr);

// A new zero-filled block of `size` bytes; 0 when there is no room or no slot.
DWORD BlockAlloc(const View& v, DWORD size, WORD flags);
// Frees a block that carries no lock. With `force`, drops its locks first.
BOOL BlockFree(const View& v, DWORD handle, bool force);
// Changes a block's size keeping its handle; see memReAllocBlock.
DWORD BlockRealloc(const View& v, DWORD handle, DWORD size);

// Returns the slot's index to the free FIFO with a new generation.
void SlotRelease(const View& v, DWORD index);

}  // namespace krzmem
