// KRZHID15.EXE: creates the hidden helper window, hands it to the library,
// and pumps its messages until the library asks it to close.
#include <string.h>

#include "helper.h"
#include "krzmlc15.h"

int main() {
  HINSTANCE hInstance = GetModuleHandleA(NULL);
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = HelperWndProc;
  wc.hInstance = hInstance;
  wc.lpszClassName = HELPER_WND_CLASS;
  if (!RegisterClassA(&wc)) return 1;

  HWND hWnd = CreateWindowExA(0, HELPER_WND_CLASS, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                              hInstance, NULL);
  if (!hWnd) return 2;

  // Setup done already means another helper owns the polling: leave.
  if (!MLCSetup(hWnd)) {
    DestroyWindow(hWnd);
    return 3;
  }

  // Waking on input is the default; [KRZHID15] WAKE_ON_INPUT=0 leaves the
  // polling to the timer and the read requests alone.
  BOOL fWake = GetPrivateProfileIntA("KRZHID15", "WAKE_ON_INPUT", 1, "KRZTBX15.INI") != 0;
  if (fWake && !StartInputWaiters(hWnd)) StopInputWaiters();  // the timer still polls

  MSG msg;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  StopInputWaiters();
  return 0;
}
