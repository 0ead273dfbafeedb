// Per-thread message state that never leaves the thread: the quit flag set
// by PostQuitMessage and the thread's timers (Win32 timers belong to the
// thread that owns their window).
#pragma once

#include <stdint.h>
#include <windows.h>

#include <vector>

namespace w32p::user {

struct Timer {
  uint32_t hwnd;  // 0 for a thread timer
  UINT_PTR id;
  UINT period;
  int64_t due;  // now_ms() time of the next WM_TIMER
  TIMERPROC proc;
};

struct ThreadState {
  bool quit = false;
  int quit_code = 0;
  std::vector<Timer> timers;
};

ThreadState& thread_state();

}  // namespace w32p::user
