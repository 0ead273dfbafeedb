// Named blocks and the references threads hold on them. Callers hold the
// area mutex.
#pragma once

#include "layout.h"

namespace krzmem {

// The named block, created (zero-filled, `size` bytes) when the name is new;
// either way one more reference for thread `tid` of process `pid`.
DWORD NamedAlloc(const View& v, DWORD size, const char* name, DWORD pid, DWORD tid);

// Drops one reference of thread `tid` of process `pid`; the last reference
// frees the block, whatever locks it still carries. False when that thread
// holds no reference to the name.
BOOL NamedFree(const View& v, const char* name, DWORD pid, DWORD tid);

// The handle of a named block, 0 when the name is unknown.
DWORD NamedFind(const View& v, const char* name);

// Index of the entry for `name`, or nameCap when there is none.
DWORD NamedEntryOf(const View& v, const char* name);

// Closes this process's liveness event (the library detaches): from then on
// its references count as those of a process that is gone.
void ReleaseAlive();

}  // namespace krzmem
