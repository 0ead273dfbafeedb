// Test helpers shared by the test programs and their child: block content
// patterns, and starting the child program.
#pragma once

#include <stdio.h>
#include <windows.h>

#include "krzmem15.h"

// Sizes of a port area of the library.
constexpr DWORD kPortInit = 0xA0000;
constexpr DWORD kPortMax = 0xF10000;

// Fills `n` bytes with a pattern that depends on `key`.
inline void Fill(void* p, DWORD n, DWORD key) {
  BYTE* b = static_cast<BYTE*>(p);
  for (DWORD i = 0; i < n; ++i) b[i] = static_cast<BYTE>((key * 2654435761u + i * 40503u) >> 13);
}

// True when `n` bytes carry Fill's pattern for `key`.
inline bool Check(const void* p, DWORD n, DWORD key) {
  const BYTE* b = static_cast<const BYTE*>(p);
  for (DWORD i = 0; i < n; ++i) {
    if (b[i] != static_cast<BYTE>((key * 2654435761u + i * 40503u) >> 13)) return false;
  }
  return true;
}

inline bool AllZero(const void* p, DWORD n) {
  const BYTE* b = static_cast<const BYTE*>(p);
  for (DWORD i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// Small deterministic generator (xorshift32).
struct Rng {
  DWORD s;
  DWORD next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  DWORD below(DWORD n) { return next() % n; }
};

// Starts "MEMCHILD.EXE <args>"; the process handle, or NULL.
inline HANDLE StartChild(const char* args) {
  char cmd[512];
  snprintf(cmd, sizeof cmd, "MEMCHILD.EXE %s", args);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Waits for a child and returns its exit code; 0xDEAD when it does not end
// within `ms` (it is then terminated).
inline DWORD WaitChild(HANDLE process, DWORD ms = 120000) {
  DWORD code = 0xDEAD;
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process, &code);
  } else {
    TerminateProcess(process, 0xDEAD);
    WaitForSingleObject(process, INFINITE);
  }
  CloseHandle(process);
  return code;
}

inline DWORD RunChild(const char* args, DWORD ms = 120000) {
  HANDLE p = StartChild(args);
  return p ? WaitChild(p, ms) : 0xBAD;
}
