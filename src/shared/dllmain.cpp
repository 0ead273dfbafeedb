// The library's entry point: process attach creates or joins the shared
// state, process detach leaves it and tears it down after the last process.
#include "debug/cm_debug.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/attached.h"
#include "shared/config.h"
#include "shared/lifecycle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

static const char szGlobalBlock[] = "GLOBAL";
static const char szPortsBlock[] = "PORTS";

// Set by a successful attach; a detach without it has nothing to undo.
static BOOL fMlcAttached = FALSE;

static void ReleaseGlobalArea() {
  memReleaseSharedArea(GlobalMapMem);
  GlobalMapMem = 0;
  pMlcGlobalData = NULL;
  pPerPortInfo = NULL;
}

// Drops this process's hold on the named blocks of the global area. The
// detaching thread need not be the one that attached: the blocks are freed
// on behalf of the attaching thread.
static void ReleaseNamedBlock(LPCSTR lpszName) {
  memUnlockNamedBlock(GlobalMapMem, lpszName);
  memFreeNamedBlockProxy(GlobalMapMem, lpszName, dwProcAttachTID);
}

// Undoes the attach steps up to the mutexes, in reverse order.
static void UndoAttach() {
  CloseGlobalMutexes();
  CloseAttachTable();
  ReleaseNamedBlock(szPortsBlock);
  ReleaseNamedBlock(szGlobalBlock);
  ReleaseGlobalArea();
}

// Counts this process in. The first live process (none recorded, or all
// recorded ones gone) initialises the records, also in an area left behind
// by processes that ended without detaching; the others join them.
static BOOL JoinSharedState() {
  ObtainAttach();
  MlcGlobalData* lpMGD = ObtainMGD();
  DWORD dwOthers = PruneAttached();
  if (!AddAttached()) {
    ReleaseMGD();
    ReleaseAttach();
    MLCLOG(DBG_TRACE, "DllMain: process not recorded as attached\n");
    return FALSE;
  }
  if (dwOthers == 0) {
    MLCLOG(DBG_TRACE, "DllMain: Init'ing port data\n");
    InitPortData(pPerPortInfo, lpMGD);
    ReleaseMGD();
  } else {
    lpMGD->dwMlcAttachCount = dwOthers + 1;
    ReleaseMGD();
    MLCLOG(DBG_TRACE, "DllMain: Fill mutex, MGDptr->dwMlcAttachCount %d\n", dwOthers + 1);
    FillMutexArray();
    MapUsedPortAreas();
  }
  ReleaseAttach();
  return TRUE;
}

static BOOL ProcessAttach(HINSTANCE hInstance) {
  hMlcInstance = hInstance;
  DBMSG_INIT(MLC_MODULE_NAME);
  MLCLOG(DBG_TRACE, "---> DllMain: Process_Attach: wDbWin=%ld, module = %s\n", (LONG)wDbWin,
         szDebugModuleName);
  dwProcAttachTID = GetCurrentThreadId();

  char szAreaName[64];
  wsprintfA(szAreaName, "%s%s", MLC_MODULE_NAME, "_MLCGlobal_");
  BOOL fInit = FALSE;
  GlobalMapMem = memCreateSharedArea(MLC_GLOBAL_AREA_SIZE, szAreaName, MLC_GLOBAL_AREA_MAX, &fInit);
  if (!GlobalMapMem) {
    MLCLOG(DBG_TRACE, "DllMain: GlobalMapMem is NULL\n");
    return FALSE;
  }

  HMEMBLOCK hGlobal = memAllocNamedBlock(GlobalMapMem, sizeof(MlcGlobalData), szGlobalBlock);
  if (!hGlobal) {
    MLCLOG(DBG_TRACE, "DllMain: hKey : 1: is NULL\n");
    ReleaseGlobalArea();
    return FALSE;
  }
  pMlcGlobalData = (MlcGlobalData*)memLockBlock(GlobalMapMem, hGlobal);
  if (!pMlcGlobalData) {
    MLCLOG(DBG_TRACE, "DllMain: MlcGlobalData is NULL\n");
    memFreeNamedBlock(GlobalMapMem, szGlobalBlock);
    ReleaseGlobalArea();
    return FALSE;
  }

  HMEMBLOCK hPorts =
      memAllocNamedBlock(GlobalMapMem, MLC_PORT_COUNT * sizeof(PerPortInfo), szPortsBlock);
  if (!hPorts) {
    MLCLOG(DBG_TRACE, "DllMain: hKey :2 is NULL\n");
    ReleaseNamedBlock(szGlobalBlock);
    ReleaseGlobalArea();
    return FALSE;
  }
  pPerPortInfo = (PerPortInfo*)memLockBlock(GlobalMapMem, hPorts);
  if (!pPerPortInfo) {
    MLCLOG(DBG_TRACE, "DllMain: PerPortInfo is NULL\n");
    memFreeNamedBlock(GlobalMapMem, szPortsBlock);
    ReleaseNamedBlock(szGlobalBlock);
    ReleaseGlobalArea();
    return FALSE;
  }

  if (!OpenAttachTable()) {
    MLCLOG(DBG_TRACE, "DllMain: attach table is NULL\n");
    ReleaseNamedBlock(szPortsBlock);
    ReleaseNamedBlock(szGlobalBlock);
    ReleaseGlobalArea();
    return FALSE;
  }
  MLCLOG(DBG_TRACE, "DllMain: memory allocated, fInit %d\n", fInit);

  // A failure closes the handles made so far: a process that cannot load
  // the library keeps nothing of it.
  if (!CreateGlobalMutexes()) {
    MLCLOG(DBG_TRACE, "DllMain: CreateGlobalMutex fails\n");
    UndoAttach();
    return FALSE;
  }
  if (!JoinSharedState()) {
    UndoAttach();
    return FALSE;
  }

  MLCLOG(DBG_TRACE, "DllMain: Exit DLL_Process_Attach\n");
  LoadIniValues();
  return TRUE;
}

// The helper has the library loaded as well. When it is the one process
// left, no client remains to close the last channel and stop it, and the
// shared state would outlive every client: it is asked to close, and its
// own detach is then the last. No PML component can be at work (it would
// be a process of its own), so the PML event is not consulted. Under the
// attach mutex, with dwCount live processes left.
static void StopHelperLeftAlone(DWORD dwCount) {
  if (dwCount != 1) return;
  MlcGlobalData* lpMGD = ObtainMGD();
  HWND hHidden = HwndFromDword(lpMGD->hHiddenWnd);
  DWORD dwHelperId = 0;
  if (lpMGD->bMLCSetupDone && hHidden && IsWindow(hHidden) &&
      GetWindowThreadProcessId(hHidden, &dwHelperId) && dwHelperId != GetCurrentProcessId()) {
    MLCLOG(DBG_TRACE, "DllMain: only the helper is left, asking it to close\n");
    PostMessageA(hHidden, WM_CLOSE, 0, 0);
    lpMGD->hHiddenWnd = 0;
    lpMGD->bMLCSetupDone = FALSE;
    lpMGD->wPollTimerId = 0;
  }
  ReleaseMGD();
}

static void ProcessDetach() {
  MLCLOG(DBG_TRACE, "---> DllMain: Got PROCESS_DETACH\n");
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) ReleasePortHandle(bPort, FALSE);

  // Leaving and the teardown hold the attach mutex: a process attaching
  // meanwhile waits and then finds the records torn down, not half freed.
  // The MGD mutex is held only for the count; the teardown takes port
  // mutexes, which come before it.
  ObtainAttach();
  MlcGlobalData* lpMGD = ObtainMGD();
  RemoveAttached();
  DWORD dwCount = PruneAttached();
  lpMGD->dwMlcAttachCount = dwCount;
  ReleaseMGD();
  if (dwCount == 0) {
    FreeAllPorts();
  } else {
    FreeUnusedUnmappedPorts();
    StopHelperLeftAlone(dwCount);
  }
  ReleaseAttach();
  MLCLOG(DBG_TRACE, "DllMain: dwMlcAttachCount is now %ld\n", (LONG)dwCount);

  CloseGlobalMutexes();
  CloseAttachTable();
  ReleaseNamedBlock(szGlobalBlock);
  ReleaseNamedBlock(szPortsBlock);

  ReleaseGlobalArea();
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    if (PortMapMemInfo[iPort]) {
      memReleaseSharedArea(PortMapMemInfo[iPort]);
      PortMapMemInfo[iPort] = 0;
    }
  }
}

BOOL MlcDllEntry(HINSTANCE hInstance, DWORD dwReason) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      fMlcAttached = ProcessAttach(hInstance);
      return fMlcAttached;
    case DLL_PROCESS_DETACH:
      if (fMlcAttached) {
        ProcessDetach();
        fMlcAttached = FALSE;
      }
      return TRUE;
    default:  // thread attach and detach
      return TRUE;
  }
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
  (void)lpReserved;
  return MlcDllEntry(hInstance, dwReason);
}

#if !defined(_WIN32)
// On Linux the loader knows no DllMain: the platform layer calls it when
// the library is loaded into a process and when it is unloaded (also
// through dlopen and dlclose), so attach and detach behave as on Windows.
W32_DLL_ENTRY(DllMain)
#endif
