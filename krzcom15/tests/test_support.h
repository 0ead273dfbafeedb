// Helpers shared by the KRZCOM15 tests and their child program.
#pragma once

#include <windows.h>

#include <string>

#include "krzcom15.h"
#include "vperi.h"

// Event a child sets once it is in the state the test asked for.
#define CHILD_READY_EVENT "KRZCOM15TEST.ChildReady"

// The device ID the test peripherals announce (length bytes included).
std::string TestDeviceId(const char* pszText);

// Starts "krzcom15_child.exe <args>"; TRUE once it reports ready, FALSE
// when it could not start or ended first (FinishChild then tells why).
BOOL StartChild(const char* pszArgs, PROCESS_INFORMATION* pPi);
// Waits for a child to end and returns its exit code (0xFFFFFFFF on time-out).
DWORD FinishChild(PROCESS_INFORMATION* pPi, DWORD dwTimeoutMs = 30000);
// Kills a child the way a crash would and waits for it to be gone.
inline void KillChild(PROCESS_INFORMATION* pPi) {
  TerminateProcess(pPi->hProcess, 9);
  FinishChild(pPi);
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
