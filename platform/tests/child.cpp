// Partner process of the cross-process cases. The first argument picks what
// it does; the exit code reports the outcome (0 = done as asked, 10 and up =
// which step failed, 3 = unknown mode). Names get their line feed here.
#include <signal.h>
#include <stdlib.h>
#include <windows.h>

#include <string>

#include "support.h"

namespace {

using pt::lf;

void wait_for_kill() { WaitForSingleObject(CreateEventA(NULL, TRUE, FALSE, NULL), INFINITE); }

// Takes (or makes) the mutex, maps "<base>-map" and sets `ready`. "exit"
// then exits owning them; "close" first closes its only mutex handle; "kill"
// waits to be killed.
int hold_mutex(const std::string& base, const char* ready, const std::string& how) {
  HANDLE m = CreateMutexA(NULL, FALSE, lf(base).c_str());
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, lf(ready).c_str());
  if (!m || !e || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 10;
  if (how == "close" && !CloseHandle(m)) return 11;
  HANDLE f = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096,
                                lf(base + "-map").c_str());
  if (!f || !MapViewOfFile(f, FILE_MAP_ALL_ACCESS, 0, 0, 0) || !SetEvent(e)) return 12;
  if (how == "kill") wait_for_kill();
  return 0;
}

// Waits for the mutex: 0 = got it, 1 = abandoned. With `stop` (POSIX) it
// first stops itself, so that a tracing parent knows the wait comes next.
int wait_mutex(const std::string& base, bool stop) {
  HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, lf(base).c_str());
  if (!m) return 10;
#ifndef _WIN32
  if (stop) raise(SIGSTOP);
#endif
  (void)stop;
  DWORD r = WaitForSingleObject(m, INFINITE);
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return 11;
  return !ReleaseMutex(m) || !CloseHandle(m) ? 12 : r == WAIT_ABANDONED;
}

int event(const std::string& base, bool set) {
  HANDLE e = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, lf(base).c_str());
  if (!e) return 10;
  return (set ? SetEvent(e) : WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0) ? 0 : 11;
}

// A view of the named mapping, or NULL; the process's exit closes it.
char* view(const std::string& base) {
  HANDLE m = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, lf(base).c_str());
  return m ? (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
}

// A window announced to the parent with WM_USER + 1, pumped until closed.
HWND g_parent = NULL;

LRESULT CALLBACK child_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_USER + 10:  // echoed back, to check order across processes
      return PostMessageA(g_parent, WM_USER + 11, wp, lp);
    case WM_USER + 30:  // sent: posts to the waiting parent, then sends to it
      PostMessageA(g_parent, WM_USER + 32, 0, 0);
      return SendMessageA(g_parent, WM_USER + 100, wp, (LPARAM)(wp * 9)) + 1;
    case WM_USER + 40:  // sent: never answered; the parent kills us
      PostMessageA(g_parent, WM_USER + 41, 0, 0);
      wait_for_kill();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(5);
      return 0;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

int pump(const char* parent) {
  g_parent = (HWND)(ULONG_PTR)strtoul(parent, NULL, 0);
  WNDCLASSA wc{0, child_proc, 0, 0, GetModuleHandleA(NULL), NULL, NULL, NULL, NULL, "PtChild"};
  HWND h = RegisterClassA(&wc) ? CreateWindowExA(0, "PtChild", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                                 NULL, NULL, wc.hInstance, NULL)
                               : NULL;
  if (!h || !PostMessageA(g_parent, WM_USER + 1, (WPARAM)h, 0)) return 10;
  MSG m;
  while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
  return (int)m.wParam;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "", a2 = argc > 2 ? argv[2] : "";
  const char* a3 = argc > 3 ? argv[3] : "";
  if (mode == "exit" && argc == 3) return atoi(argv[2]);
  if (mode == "hold-mutex" && argc == 5) return hold_mutex(a2, a3, argv[4]);
  if (mode == "wait-mutex" && argc == 4) return wait_mutex(a2, atoi(a3) != 0);
  if (mode == "set-event" && argc == 3) return event(a2, true);
  if (mode == "wait-event" && argc == 3) return event(a2, false);
  if (mode == "churn" && argc == 5)  // the mutex, the mapping with the counter, rounds
    return view(a3) ? pt::churn(lf(a2), (volatile LONG*)view(a3), atoi(argv[4])) : 10;
  if (mode == "pump" && argc == 3) return pump(argv[2]);
  if (mode == "args" && argc >= 3) {  // into the mapping, separated by '|'
    std::string text;
    for (int i = 3; i < argc; ++i) text.append(i > 3 ? "|" : "").append(argv[i]);
    char* p = view(a2);
    return p ? lstrcpyA(p, text.c_str()), 0 : 10;
  }
  return 3;
}
