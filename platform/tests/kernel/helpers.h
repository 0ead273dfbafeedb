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

// Starts a program (application name, command line, environment block as
// CreateProcessA takes them); returns its process handle (the thread handle
// is closed) or NULL.
inline HANDLE start(const char* app, std::string line, LPVOID env = NULL, DWORD* pid = nullptr) {
  STARTUPINFOA si = STARTUPINFOA{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(app, &line[0], NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, env, NULL, &si, &pi))
    return NULL;
  CloseHandle(pi.hThread);
  if (pid) *pid = pi.dwProcessId;
  return pi.hProcess;
}

inline HANDLE start_child(const std::string& args) {
  return start(NULL, "kernel_child.exe " + args);
}

// Waits for the process and returns its exit code (0xFFFFFFFF on time-out).
inline DWORD finish_child(HANDLE process, DWORD ms = 20000) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// Runs a program to completion: its exit code, 0xFFFFFFFE when it could not start.
inline DWORD run(const char* app, const std::string& line, LPVOID env = NULL) {
  HANDLE h = start(app, line, env);
  return h ? finish_child(h) : 0xFFFFFFFE;
}
inline DWORD run_child(const std::string& args) { return run(NULL, "kernel_child.exe " + args); }

}  // namespace kt
