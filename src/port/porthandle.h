// This process's handles of the three ports, the helper's one-time setup,
// and the pass-through of escape functions to the port I/O library.
#pragma once

#include <windows.h>

#include "krzmlc15.h"

// One entry per port, private to the process.
struct MLCPortInfo {
  char szName[8];    // "LPT1".."LPT3", the name given to VCOMM_OpenCommA
  DWORD hPort;       // port handle in this process, 0 = not open
  DWORD dwRefCount;  // outstanding acquisitions in this process
};
extern MLCPortInfo MLCPortInfoStr[MLC_PORT_COUNT];

// Port handle of this process, 0 when the port is not open here.
DWORD GetPortHandle(BYTE bPort);
// Whether this process may put anything on the port's wire. A process that
// holds no handle of the port cannot send: every operation that could send
// refuses (MLC_PHYSICAL_LINK_FAILURE) before it touches the shared state,
// since a failed send resets the link of every process.
BOOL CanSendOnPort(BYTE bPort);
// Stores the handle and counts one acquisition; returns 1.
int SetPortHandle(BYTE bPort, DWORD hPort);
// Drops one acquisition; the last one closes the port. The second argument
// is not used.
void ReleasePortHandle(BYTE bPort, BOOL fUnused);

// Copies exactly dwCount bytes, zero bytes included; adds no terminator.
void lstrncpy(LPSTR lpszDest, LPCSTR lpszSrc, DWORD dwCount);
