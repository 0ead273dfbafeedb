// Process-local side of windows: window procedures, classes and extra
// bytes only mean something inside the owning process, so they live here,
// keyed by the machine-wide handle value.
#pragma once

#include <stdint.h>
#include <windows.h>

namespace w32p::user {

// Handle <-> value. Values above 32 bits are never windows.
inline uint32_t hwnd_value(HWND h) {
  uintptr_t v = (uintptr_t)h;
  return v > 0x7FFFFFFFu ? 0 : (uint32_t)v;
}
inline HWND hwnd_handle(uint32_t v) { return (HWND)(uintptr_t)v; }

// Calls the window procedure of a window owned by the calling thread;
// 0 for a window that is gone or not the caller's.
LRESULT call_window(uint32_t hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// True when the window exists in this process and belongs to the calling
// thread.
bool owned_by_caller(uint32_t hwnd);

// Drops the local records of every window of the calling thread (its
// queue is going away).
void forget_thread_windows();

// Kills the calling thread's timers of one window (destruction).
void kill_window_timers(uint32_t hwnd);

}  // namespace w32p::user
