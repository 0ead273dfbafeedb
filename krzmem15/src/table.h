// This process's open areas, behind small process-local handles.
//
// A handle is (generation << 8) | (index + 1). Every entry is driven by one
// atomic word (generation, state, number of calls inside), so no lock is
// held across instructions: a thread that dies anywhere here can leave an
// entry unusable, never another thread waiting.
#pragma once

#include "layout.h"

namespace krzmem {

struct Opened {
  HANDLE map;
  HANDLE mutex;
  View view;
};

// Files an opened area; its handle, or 0 when the table is full (the caller
// then closes what it opened).
DWORD TableAdd(const Opened& area);

// Enters a call on `area`: its index, with `out` filled, or -1 when the
// handle is not an open area. Every successful TableEnter needs TableLeave.
int TableEnter(DWORD area, Opened* out);
void TableLeave(int index);

// Ends the handle at once; the area is closed when the last call inside it
// has left.
void TableRelease(DWORD area);

}  // namespace krzmem
