#include "test_support.h"

#include <stdio.h>
#include <string.h>

std::string TestDeviceId(const char* pszText) {
  size_t cb = strlen(pszText) + 2;
  std::string id;
  id += (char)(cb >> 8);
  id += (char)(cb & 0xFF);
  id += pszText;
  return id;
}

BOOL StartChild(const char* pszArgs, PROCESS_INFORMATION* pPi, BOOL fWaitReady) {
  HANDLE hReady = CreateEventA(NULL, TRUE, FALSE, CHILD_READY_EVENT);
  if (hReady == NULL) return FALSE;
  ResetEvent(hReady);
  char szCmd[256];
  wsprintfA(szCmd, "krzcom15_child.exe %s", pszArgs);
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  memset(pPi, 0, sizeof *pPi);
  BOOL fOk = CreateProcessA(NULL, szCmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, pPi);
  if (fOk && fWaitReady) {
    HANDLE ah[2] = {hReady, pPi->hProcess};
    // Whichever comes first: the child is ready, or it ended early.
    DWORD dwWait = WAIT_TIMEOUT;
    for (int i = 0; i < 200 && dwWait == WAIT_TIMEOUT; ++i) {
      dwWait = WaitForSingleObject(ah[0], 50);
      if (dwWait == WAIT_TIMEOUT && WaitForSingleObject(ah[1], 0) == WAIT_OBJECT_0) break;
    }
    fOk = dwWait == WAIT_OBJECT_0;
  }
  CloseHandle(hReady);
  return fOk;
}

DWORD FinishChild(PROCESS_INFORMATION* pPi, DWORD dwTimeoutMs) {
  DWORD dwCode = 0xFFFFFFFF;
  if (WaitForSingleObject(pPi->hProcess, dwTimeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(pPi->hProcess, &dwCode);
  else
    TerminateProcess(pPi->hProcess, 99);
  WaitForSingleObject(pPi->hProcess, 10000);
  CloseHandle(pPi->hThread);
  CloseHandle(pPi->hProcess);
  return dwCode;
}

void KillChild(PROCESS_INFORMATION* pPi) {
  TerminateProcess(pPi->hProcess, 9);
  WaitForSingleObject(pPi->hProcess, 10000);
  CloseHandle(pPi->hThread);
  CloseHandle(pPi->hProcess);
}

DWORD Checksum(DWORD dwHash, const BYTE* pb, DWORD cb) {
  for (DWORD i = 0; i < cb; ++i) dwHash = (dwHash ^ pb[i]) * 16777619u;
  return dwHash;
}
