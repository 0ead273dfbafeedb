// The shared records every attached process maps: one MlcGlobalData for the
// machine and one PerPortInfo per port, both in the global shared area, and
// the process-local handles through which this process reaches them.
#pragma once

#include <windows.h>

#include "krzmem15.h"
#include "krzmlc15.h"
#include "shared/layout.h"

// Module name: prefix of the shared object names and of every log line.
#define MLC_MODULE_NAME "KRZMLC15"

// Command whose reply nobody waits for.
#define NO_COMMAND 0xFF

// Re-entry guards in PerPortInfo.dwBusyFlags.
#define BUSY_FREE_CHANNEL 0x1
#define BUSY_CLOSE_CHANNEL 0x2
#define BUSY_START_ALL_OVER 0x4

// Window handles are kept as 32-bit values in shared records: they are the
// same in every process and fit in 32 bits on every platform we build for.
inline DWORD DwordFromHwnd(HWND hWnd) { return (DWORD)(ULONG_PTR)hWnd; }
inline HWND HwndFromDword(DWORD dwWnd) { return (HWND)(ULONG_PTR)dwWnd; }

// MlcGlobalData, PerPortInfo and PollStat: shared/layout.h.

// Names of the ports, indexed by port number.
extern const char* const szMlcPortName[MLC_PORT_COUNT];

// Process-local state (never shared).
extern HINSTANCE hMlcInstance;                   // this library's instance
extern DWORD dwProcAttachTID;                    // thread that ran the attach
extern HMEMAREA GlobalMapMem;                    // the global shared area
extern MlcGlobalData* pMlcGlobalData;            // locked "GLOBAL" block
extern PerPortInfo* pPerPortInfo;                // locked "PORTS" block, 3 records
extern HMEMAREA PortMapMemInfo[MLC_PORT_COUNT];  // port areas mapped here, 0 = not yet
