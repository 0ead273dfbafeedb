// KRZHID15: the helper process that keeps the ports polled.
//
// The library starts it when a link first comes up. It creates one hidden
// window, hands it to the library with MLCSetup, and then serves the
// library's messages:
//   HIDDEN_POLL_TIMER (0x465)  wParam 18 or 19: (re)start the poll timer with
//                              a period of lParam milliseconds; 17: stop it;
//   HIDDEN_START_READ (0x466)  poll once, soon;
//   WM_CLOSE                   end the process.
// Between timer ticks it also polls as soon as a port with open channels has
// input waiting: one waiter thread per port sleeps on the port's input and
// posts HELPER_INPUT_WAITING to the window, so data and credit from the
// printer reach clients at once, and an idle port costs no processor.
// [KRZHID15] WAKE_ON_INPUT=0 in KRZTBX15.INI turns that off (timer only).
#pragma once

#include <windows.h>

#define HELPER_WND_CLASS "KRZHID15_Helper"
#define HELPER_POLL_TIMER_ID 1
// Timers 2, 3, 4: the pause of a port's waiter after an input poll that
// handled nothing.
#define HELPER_BACKOFF_TIMER_ID 2

// Sent to the helper window: the number of polls run so far. Lets tools and
// tests watch the timer without touching the ports.
#define HELPER_QUERY_POLLS (WM_APP + 1)
// Posted by a waiter thread: input is waiting on port wParam.
#define HELPER_INPUT_WAITING (WM_APP + 2)
// Sent to the helper window: the number of polls input woke so far.
#define HELPER_QUERY_INPUT_POLLS (WM_APP + 3)

LRESULT CALLBACK HelperWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Runs one poll of all ports for the timer or a read request.
void HelperPoll();
// Runs one poll for input that a waiter saw on port bPort: TRUE when the
// poll handled a packet there.
BOOL HelperInputPoll(BYTE bPort);

// The waiter threads (input.cpp). Start after MLCSetup (the ports are open
// then); Stop before the process ends.
BOOL StartInputWaiters(HWND hWnd);
void StopInputWaiters();
// Lets every waiter watch its port (the poll timer runs), or none (the timer
// was stopped: no channel is open anywhere).
void WatchAllPorts(BOOL fWatch);
// After an input poll on bPort: the waiter looks again at once when the
// poll handled a packet (more may be waiting); otherwise (the port was busy
// in another process, or its input is no packet a poll takes) after a pause
// that doubles up to a second, so that such input never makes the helper
// spin. Runs on the window's thread.
void InputPolled(HWND hWnd, BYTE bPort, BOOL fProgress);
// The pause of port bPort ended (its timer, HELPER_BACKOFF_TIMER_ID + port).
void BackoffEnded(HWND hWnd, BYTE bPort);
