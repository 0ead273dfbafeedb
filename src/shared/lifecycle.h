// Process attach and detach: creating, joining and leaving the shared state.
#pragma once

#include <windows.h>

#include "shared/records.h"

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
// What DllMain does, under a name of its own: Windows toolchains never
// export an entry point named DllMain, and tests run the attach and detach
// of a loaded library again through this.
BOOL MlcDllEntry(HINSTANCE hInstance, DWORD dwReason);

// Initialises the three port records and the global record; only the
// process that created the shared state calls it.
void InitPortData(PerPortInfo* lpRecords, MlcGlobalData* lpGlobal);
// Maps, in a joining process, the area of each port that is in use.
void MapUsedPortAreas();
// The port's area was made anew although the port's record names blocks in
// it: the processes that used it all ended, and the blocks with it. Clears
// the port's link and channel state as a local reset does (nothing is
// sent) and the device-ID handle. Runs under the port's mutex.
void ForgetLostPort(BYTE bPort);
// The last process is leaving: frees everything of every port it mapped.
void FreeAllPorts();
// Another process remains: frees the mapped ports that have no channel.
void FreeUnusedUnmappedPorts();
