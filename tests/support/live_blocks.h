// Blocks in use in a port's shared area, read from the area's own header as
// the memory manager keeps it, so a test can tell whether an exchange left
// anything behind.
#pragma once

#include <windows.h>

// Blocks in use in the shared area of port bPort (0 = LPT1); 0 when the
// area does not exist.
DWORD LiveBlocks(BYTE bPort);
