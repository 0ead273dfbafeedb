// Process attach and detach: creating, joining and leaving the shared state.
#pragma once

#include <windows.h>

#include "shared/records.h"

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

// Initialises the three port records and the global record; only the
// process that created the shared state calls it.
void InitPortData(PerPortInfo* lpRecords, MlcGlobalData* lpGlobal);
// Maps, in a joining process, the area of each port that is in use.
void MapUsedPortAreas();
// The last process is leaving: frees everything of every port it mapped.
void FreeAllPorts();
// Another process remains: frees the mapped ports that have no channel.
void FreeUnusedUnmappedPorts();
