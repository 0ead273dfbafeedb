// SEAM: the window procedure of blocking-call windows. Its channel
// notifications (MLC_NOTIFY_MSG) arrive with the blocking read and write
// work; until then every message takes the default path, which destroys
// the window on WM_CLOSE.
#include "debug/cm_debug.h"
#include "notify/wndproc.h"

LRESULT CALLBACK P1284WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  MLCLOG(DBG_ENTRY, "1284WndProc called\n");
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}
