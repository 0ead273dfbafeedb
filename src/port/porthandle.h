// This process's handles of the three ports.
#pragma once

#include <windows.h>

// Port handle of this process, 0 when the port is not open here.
HANDLE GetPortHandle(BYTE bPort);
// Drops one reference; the last one closes the port. The second argument is
// not used.
void ReleasePortHandle(BYTE bPort, BOOL fUnused);
// The counterpart of the helper process's setup (exported).
void WINAPI MLCCleanup();
// Redirection of a port (exported); has no effect.
void WINAPI MLCRedirect(DWORD dwPort, DWORD dwMode);
