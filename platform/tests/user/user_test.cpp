#include "user_test.h"

#include <stdio.h>

namespace usertest {

std::vector<Seen>& seen() {
  static std::vector<Seen> v;
  return v;
}

LRESULT CALLBACK record_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  seen().push_back(Seen{h, msg, wp, lp});
  if (msg == WM_USER + 100) return (LRESULT)(wp + lp);
  if (msg == WM_USER + 101) {  // sent from elsewhere: answer and post ourselves a note
    PostMessageA(h, WM_USER + 102, 0, 0);
    return 77;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

HINSTANCE instance() { return GetModuleHandleA(NULL); }

HWND make_window(int extra) {
  char name[32];
  snprintf(name, sizeof name, "UserTestRec%d", extra);
  WNDCLASSA wc{0, record_proc, 0, extra, instance(), NULL, NULL, NULL, NULL, name};
  RegisterClassA(&wc);  // fails harmlessly once registered
  return CreateWindowExA(0, name, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, instance(),
                         NULL);
}

void drain() {
  MSG m;
  while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace usertest
