// The helper window: the poll timer and the library's requests.
#include "helper.h"
#include "krzmlc15.h"

extern DWORD g_dwHelperPolls;

LRESULT CALLBACK HelperWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case HIDDEN_POLL_TIMER:
      if (wParam == POLL_TIMER_STOP) {
        KillTimer(hWnd, HELPER_POLL_TIMER_ID);
      } else if ((wParam == POLL_TIMER_MIN || wParam == POLL_TIMER_MAX) && lParam > 0) {
        // Setting the same timer id again replaces its period.
        SetTimer(hWnd, HELPER_POLL_TIMER_ID, (UINT)lParam, NULL);
      }
      return 0;
    case HIDDEN_START_READ: {
      // Readers ask once per emptied buffer, far more often than a poll
      // takes: one poll answers every request waiting, and the queue stays
      // short (a full queue would lose the library's WM_CLOSE).
      MSG msg;
      while (PeekMessageA(&msg, hWnd, HIDDEN_START_READ, HIDDEN_START_READ, PM_REMOVE)) {
      }
      HelperPoll();
      return 0;
    }
    case WM_TIMER:
      if (wParam == HELPER_POLL_TIMER_ID) HelperPoll();
      return 0;
    case HELPER_QUERY_POLLS:
      return (LRESULT)g_dwHelperPolls;
    case WM_DESTROY:
      KillTimer(hWnd, HELPER_POLL_TIMER_ID);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
}
