// Helpers shared by the conformance tests: names, child processes and
// threads, the one bounded poll, and a recording window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/syscall.h>

#include <fstream>
#endif

// The last error a call that must fail left (0 when it succeeded).
#define FAIL_ERR(call) (SetLastError(0), (call) ? 0u : GetLastError())
#define EXPECT_ERR(call, error) EXPECT_EQ(FAIL_ERR(call), (DWORD)(error))

namespace pt {

// A name unique to this process and call; lf() adds the product's line feed.
inline std::string unique_name(const char* what) {
  static int n = 0;
  return "pt-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n) + "-" + what;
}
inline std::string lf(const std::string& base) { return base + "\n"; }

// Starts a program (the child with start_child); its process handle or NULL.
inline HANDLE start(std::string line, LPVOID env = NULL, DWORD* pid = nullptr) {
  STARTUPINFOA si = STARTUPINFOA{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, env, NULL, &si,
                      &pi))
    return NULL;
  CloseHandle(pi.hThread);
  if (pid) *pid = pi.dwProcessId;
  return pi.hProcess;
}
inline HANDLE start_child(const std::string& args, DWORD* pid = nullptr, LPVOID env = NULL) {
  return start("platform_child.exe " + args, env, pid);
}

// Waits for a process (or thread), closes it and returns its exit code:
// 0xFFFFFFFF on time-out, 0xFFFFFFFE when there was none.
inline DWORD finish(HANDLE h, DWORD ms = 20000, bool thread = false) {
  DWORD code = h ? 0xFFFFFFFF : 0xFFFFFFFE;
  if (h && WaitForSingleObject(h, ms) == WAIT_OBJECT_0)
    thread ? GetExitCodeThread(h, &code) : GetExitCodeProcess(h, &code);
  return h && CloseHandle(h), code;
}
inline DWORD run_child(const std::string& args, LPVOID env = NULL) {
  return finish(start_child(args, nullptr, env));
}

// Runs f() on a new thread, whose exit code is f's result.
template <class F>
HANDLE thread(F f, DWORD* tid = NULL) {
  auto run = [](LPVOID v) -> DWORD { return std::unique_ptr<F>((F*)v)->operator()(); };
  return CreateThread(NULL, 0, run, new F(f), 0, tid);
}
template <class F>
DWORD on_thread(F f) {
  return finish(thread(f), 10000, true);
}

// Rounds on the named mutex guarding the counter, whose increment is not
// atomic; 0 when all went well.
inline int churn(const std::string& mutex_name, volatile LONG* counter, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    // Open fails whenever nobody else has the name open at that moment.
    HANDLE m = i % 2 ? OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutex_name.c_str()) : 0;
    if (!m) m = CreateMutexA(NULL, FALSE, mutex_name.c_str());
    if (!m || WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 12;
    LONG v = *counter;
    if (i % 16 == 0) Sleep(0);  // yields inside the guarded section, to invite a race
    *counter = v + 1;
    if (!ReleaseMutex(m) || !CloseHandle(m)) return 13;
  }
  return 0;
}

// Whether f() holds within ms: for a state without an event to wait for.
template <typename F>
bool eventually(F f, DWORD ms = 10000) {
  for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < ms; Sleep(1))
    if (f()) return true;
  return f();
}

// Whether thread or process `id` sleeps in a wait: natively, in the futex
// call every wait of the layer ends in; Windows shows none (always true).
inline bool asleep(DWORD id) {
#ifdef _WIN32
  return id != 0;
#else
  std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
  std::ifstream call("/proc/" + std::to_string(id) + "/syscall");
  std::string line;
  long nr = -1;
  std::getline(stat, line);
  size_t p = line.rfind(')');
  return p != std::string::npos && line.compare(p, 3, ") S") == 0 && call >> nr && nr == SYS_futex;
#endif
}

// The messages the recording procedure got, in order (tests clear it first).
inline std::vector<UINT> seen;
// Records the message; WM_USER + 100 answers wParam + lParam, WM_USER + 101
// posts WM_USER + 102 to the window and answers 77.
inline LRESULT CALLBACK record_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  seen.push_back(msg);
  if (msg == WM_USER + 100) return (LRESULT)(wp + lp);
  if (msg == WM_USER + 101) return PostMessageA(h, WM_USER + 102, 0, 0) ? 77 : 0;
  return DefWindowProcA(h, msg, wp, lp);
}
// A hidden window of the recording class; fresh_window() also empties the
// calling thread's queue.
inline HWND make_window() {
  HINSTANCE inst = GetModuleHandleA(NULL);
  WNDCLASSA wc{0, record_proc, 0, 0, inst, NULL, NULL, NULL, NULL, "PtRec"};
  RegisterClassA(&wc);  // fails harmlessly once registered
  return CreateWindowExA(0, "PtRec", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, inst, NULL);
}
inline HWND fresh_window() {
  HWND h = make_window();
  for (MSG m; PeekMessageA(&m, NULL, 0, 0, PM_REMOVE);) continue;
  return h;
}

}  // namespace pt
