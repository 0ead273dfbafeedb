// Child process of the cross-process window tests, the same source for
// Linux and Windows. Usage:
//   user_child pump <parent hwnd>  create a window, announce it to the parent
//                                  with WM_USER + 1 (wParam = our window),
//                                  then pump until the window is closed
//   user_child busy                run for a while without asking for messages
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace {

HWND g_parent = NULL;

LRESULT CALLBACK child_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_USER + 10:  // echo back, to check order across processes
      PostMessageA(g_parent, WM_USER + 11, wp, lp);
      return 0;
    case WM_USER + 20:  // sent: computed here
      return (LRESULT)(wp * 2 + lp);
    case WM_USER + 30:  // sent: posts to the waiting parent, then sends to it
      PostMessageA(g_parent, WM_USER + 32, 0, 0);
      return SendMessageA(g_parent, WM_USER + 100, wp, (LPARAM)(wp * 9)) + 1;
    case WM_USER + 40:  // sent: never answered; the parent kills us
      PostMessageA(g_parent, WM_USER + 41, 0, 0);
      for (;;) Sleep(1000);
    case WM_DESTROY:
      PostQuitMessage(5);
      return 0;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

int pump() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = child_proc;
  wc.cbWndExtra = 10;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "UserTestChild";
  if (!RegisterClassA(&wc)) return 10;
  HWND h = CreateWindowExA(0, "UserTestChild", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                           wc.hInstance, NULL);
  if (!h) return 11;
  if (!PostMessageA(g_parent, WM_USER + 1, (WPARAM)h, (LPARAM)GetCurrentProcessId())) return 12;
  MSG m;
  while (GetMessageA(&m, NULL, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return (int)m.wParam;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "pump") == 0) {
    g_parent = (HWND)(ULONG_PTR)strtoul(argv[2], NULL, 0);
    return pump();
  }
  if (argc >= 2 && strcmp(argv[1], "busy") == 0) {
    Sleep(10000);
    return 0;
  }
  fprintf(stderr, "usage: user_child pump <hwnd> | busy\n");
  return 2;
}
