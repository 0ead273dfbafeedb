// Callback windows: a hidden window per channel whose client gave a callback
// instead of a window, created in the opening thread so that the callback
// runs there, from that thread's message loop.
#include "debug/cm_debug.h"
#include "notify/cbtable.h"
#include "notify/wndproc.h"
#include "shared/records.h"

// SEAM: the callback calls (MLC_CALLBACK_MSG, HIDDEN_DISCONNECT_*) arrive
// with the callback work; until then every message takes the default path,
// which destroys the window on WM_CLOSE.
LRESULT CALLBACK CallBackWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  MLCLOG(DBG_ENTRY, "CallBackWndProc called\n");
  if (uMsg == WM_NCDESTROY) ForgetCallBack((DWORD)GetWindowLongPtrA(hWnd, GWLP_USERDATA));
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND CreateCallBackWindow(DWORD dwCallBackKey) {
  WNDCLASSA wc;
  if (!GetClassInfoA(hMlcInstance, MLC_CALLBACK_WND_CLASS, &wc)) {
    ZeroMemory(&wc, sizeof wc);
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = CallBackWndProc;
    wc.hInstance = hMlcInstance;
    wc.lpszClassName = MLC_CALLBACK_WND_CLASS;
    if (!RegisterClassA(&wc)) return NULL;
  }
  HWND hWnd = CreateWindowExA(0, MLC_CALLBACK_WND_CLASS, NULL, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                              NULL, NULL, hMlcInstance, NULL);
  if (hWnd) SetWindowLongPtrA(hWnd, GWLP_USERDATA, (LONG_PTR)dwCallBackKey);
  return hWnd;
}
