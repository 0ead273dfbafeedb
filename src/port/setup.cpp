// One-time setup by the helper process and its counterpart: the helper's
// window, the window class of blocking calls, and this process's ports.
#include <string.h>

#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "notify/wndproc.h"
#include "port/porthandle.h"
#include "shared/locks.h"

int WINAPI MLCSetup(HWND hWnd) {
  MlcGlobalData* pMGD = ObtainMGD();
  MLCLOG(DBG_TRACE, "MLCSetup - setup(already)=%d\n", pMGD->bMLCSetupDone);
  if (pMGD->bMLCSetupDone) {
    ReleaseMGD();
    return 0;
  }
  WNDCLASSA wc;
  if (!GetClassInfoA(hMlcInstance, MLC_HIDDEN_WND_CLASS, &wc)) {
    memset(&wc, 0, sizeof wc);
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = P1284WndProc;
    wc.cbWndExtra = MLC_WAIT_WND_EXTRA;
    wc.hInstance = hMlcInstance;
    wc.lpszClassName = MLC_HIDDEN_WND_CLASS;
    if (!RegisterClassA(&wc)) {
      ReleaseMGD();
      return 0;
    }
  }

  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort) {
    if (GetPortHandle(bPort)) continue;
    DWORD hPort = VCOMM_OpenCommA(MLCPortInfoStr[bPort].szName, 1);
    if (!hPort) {
      MLCLOG(DBG_TRACE, "MLCSetup: GetPortHandle error: port=%d \n", bPort);
      continue;
    }
    MLCPortInfoStr[bPort].dwRefCount = 0;
    SetPortHandle(bPort, hPort);
  }

  // The window is recorded with the setup only: a failed setup leaves no
  // helper window behind.
  pMGD->hHiddenWnd = DwordFromHwnd(hWnd);
  MLCLOG(DBG_TRACE, "MLCSetup: Setting bMLCSetupDone to true\n");
  pMGD->bMLCSetupDone = TRUE;
  ReleaseMGD();
  return 1;
}

void WINAPI MLCCleanup() {
  MlcGlobalData* pMGD = ObtainMGD();
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort)
    if (GetPortHandle(bPort)) ReleasePortHandle(bPort, FALSE);

  WNDCLASSA wc;
  if (pMGD->bMLCSetupDone && hMlcInstance) {
    if (GetClassInfoA(hMlcInstance, MLC_HIDDEN_WND_CLASS, &wc)) {
      MLCLOG(DBG_TRACE, "MLCCleanup: Unregistering MlcWndClass\n");
      UnregisterClassA(MLC_HIDDEN_WND_CLASS, hMlcInstance);
    }
    if (GetClassInfoA(hMlcInstance, MLC_CALLBACK_WND_CLASS, &wc)) {
      MLCLOG(DBG_TRACE, "MLCCleanup: Unregistering CallBackWndClass\n");
      UnregisterClassA(MLC_CALLBACK_WND_CLASS, hMlcInstance);
    }
  }
  // The setup of a helper that still runs in another process stays: clearing
  // it would leave that helper running with nobody to stop it.
  HWND hHidden = HwndFromDword(pMGD->hHiddenWnd);
  DWORD dwOwner = 0;
  if (hHidden && IsWindow(hHidden) && GetWindowThreadProcessId(hHidden, &dwOwner) &&
      dwOwner != GetCurrentProcessId()) {
    MLCLOG(DBG_TRACE, "MLCCleanup: helper window belongs to process %lu, setup kept\n", dwOwner);
  } else {
    MLCLOG(DBG_TRACE, "MLCCleanup: Setting hiddenwindow, setupdone to 0\n");
    pMGD->hHiddenWnd = 0;
    pMGD->bMLCSetupDone = FALSE;
  }
  ReleaseMGD();
}
