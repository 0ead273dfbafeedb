// KRZHID15: the helper process that keeps the ports polled.
//
// The library starts it when a link first comes up. It creates one hidden
// window, hands it to the library with MLCSetup, and then serves the
// library's messages:
//   HIDDEN_POLL_TIMER (0x465)  wParam 18 or 19: (re)start the poll timer with
//                              a period of lParam milliseconds; 17: stop it;
//   HIDDEN_START_READ (0x466)  poll once, soon;
//   WM_CLOSE                   end the process.
#pragma once

#include <windows.h>

#define HELPER_WND_CLASS "KRZHID15_Helper"
#define HELPER_POLL_TIMER_ID 1

// Sent to the helper window: the number of polls run so far. Lets tools and
// tests watch the timer without touching the ports.
#define HELPER_QUERY_POLLS (WM_APP + 1)

LRESULT CALLBACK HelperWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Runs one poll of all ports.
void HelperPoll();
