// The helper window: the poll timer, the library's requests and the
// waiters' input reports.
#include "helper.h"
#include "krzmlc15.h"

extern DWORD g_dwHelperPolls;
extern DWORD g_dwInputPolls;

LRESULT CALLBACK HelperWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case HIDDEN_POLL_TIMER:
      if (wParam == POLL_TIMER_STOP) {
        KillTimer(hWnd, HELPER_POLL_TIMER_ID);
        // No channel is open anywhere: nothing to watch.
        WatchAllPorts(FALSE);
      } else if ((wParam == POLL_TIMER_MIN || wParam == POLL_TIMER_MAX) && lParam > 0) {
        // Setting the same timer id again replaces its period.
        SetTimer(hWnd, HELPER_POLL_TIMER_ID, (UINT)lParam, NULL);
        WatchAllPorts(TRUE);
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
    case HELPER_INPUT_WAITING:
      if (wParam < MLC_PORT_COUNT) InputPolled(hWnd, (BYTE)wParam, HelperInputPoll((BYTE)wParam));
      return 0;
    case WM_TIMER:
      if (wParam == HELPER_POLL_TIMER_ID)
        HelperPoll();
      else if (wParam >= HELPER_BACKOFF_TIMER_ID &&
               wParam < HELPER_BACKOFF_TIMER_ID + MLC_PORT_COUNT)
        BackoffEnded(hWnd, (BYTE)(wParam - HELPER_BACKOFF_TIMER_ID));
      return 0;
    case HELPER_QUERY_POLLS:
      return (LRESULT)g_dwHelperPolls;
    case HELPER_QUERY_INPUT_POLLS:
      return (LRESULT)g_dwInputPolls;
    case WM_DESTROY:
      KillTimer(hWnd, HELPER_POLL_TIMER_ID);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
}
