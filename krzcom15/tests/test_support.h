// Helpers shared by the KRZCOM15 tests and their child program.
#pragma once

#include <string.h>
#include <windows.h>

#include <string>

#include "krzcom15.h"
#include "vperi.h"

// Event a child sets once it is in the state the test asked for.
#define CHILD_READY_EVENT "KRZCOM15TEST.ChildReady"

// The device ID the test peripherals announce (length bytes included).
inline std::string TestDeviceId(const char* pszText) {
  size_t cb = strlen(pszText) + 2;
  return std::string{(char)(cb >> 8), (char)(cb & 0xFF)} + pszText;
}

// Waits for a child to end and returns its exit code (0xFFFFFFFF on time-out).
inline DWORD FinishChild(PROCESS_INFORMATION* pPi, DWORD dwTimeoutMs = 30000) {
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
// Kills a child the way a crash would and waits for it to be gone.
inline void KillChild(PROCESS_INFORMATION* pPi) {
  TerminateProcess(pPi->hProcess, 9);
  FinishChild(pPi);
}

// Starts "krzcom15_child.exe <args>"; TRUE once it reports ready, FALSE
// when it could not start or ended first (FinishChild then tells why).
inline BOOL StartChild(const char* pszArgs, PROCESS_INFORMATION* pPi) {
  HANDLE hReady = CreateEventA(NULL, TRUE, FALSE, CHILD_READY_EVENT);
  ResetEvent(hReady);
  std::string cmd = std::string("krzcom15_child.exe ") + pszArgs;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
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

// The i-th byte of the test pattern.
inline BYTE PatternByte(DWORD i) { return (BYTE)((i * 7 + (i >> 8)) & 0xFF); }

// The configuration every test runs with (written to the Windows directory
// before the first test, removed after the last):
//   LPT1  defaults (virtual wire, 2000 ms, 64 KiB buffers)
//   LPT2  WriteTimeout=300, both buffers 4096 bytes
//   LPT3  Backend=parport (not available)
#define TEST_SHORT_TIMEOUT_MS 300
#define TEST_SMALL_BUFFER 4096
