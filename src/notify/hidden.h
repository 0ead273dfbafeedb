// The helper process KRZHID15.EXE and the PML init/deinit event.
#pragma once

#include <windows.h>

#define MLC_HELPER_EXE "KRZHID15.EXE"
// Where the helper is looked for when the search by name fails, below the
// system directory.
#define MLC_HELPER_DRIVER_DIR "spool\\DRIVERS\\W32X86\\"
// How long MLCWaitForPMLInitDeInitEvent waits for the event.
#define MLC_PML_EVENT_TIMEOUT 3000

// Starts the helper unless one is set up and its window exists, and waits
// until it has run MLCSetup, at most gHelper_Setup_Timeout ms: 1, or
// MLC_SYSTEM_FAILURE (-19).
int LaunchHiddenExe();
// Asks the helper to close when no PML initialisation or deinitialisation
// is running (the PML event is taken for the stop and given back after it),
// and clears the setup state when WM_CLOSE was posted or the window is gone;
// clears the poll timer id in any case. Always 1.
int KillHiddenExe();
// "<system directory>\spool\DRIVERS\W32X86\<file>" into lpBuffer: the length
// of the directory part (non-zero), or 0 when it does not fit or the system
// directory cannot be read.
UINT FormatLoadPath(LPCSTR lpszFile, LPSTR lpBuffer, UINT cbBuffer);
// The same for a directory already in lpBuffer (uDirLen characters).
UINT AppendLoadPath(LPSTR lpBuffer, UINT uDirLen, LPCSTR lpszFile, UINT cbBuffer);
