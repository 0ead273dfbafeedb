// The port areas: one named shared area per port holding that port's blocks,
// reached through wrappers that map the area in this process on first use.
#pragma once

#include <windows.h>

#include "krzmem15.h"

// Sizes of the global area and of each port area (initial, bound).
#define MLC_GLOBAL_AREA_SIZE 0x10000
#define MLC_GLOBAL_AREA_MAX 0x10000
#define MLC_PORT_AREA_SIZE 0xA0000
#define MLC_PORT_AREA_MAX 0xF10000

// Maps (creates or opens) the port's area and stores its handle in
// PortMapMemInfo[bPort], also when that fails (0). An area made anew while
// the port's record names blocks was lost: the port is cleared
// (ForgetLostPort). Callers hold the port's mutex.
void CreateMLCMapMemArea(BYTE bPort);

// Allocation, reallocation and locking map the port area first when this
// process has not mapped it yet; freeing and unlocking never map.
HMEMBLOCK AllocMLCCheck(BYTE bPort, DWORD dwSize);
HMEMBLOCK ReAllocMLCCheck(BYTE bPort, HMEMBLOCK hBlock, DWORD dwNewSize);
LPVOID LockMLCCheck(BYTE bPort, HMEMBLOCK hBlock);
void FreeMLCCheck(BYTE bPort, HMEMBLOCK hBlock);
void UnlockMLCCheck(BYTE bPort, HMEMBLOCK hBlock);
void UnlockAllMLCCheck(BYTE bPort, HMEMBLOCK hBlock);
