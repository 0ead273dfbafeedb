// Helpers shared by the test programs and their child: content patterns,
// a small generator, and starting the child program.
#pragma once

#include <stdio.h>
#include <windows.h>

#include "krzmem15.h"

constexpr DWORD kPortInit = 0xA0000;  // the sizes of a port area of the library
constexpr DWORD kPortMax = 0xF10000;

// Byte i of the pattern of key (key 0xFFFFFFFF: zeros).
inline BYTE PatternByte(DWORD key, DWORD i) {
  return key == 0xFFFFFFFF ? 0 : static_cast<BYTE>((key * 2654435761u + i * 40503u) >> 13);
}
inline void Fill(void* p, DWORD n, DWORD key) {
  for (DWORD i = 0; i < n; ++i) static_cast<BYTE*>(p)[i] = PatternByte(key, i);
}
inline bool Check(const void* p, DWORD n, DWORD key) {  // p holds n bytes of key's pattern
  for (DWORD i = 0; p && i < n; ++i)
    if (static_cast<const BYTE*>(p)[i] != PatternByte(key, i)) return false;
  return p != nullptr;
}
inline bool AllZero(const void* p, DWORD n) { return Check(p, n, 0xFFFFFFFF); }

struct Rng {  // xorshift32
  DWORD s;
  DWORD below(DWORD n) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s % n;
  }
};

// Starts "<program> <args>"; the process handle, or NULL.
inline HANDLE StartChild(const char* args, const char* program = "MEMCHILD.EXE") {
  char cmd[512];
  snprintf(cmd, sizeof cmd, "%s %s", program, args);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// The child's exit code; 0xDEAD when it had to be stopped after `ms`.
inline DWORD WaitChild(HANDLE process, DWORD ms = 120000) {
  DWORD code = 0xDEAD;
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0) TerminateProcess(process, 0xDEAD);
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}
