// Starting and stopping the helper process that owns the poll timer.
#include "notify/hidden.h"

#include <string.h>

#include "debug/cm_debug.h"
#include "krzmlc15.h"
#include "shared/config.h"
#include "shared/locks.h"

UINT AppendLoadPath(LPSTR lpBuffer, UINT uDirLen, LPCSTR lpszFile, UINT cbBuffer) {
  if (uDirLen == 0 || uDirLen >= cbBuffer) return 0;
  lpBuffer[uDirLen] = '\0';
  BOOL fSlash = lpBuffer[uDirLen - 1] != '\\';
  size_t cbNeeded =
      uDirLen + (fSlash ? 1 : 0) + strlen(MLC_HELPER_DRIVER_DIR) + strlen(lpszFile) + 1;
  if (cbNeeded > cbBuffer) return 0;
  if (fSlash) lpBuffer[uDirLen++] = '\\';
  lstrcpyA(lpBuffer + uDirLen, MLC_HELPER_DRIVER_DIR);
  lstrcpyA(lpBuffer + uDirLen + strlen(MLC_HELPER_DRIVER_DIR), lpszFile);
  return uDirLen;
}

UINT FormatLoadPath(LPCSTR lpszFile, LPSTR lpBuffer, UINT cbBuffer) {
  return AppendLoadPath(lpBuffer, GetSystemDirectoryA(lpBuffer, cbBuffer), lpszFile, cbBuffer);
}

static BOOL StartHelper(LPSTR lpszCommandLine, PROCESS_INFORMATION* pPI) {
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessA(NULL, lpszCommandLine, NULL, NULL, FALSE,
                        NORMAL_PRIORITY_CLASS | DETACHED_PROCESS, NULL, NULL, &si, pPI);
}

// Whether a helper is set up and its window still exists. A helper that
// ended without MLCCleanup (stopped, killed) leaves its setup behind; that
// is cleared here, so that a new helper can set up. Under the MGD mutex.
static BOOL HelperSetUp(MlcGlobalData* pMGD) {
  if (!pMGD->bMLCSetupDone) return FALSE;
  if (IsWindow(HwndFromDword(pMGD->hHiddenWnd))) return TRUE;
  MLCLOG(DBG_ERROR, "!   LHE: helper window 0x%lx is gone; setup cleared\n", pMGD->hHiddenWnd);
  pMGD->hHiddenWnd = 0;
  pMGD->bMLCSetupDone = FALSE;
  return FALSE;
}

// The longest single wait for the helper to go idle before its setup is
// looked at again.
static const DWORD kSetupSliceMs = 20;

int LaunchHiddenExe() {
  MlcGlobalData* pMGD = ObtainMGD();
  if (HelperSetUp(pMGD)) {
    MLCLOG(DBG_TRACE, "LaunchHiddenExe: Setup already done\n");
    ReleaseMGD();
    return 1;
  }
  ReleaseMGD();

  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  char szCommand[256];
  lstrcpyA(szCommand, MLC_HELPER_EXE);
  BOOL fStarted = StartHelper(szCommand, &pi);
  if (!fStarted && FormatLoadPath(MLC_HELPER_EXE, szCommand, sizeof szCommand))
    fStarted = StartHelper(szCommand, &pi);
  if (!fStarted) {
    MLCLOG(DBG_ERROR, "LHE: CreateProc failed!\n");
    return MLC_SYSTEM_FAILURE;
  }

  // The caller holds its port's mutex: the wait for the helper's setup ends
  // after gHelper_Setup_Timeout ms whatever the helper does.
  MLCLOG(DBG_TRACE, "LHE: Wait for input idle so zolvihide.exe has a chance to start\n");
  const DWORD dwStart = GetTickCount();
  const DWORD dwLimit = (DWORD)gHelper_Setup_Timeout;
  int iResult = 1;
  pMGD = ObtainMGD();
  while (!pMGD->bMLCSetupDone) {
    ReleaseMGD();
    // The helper may set up and then not go idle for a while: input waiting
    // on a port makes it poll first, and that poll waits for the port mutex
    // this caller holds. So the wait for idle is sliced and the setup looked
    // at after each slice, instead of waiting out the whole limit.
    DWORD dwElapsed = GetTickCount() - dwStart;
    DWORD dwSlice = dwLimit - dwElapsed < kSetupSliceMs ? dwLimit - dwElapsed : kSetupSliceMs;
    DWORD dwWaitRet = dwElapsed < dwLimit ? WaitForInputIdle(pi.hProcess, dwSlice) : WAIT_TIMEOUT;
    MLCLOG(DBG_TRACE, "Done waiting for input idle\n");
    // Idle for input, the helper runs its message loop and calls MLCSetup
    // soon: pause briefly, and notice a helper that ended instead.
    BOOL fEnded = WaitForSingleObject(pi.hProcess, dwWaitRet == 0 ? 10 : 0) == WAIT_OBJECT_0;
    pMGD = ObtainMGD();
    if (pMGD->bMLCSetupDone) break;
    if (dwWaitRet == WAIT_TIMEOUT && GetTickCount() - dwStart < dwLimit && !fEnded) continue;
    if (dwWaitRet != 0) {
      MLCLOG(DBG_ERROR, "dwWaitRet is non-zero\n");
      iResult = MLC_SYSTEM_FAILURE;
      break;
    }
    if (fEnded) {
      MLCLOG(DBG_ERROR, "!   LHE: helper ended before its setup\n");
      iResult = MLC_SYSTEM_FAILURE;
      break;
    }
    if (GetTickCount() - dwStart >= dwLimit) {
      MLCLOG(DBG_ERROR, "!   LHE: helper not set up within %lu ms\n", dwLimit);
      iResult = MLC_SYSTEM_FAILURE;
      break;
    }
  }
  if (iResult == 1) {
    MLCLOG(DBG_TRACE, "bMLCSetupDone == TRUE\n");
  } else if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
    // A program that did not set up in time is not our helper, or a hung
    // one: ending it keeps every later attempt from leaving one more behind.
    TerminateProcess(pi.hProcess, 1);
    MLCLOG(DBG_ERROR, "!   LHE: helper that did not set up was ended\n");
  }
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  ReleaseMGD();
  return iResult;
}

int KillHiddenExe() {
  MLCLOG(DBG_ENTRY, "--->KillHiddenExe: Enter\n");
  MlcGlobalData* pMGD = ObtainMGD();
  HWND hHidden = HwndFromDword(pMGD->hHiddenWnd);
  // Asked to close, or gone already, the helper is no longer set up: the
  // next link initialisation starts a new one.
  BOOL fStopped = !hHidden || !IsWindow(hHidden);
  if (!fStopped) {
    MLCLOG(DBG_TRACE, "KillHiddenExe Attempting to Obtain PMLInitDeInit Event\n");
    DWORD dwWait = WaitForSingleObject(hPMLInitDeInit, 0);
    if (dwWait == WAIT_OBJECT_0) {
      MLCLOG(DBG_TRACE, "KillHiddenExe PMLInitDeInit Event Obtained\n");
      fStopped = PostMessageA(hHidden, WM_CLOSE, 0, 0);
      MLCLOG(DBG_TRACE, "KillHiddenExe: PostMessage WM_CLOSE Windows= 0x%x\n", pMGD->hHiddenWnd);
      if (!fStopped)
        MLCLOG(DBG_ERROR, "!   KillHiddenExe: WM_CLOSE not posted, err=%lu; helper kept\n",
               GetLastError());
      // The event only keeps a stop from cutting into a PML initialisation:
      // once WM_CLOSE is posted (or could not be) the stop is over. Kept
      // taken, it would make the next helper unstoppable and every PML
      // component wait out its time-out.
      SetEvent(hPMLInitDeInit);
    } else {
      MLCLOG(DBG_ERROR,
             "!   KillHiddenExe: wait for PMLInitDeInit Event failed (%lu), err=%lu; "
             "helper not stopped\n",
             dwWait, GetLastError());
    }
  }
  if (fStopped) {
    pMGD->hHiddenWnd = 0;
    pMGD->bMLCSetupDone = FALSE;
  }
  pMGD->wPollTimerId = 0;
  ReleaseMGD();
  MLCLOG(DBG_EXIT, "<---KillHiddenExe: Exit\n");
  return 1;
}
