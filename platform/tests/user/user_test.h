// Shared helpers of the window and message conformance tests.
#pragma once

#include <stdio.h>
#include <windows.h>

#include <vector>

// The last error a call that must fail left (0 when it succeeded).
#define FAIL_ERR(call) (SetLastError(0), (call) ? 0u : GetLastError())

namespace usertest {

// A message as the recording window procedure saw it.
struct Seen {
  HWND hwnd;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
};

// Messages the recording procedure got, in order (only touched by threads
// that do not run at the same time; tests clear it first).
inline std::vector<Seen>& seen() {
  static std::vector<Seen> v;
  return v;
}

// Records the message; WM_USER + 100 answers wParam + lParam, WM_USER + 101
// posts WM_USER + 102 to the window and answers 77; everything else goes to
// DefWindowProcA.
inline LRESULT CALLBACK record_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  seen().push_back(Seen{h, msg, wp, lp});
  if (msg == WM_USER + 100) return (LRESULT)(wp + lp);
  if (msg == WM_USER + 101) {  // sent from elsewhere: answer and post ourselves a note
    PostMessageA(h, WM_USER + 102, 0, 0);
    return 77;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

inline HINSTANCE instance() { return GetModuleHandleA(NULL); }

// A hidden window of a recording class with `extra` window bytes, created
// as the product creates its windows.
inline HWND make_window(int extra = 0) {
  char name[32];
  snprintf(name, sizeof name, "UserTestRec%d", extra);
  WNDCLASSA wc{0, record_proc, 0, extra, instance(), NULL, NULL, NULL, NULL, name};
  RegisterClassA(&wc);  // fails harmlessly once registered
  return CreateWindowExA(0, name, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, instance(),
                         NULL);
}

// Removes everything waiting in the calling thread's queue.
inline void drain() {
  MSG m;
  while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace usertest
