// Shared helpers of the kernel conformance suite.
#pragma once

#include <windows.h>

#include <string>

// The last error a call that must fail left (0 when it succeeded).
#define FAIL_ERR(call) (SetLastError(0), (call) ? 0u : GetLastError())

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

// Runs f() on a new thread; the thread's exit code is f's result.
template <class F>
DWORD WINAPI thread_main(LPVOID v) {
  F* f = (F*)v;
  DWORD result = (*f)();
  delete f;
  return result;
}
template <class F>
HANDLE thread(F f, DWORD* tid = NULL) {
  return CreateThread(NULL, 0, thread_main<F>, new F(f), 0, tid);
}
// Waits for the thread and returns its exit code (0xFFFFFFFF on time-out).
inline DWORD finish_thread(HANDLE t, DWORD ms = 10000) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(t, ms) == WAIT_OBJECT_0) GetExitCodeThread(t, &code);
  CloseHandle(t);
  return code;
}
template <class F>
DWORD on_thread(F f) {
  return finish_thread(thread(f));
}

}  // namespace kt
