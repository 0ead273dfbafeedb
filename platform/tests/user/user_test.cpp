#include "user_test.h"

#include <stdio.h>

#include <mutex>

namespace usertest {

namespace {
std::mutex g_mu;
}

std::vector<Seen>& seen() {
  static std::vector<Seen> v;
  return v;
}

bool saw(UINT msg) {
  std::lock_guard<std::mutex> guard(g_mu);
  for (const Seen& s : seen())
    if (s.msg == msg) return true;
  return false;
}

LRESULT CALLBACK record_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  {
    std::lock_guard<std::mutex> guard(g_mu);
    seen().push_back(Seen{h, msg, wp, lp});
  }
  if (msg == WM_USER + 100) return (LRESULT)(wp + lp);
  return DefWindowProcA(h, msg, wp, lp);
}

HINSTANCE instance() { return GetModuleHandleA(NULL); }

void ensure_class(const char* name, int extra) {
  WNDCLASSA wc;
  if (GetClassInfoA(instance(), name, &wc)) return;
  wc = WNDCLASSA{};
  wc.lpfnWndProc = record_proc;
  wc.cbWndExtra = extra;
  wc.hInstance = instance();
  wc.lpszClassName = name;
  RegisterClassA(&wc);
}

HWND make_window(int extra) {
  char name[32];
  snprintf(name, sizeof name, "UserTestRec%d", extra);
  ensure_class(name, extra);
  return CreateWindowExA(0, name, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, instance(),
                         NULL);
}

void drain() {
  MSG m;
  while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace usertest
