// Starting and stopping the helper process that owns the poll timer.
#include "notify/hidden.h"

#include <string.h>

#include "debug/cm_debug.h"
#include "krzmlc15.h"
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
  return CreateProcessA(NULL, lpszCommandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL,
                        &si, pPI);
}

int LaunchHiddenExe() {
  MlcGlobalData* pMGD = ObtainMGD();
  if (pMGD->bMLCSetupDone) {
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

  MLCLOG(DBG_TRACE, "LHE: Wait for input idle so zolvihide.exe has a chance to start\n");
  int iResult = 1;
  pMGD = ObtainMGD();
  while (!pMGD->bMLCSetupDone) {
    ReleaseMGD();
    DWORD dwWaitRet = WaitForInputIdle(pi.hProcess, MLC_HELPER_IDLE_TIMEOUT);
    MLCLOG(DBG_TRACE, "Done waiting for input idle\n");
    pMGD = ObtainMGD();
    if (dwWaitRet != 0) {
      MLCLOG(DBG_ERROR, "dwWaitRet is non-zero\n");
      iResult = MLC_SYSTEM_FAILURE;
      break;
    }
    // A helper that ended without calling MLCSetup never will: give up
    // instead of waiting for it for ever.
    if (!pMGD->bMLCSetupDone && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
      MLCLOG(DBG_ERROR, "!   LHE: helper ended before its setup\n");
      iResult = MLC_SYSTEM_FAILURE;
      break;
    }
    // The helper is idle for input but has not finished its setup yet:
    // yield the processor instead of retesting the flag flat out.
    if (!pMGD->bMLCSetupDone) {
      ReleaseMGD();
      Sleep(1);
      pMGD = ObtainMGD();
    }
  }
  MLCLOG(DBG_TRACE, "bMLCSetupDone == TRUE\n");
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  ReleaseMGD();
  return iResult;
}

int KillHiddenExe() {
  MLCLOG(DBG_ENTRY, "--->KillHiddenExe: Enter\n");
  MlcGlobalData* pMGD = ObtainMGD();
  HWND hHidden = HwndFromDword(pMGD->hHiddenWnd);
  if (hHidden && IsWindow(hHidden)) {
    MLCLOG(DBG_TRACE, "KillHiddenExe Attempting to Obtain PMLInitDeInit Event\n");
    DWORD dwWait = WaitForSingleObject(hPMLInitDeInit, 0);
    if (dwWait == WAIT_OBJECT_0) {
      MLCLOG(DBG_TRACE, "KillHiddenExe PMLInitDeInit Event Obtained\n");
      PostMessageA(hHidden, WM_CLOSE, 0, 0);
      MLCLOG(DBG_TRACE, "KillHiddenExe: PostMessage WM_CLOSE Windows= 0x%x\n", pMGD->hHiddenWnd);
    } else {
      MLCLOG(DBG_ERROR,
             "!   KillHiddenExe: wait for PMLInitDeInit Event failed (%lu), err=%lu; "
             "helper not stopped\n",
             dwWait, GetLastError());
    }
  }
  pMGD->wPollTimerId = 0;
  ReleaseMGD();
  MLCLOG(DBG_EXIT, "<---KillHiddenExe: Exit\n");
  return 1;
}
