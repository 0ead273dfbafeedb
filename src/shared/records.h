// The shared records every attached process maps: one MlcGlobalData for the
// machine and one PerPortInfo per port, both in the global shared area, and
// the process-local handles through which this process reaches them.
#pragma once

#include <windows.h>

#include "krzmem15.h"
#include "krzmlc15.h"

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

struct MlcGlobalData {
  DWORD hHiddenWnd;           // helper process window, 0 = none
  WORD wTotalChannelsOpened;  // channels open on all ports together
  WORD wPollTimerId;          // 0 none, 18 short timer, 19 long timer
  BOOL bMLCSetupDone;         // MLCSetup has run
  DWORD dwMlcAttachCount;     // attached processes
};
static_assert(sizeof(MlcGlobalData) == 16, "the GLOBAL block holds exactly this record");

// Poll statistics of one poll type (the record the poll calls PollStats).
struct PollStat {
  DWORD dwPacketPolls;  // polls that handled a packet
  DWORD dwEmptyPolls;   // polls that found nothing
};

struct PerPortInfo {
  BOOL fMlcInitDone;           // the MLC link of the port is up
  BYTE bHostRevision;          // revision the host offers (3)
  BYTE bPeerRevision;          // revision of the peripheral's MLC_INIT_REPLY
  BYTE bLastMlcCommand;        // command awaiting its reply, NO_COMMAND when none
  BYTE bChannelsAllocated;     // slots in the channel table
  BYTE bChannelsUsed;          // slots holding a channel
  HMEMBLOCK hChanPtrArray;     // channel table: bChannelsAllocated block handles
  HMEMBLOCK hSocketInfoArray;  // bSocketInfoCount socket entries of 8 bytes
  HMEMBLOCK hDeviceID;         // device ID read at link initialisation
  BYTE bSocketInfoCount;       // entries in hSocketInfoArray
  DWORD dwBusyFlags;           // BUSY_* re-entry guards
  DWORD dwIdlePolls;           // consecutive polls without data
  INT iRedirectCount;          // redirections of the port
  LONG lLastLinkError;         // last link error of the port
  PollStat PollStats[3];       // per poll type 0, 1, 2
};
static_assert(sizeof(PerPortInfo) == 68, "same layout in every build that shares the area");

// Names of the ports, indexed by port number.
extern const char* const szMlcPortName[MLC_PORT_COUNT];

// Process-local state (never shared).
extern HINSTANCE hMlcInstance;                   // this library's instance
extern DWORD dwProcAttachTID;                    // thread that ran the attach
extern HMEMAREA GlobalMapMem;                    // the global shared area
extern MlcGlobalData* pMlcGlobalData;            // locked "GLOBAL" block
extern PerPortInfo* pPerPortInfo;                // locked "PORTS" block, 3 records
extern HMEMAREA PortMapMemInfo[MLC_PORT_COUNT];  // port areas mapped here, 0 = not yet
