// The processes attached to the shared state, so that the count of attached
// processes drops those that ended without detaching (killed, crashed).
//
// Each attached process has a record (process id, serial) in the named block
// "ATTACHED" of the global area and keeps the named event
// "KRZMLC15_Attached_<pid>_<serial>" open while it is attached. The event
// goes with the process however it ends, so a record whose event no longer
// exists belongs to a process that is gone. The serial, unique within the
// life of the global area, keeps a reused process id from passing for the
// process that had it before.
#pragma once

#include <windows.h>

// Records of the table; more than can hold one named object at a time.
#define MLC_ATTACH_SLOTS 128

struct AttachedProcess {
  DWORD dwProcessId;  // 0 = free slot
  DWORD dwSerial;
};

struct AttachTable {
  DWORD dwNextSerial;
  DWORD dwReserved;
  AttachedProcess Procs[MLC_ATTACH_SLOTS];
};

// Finds (or makes) the named block "ATTACHED" in the global area and keeps
// it locked; FALSE on failure.
BOOL OpenAttachTable();
// Unlocks the block and drops this process's reference to it.
void CloseAttachTable();

// The following run under the attach mutex and the MGD mutex.
// Removes the records of processes that are gone (logged); the number of
// records left.
DWORD PruneAttached();
// Records this process (a new liveness event and a record); FALSE when the
// event cannot be made or the table is full.
BOOL AddAttached();
// Removes this process's record and closes its liveness event.
void RemoveAttached();
