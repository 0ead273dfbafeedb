#include "test_support.h"

#include <string.h>

std::string TestDeviceId(const char* pszText) {
  size_t cb = strlen(pszText) + 2;
  return std::string{(char)(cb >> 8), (char)(cb & 0xFF)} + pszText;
}

BOOL StartChild(const char* pszArgs, PROCESS_INFORMATION* pPi) {
  HANDLE hReady = CreateEventA(NULL, TRUE, FALSE, CHILD_READY_EVENT);
  ResetEvent(hReady);
  std::string cmd = std::string("krzcom15_child.exe ") + pszArgs;
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  memset(pPi, 0, sizeof *pPi);
  BOOL fOk = CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, pPi);
  // Whichever comes first: the child is ready, or it ended early.
  DWORD dwWait = WAIT_TIMEOUT;
  for (int i = 0; fOk && i < 400 && dwWait == WAIT_TIMEOUT; ++i) {
    dwWait = WaitForSingleObject(hReady, 50);
    if (dwWait == WAIT_TIMEOUT && WaitForSingleObject(pPi->hProcess, 0) == WAIT_OBJECT_0) break;
  }
  CloseHandle(hReady);
  return fOk && dwWait == WAIT_OBJECT_0;
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
