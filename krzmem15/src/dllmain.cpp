// Process attach and detach of the library. Detach closes the process's
// liveness event, so a process that used named blocks leaves no object of
// its own behind.
#include <windows.h>

#include "names.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_DETACH) krzmem::ReleaseAlive();
  return TRUE;
}

#if !defined(_WIN32)
// On Linux the platform layer calls DllMain at load and unload.
W32_DLL_ENTRY(DllMain)
#endif
