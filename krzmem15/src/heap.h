// The heap of an area: chunks laid end to end between heapOff and heapEnd,
// free chunks kept in size bins. Callers hold the area mutex.
#pragma once

#include "layout.h"

namespace krzmem {

// Chunk size needed for a block of `user` bytes; 0 when it cannot fit any area.
DWORD ChunkNeed(DWORD user);

// The chunk header at `off` when it lies inside the heap, else nullptr.
Chunk* ChunkAt(const View& v, DWORD off);

// Formats the whole heap as one free chunk.
void HeapInit(const View& v);

// Takes a free chunk of at least `need` bytes out of the bins, splitting off
// what is left over. The chunk stays marked free (slot 0) until the caller
// gives it an owner. Returns its offset, 0 when no chunk is large enough.
DWORD HeapTake(const View& v, DWORD need);

// Returns a chunk whose slot field is already 0 to the bins, merged with
// free neighbours.
void HeapGive(const View& v, DWORD off);

// Resizes the used chunk at `off` in place to `need` bytes: shrinking splits
// off the tail, growing takes from a free chunk right after it. False (and
// nothing changed) when the chunk cannot grow where it is.
bool HeapResize(const View& v, DWORD off, DWORD need);

// Empties the bins and files every free chunk again, merging neighbours and
// correcting prevSize; used after a repair.
void HeapRebin(const View& v);

}  // namespace krzmem
