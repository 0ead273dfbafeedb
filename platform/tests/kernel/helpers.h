// Shared helpers of the kernel conformance suite.
#pragma once

#include <windows.h>

#include <string>

namespace kt {

// A name unique to this test process and call, ending in a line feed as
// the product's names do.
inline std::string unique_name(const char* what) {
  static int counter = 0;
  char buf[128];
  wsprintfA(buf, "kt-%s-%lu-%d", what, GetCurrentProcessId(), ++counter);
  return buf;
}
inline std::string with_lf(const std::string& base) { return base + "\n"; }

// Starts kernel_child with the given arguments; returns its process handle
// (the thread handle is closed) or NULL.
inline HANDLE start_child(const std::string& args, DWORD* pid = nullptr) {
  std::string line = "kernel_child.exe " + args;
  STARTUPINFOA si;
  si = STARTUPINFOA{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return NULL;
  CloseHandle(pi.hThread);
  if (pid) *pid = pi.dwProcessId;
  return pi.hProcess;
}

// Waits for the child and returns its exit code (0xFFFFFFFF on time-out).
inline DWORD finish_child(HANDLE process, DWORD ms = 20000) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// Runs kernel_child to completion.
inline DWORD run_child(const std::string& args) {
  HANDLE h = start_child(args);
  return h ? finish_child(h) : 0xFFFFFFFE;
}

}  // namespace kt
