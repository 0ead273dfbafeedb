// Stands in for a program under the helper's name that never sets up: it
// makes a window and waits for messages (idle for input) without calling
// MLCSetup. It ends once the event "krzmlc15-idle-helper-end", made by the
// test, is set (at once when there is no such event any more), after 60 s at
// the latest, and owns the mutex "krzmlc15-idle-helper" while it runs, so
// that the test can wait for its end.
#include <windows.h>

static HANDLE hEnd = NULL;
static int iTicks = 0;

static LRESULT CALLBACK IdleWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_TIMER && (WaitForSingleObject(hEnd, 0) == WAIT_OBJECT_0 || ++iTicks > 1200)) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

int main() {
  HANDLE hRunning = CreateMutexA(NULL, TRUE, "krzmlc15-idle-helper");
  hEnd = OpenEventA(SYNCHRONIZE, FALSE, "krzmlc15-idle-helper-end");
  if (!hEnd) return 0;  // started too late: the test is over
  WNDCLASSA wc = {};
  wc.lpfnWndProc = IdleWndProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "IdleHelper";
  RegisterClassA(&wc);
  HWND hWnd = CreateWindowExA(0, "IdleHelper", "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  SetTimer(hWnd, 1, 50, NULL);
  MSG msg;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) DispatchMessageA(&msg);
  DestroyWindow(hWnd);
  CloseHandle(hEnd);
  ReleaseMutex(hRunning);
  CloseHandle(hRunning);
  return 0;
}
