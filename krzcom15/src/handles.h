// Per-process table of KRZCOM15 handles (host ports and peripherals).
//
// A handle is a DWORD: slot number + 1 in the low byte, a generation count
// above it, so a closed handle is never mistaken for a later one. Calls on
// one handle may run on several threads at once: each call holds a
// reference, and the object is destroyed when the last reference goes,
// after the handle was closed.
#pragma once

#include <windows.h>

namespace krzcom {

enum HandleKind : DWORD { kKindHost = 1, kKindPeripheral = 2 };

struct HandleObject {
  DWORD dwKind;
  LONG lRefs;                              // guarded by the table lock
  void (*pfnDestroy)(HandleObject* pObj);  // frees the object
};

// Enters an object (with one reference, the table's). Returns the handle,
// or 0 when the table is full.
DWORD HandleInsert(HandleObject* pObj);

// Looks a handle up and takes a reference. NULL when the handle is not
// open or not of that kind.
HandleObject* HandleGet(DWORD dwHandle, DWORD dwKind);

// Removes a handle from the table; the caller receives the table's
// reference (to be given back with HandlePut). NULL when not open.
HandleObject* HandleRemove(DWORD dwHandle, DWORD dwKind);

// Gives a reference back; the last one destroys the object.
void HandlePut(HandleObject* pObj);

}  // namespace krzcom
