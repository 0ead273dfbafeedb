#include "shared/locks.h"

#include "debug/cm_debug.h"
#include "debug/secuhlpr.h"
#include "shared/config.h"
#include "shared/heldblocks.h"
#include "shared/sharedmem.h"

HANDLE PPI_Mutex[MLC_PORT_COUNT] = {NULL, NULL, NULL};
HANDLE Read_Mutex[MLC_PORT_COUNT] = {NULL, NULL, NULL};
HANDLE MGD_Mutex = NULL;
HANDLE Attach_Mutex = NULL;
HANDLE hPMLInitDeInit = NULL;

static const char szPMLEventName[] = "PML_INIT_DEINIT_EVENT";

static void PPIMutexName(char* lpszName, BYTE bPort) {
  wsprintfA(lpszName, "PPI_API_MUTEX_%s", szMlcPortName[bPort]);
}

static void MGDMutexName(char* lpszName) {
  wsprintfA(lpszName, "%s%s", MLC_MODULE_NAME, "_MLCMGDMutex_");
}

BOOL CreateGlobalMutexes() {
  SECURITY_ATTRIBUTES sa;
  SECURITY_DESCRIPTOR sd;
  if (!SetSecurityAttributes(&sa, &sd)) return FALSE;

  char szName[64];
  for (int iPort = MLC_PORT_COUNT - 1; iPort >= 0; --iPort) {
    PPIMutexName(szName, (BYTE)iPort);
    PPI_Mutex[iPort] = CreateMutexA(&sa, FALSE, szName);
    if (!PPI_Mutex[iPort]) {
      MLCLOG(DBG_ERROR, "CreateGlobalMutexes():Failed to create PPI_Mutex mutex %s\n", szName);
      return FALSE;
    }
    MLCLOG(DBG_TRACE, "CreateGlobalMutexes(): Created PPI_Mutex mutex %s\n", szName);

    wsprintfA(szName, "READ_API_MUTEX_%s", szMlcPortName[iPort]);
    Read_Mutex[iPort] = CreateMutexA(&sa, FALSE, szName);
    if (!Read_Mutex[iPort]) {
      MLCLOG(DBG_ERROR, "CreateGlobalMutexes():Failed to create Read_Mutex mutex %s\n", szName);
      return FALSE;
    }
    MLCLOG(DBG_TRACE, "CreateGlobalMutexes(): Created Read_Mutex mutex %s\n", szName);
  }

  MGDMutexName(szName);
  MGD_Mutex = CreateMutexA(&sa, FALSE, szName);
  if (!MGD_Mutex) {
    MLCLOG(DBG_ERROR, "CreateGlobalMutexes():Failed to create MGD_MUTEX mutex %s\n", szName);
    return FALSE;
  }
  MLCLOG(DBG_TRACE, "CreateGlobalMutexes(): Created MGD_MUTEX mutex %s\n", szName);

  wsprintfA(szName, "%s%s", MLC_MODULE_NAME, "_MLCAttachMutex_");
  Attach_Mutex = CreateMutexA(&sa, FALSE, szName);
  if (!Attach_Mutex) {
    MLCLOG(DBG_ERROR, "CreateGlobalMutexes():Failed to create attach mutex %s\n", szName);
    return FALSE;
  }
  MLCLOG(DBG_TRACE, "CreateGlobalMutexes(): Created attach mutex %s\n", szName);

  // Auto-reset, signalled: no PML initialisation is running. The event's
  // outcome does not decide the attach. An opened handle must allow waits
  // as well as setting: the helper's stop and the PML component wait on it.
  hPMLInitDeInit = CreateEventA(&sa, FALSE, TRUE, szPMLEventName);
  if (hPMLInitDeInit) {
    MLCLOG(DBG_TRACE, "PMLInitDeInit Create Event\n");
  } else {
    hPMLInitDeInit = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, TRUE, szPMLEventName);
    MLCLOG(DBG_TRACE, "PMLInitDeInit Open Event\n");
  }
  return TRUE;
}

// Replaces *lphMutex by a handle opened by name. When the open fails the
// handle created at attach, which names the same mutex, stays in use:
// dropping it would leave the shared records unguarded in this process.
static void ReopenMutex(HANDLE* lphMutex, LPCSTR lpszName, LPCSTR lpszKind) {
  HANDLE hOpened = OpenMutexA(MUTEX_ALL_ACCESS, TRUE, lpszName);
  if (!hOpened) {
    MLCLOG(DBG_ERROR, "Failed to open %s mutex %s\n", lpszKind, lpszName);
    return;
  }
  MLCLOG(DBG_TRACE, "Opened %s mutex %s\n", lpszKind, lpszName);
  if (*lphMutex) CloseHandle(*lphMutex);
  *lphMutex = hOpened;
}

void FillMutexArray() {
  char szName[64];
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    PPIMutexName(szName, (BYTE)iPort);
    ReopenMutex(&PPI_Mutex[iPort], szName, "PPI");
  }
  MGDMutexName(szName);
  ReopenMutex(&MGD_Mutex, szName, "MGD");
}

static void CloseIfOpen(HANDLE* lphObject) {
  if (*lphObject) {
    CloseHandle(*lphObject);
    *lphObject = NULL;
  }
}

BOOL CloseGlobalMutexes() {
  MLCLOG(DBG_TRACE, "Closing MLC Mutexes and Events\n");
  for (int iPort = MLC_PORT_COUNT - 1; iPort >= 0; --iPort) {
    CloseIfOpen(&PPI_Mutex[iPort]);
    CloseIfOpen(&Read_Mutex[iPort]);
  }
  CloseIfOpen(&MGD_Mutex);
  CloseIfOpen(&Attach_Mutex);
  CloseIfOpen(&hPMLInitDeInit);
  return TRUE;
}

// A port whose record names blocks must be mapped before its blocks are
// touched; other ports are mapped on first allocation or lock.
static void MapPortIfUsed(BYTE bPort, LPCSTR lpszCaller) {
  if (PortMapMemInfo[bPort]) return;
  const PerPortInfo* lpPPI = &pPerPortInfo[bPort];
  if (lpPPI->hChanPtrArray || lpPPI->hSocketInfoArray || lpPPI->hDeviceID) {
    MLCLOG(DBG_TRACE, "PortMapMemInfo[%d] in %s NULL; Mapping area...\n", bPort, lpszCaller);
    CreateMLCMapMemArea(bPort);
  }
}

// How many times this thread holds each port's PPI mutex. The per-packet
// paths take it again and again inside one outer hold; a take by a thread
// that holds it already only counts, and only the outermost take and
// release reach the mutex itself. A wait that failed owns nothing and is
// not counted.
static MLC_THREAD_LOCAL DWORD tPPIDepth[MLC_PORT_COUNT];

static PerPortInfo* TakePPI(BYTE bPort, DWORD dwTimeOut, LPCSTR lpszCaller) {
  if (tPPIDepth[bPort]) {
    ++tPPIDepth[bPort];
    return &pPerPortInfo[bPort];
  }
  DWORD dwResult = WaitForSingleObject(PPI_Mutex[bPort], dwTimeOut);
  if (dwResult == WAIT_TIMEOUT) {
    MLCLOG(DBG_TRACE, "%s: port %d busy, gave up after %lu ms\n", lpszCaller, bPort,
           (unsigned long)dwTimeOut);
    return NULL;
  }
  if (dwResult == WAIT_FAILED) {
    MLCLOG(DBG_ERROR, "%s: Failed on wait err =%lx\n", lpszCaller, GetLastError());
  } else {
    tPPIDepth[bPort] = 1;
  }
  MapPortIfUsed(bPort, lpszCaller);
  return &pPerPortInfo[bPort];
}

PerPortInfo* ObtainPPI(BYTE bPort) { return TakePPI(bPort, INFINITE, "ObtainPPI"); }

PerPortInfo* CheckPPI(BYTE bPort) { return TakePPI(bPort, (DWORD)gPPI_Mutex_Timeout, "CheckPPI"); }

BOOL HoldsPPI(BYTE bPort) { return tPPIDepth[bPort] != 0; }

PerPortInfo* ObtainPPINoWait(BYTE bPort) {
  MapPortIfUsed(bPort, "ObtainPPINoWait");
  return &pPerPortInfo[bPort];
}

void ReleasePPI(BYTE bPort) {
  if (tPPIDepth[bPort] > 1) {
    --tPPIDepth[bPort];
    return;
  }
  if (tPPIDepth[bPort]) SettleHeldBlocks(bPort);
  tPPIDepth[bPort] = 0;
  ReleaseMutex(PPI_Mutex[bPort]);
  MLCLOG(DBG_VERBOSE, "ReleasePPI %ld\n", (LONG)bPort);
}

void CheckReleasePPI(PerPortInfo* lpPPI, BYTE bPort) {
  if (lpPPI) ReleasePPI(bPort);
}

MlcGlobalData* ObtainMGD() {
  if (WaitForSingleObject(MGD_Mutex, INFINITE) == WAIT_FAILED) {
    MLCLOG(DBG_ERROR, "ObtainMGD: Failed on wait err =%lx\n", GetLastError());
  }
  return pMlcGlobalData;
}

void ReleaseMGD() { ReleaseMutex(MGD_Mutex); }

void ObtainAttach() {
  if (WaitForSingleObject(Attach_Mutex, INFINITE) == WAIT_FAILED) {
    MLCLOG(DBG_ERROR, "ObtainAttach: Failed on wait err =%lx\n", GetLastError());
  }
}

void ReleaseAttach() { ReleaseMutex(Attach_Mutex); }
