// Timers: kept by the owning thread and turned into WM_TIMER by its
// message loop (see message.cpp) when nothing else is waiting.
#include "user/local.h"
#include "user/queue.h"
#include "user/thread_state.h"

namespace w32p::user {

ThreadState& thread_state() {
  thread_local ThreadState state;
  return state;
}

void kill_window_timers(uint32_t hwnd) {
  auto& timers = thread_state().timers;
  for (auto it = timers.begin(); it != timers.end();)
    it = it->hwnd == hwnd ? timers.erase(it) : it + 1;
}

}  // namespace w32p::user

using namespace w32p::user;

UINT_PTR WINAPI SetTimer(HWND h, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  uint32_t hwnd = hwnd_value(h);
  if (h && !owned_by_caller(hwnd)) {
    SetLastError(hwnd && IsWindow(h) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (my_queue(table()) == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (elapse < USER_TIMER_MINIMUM) elapse = USER_TIMER_MINIMUM;
  if (elapse > USER_TIMER_MAXIMUM) elapse = USER_TIMER_MAXIMUM;
  auto& timers = thread_state().timers;
  int64_t due = now_ms() + elapse;
  for (Timer& tm : timers) {
    if (tm.hwnd == hwnd && tm.id == id && (hwnd || id)) {
      tm.period = elapse;
      tm.due = due;
      tm.proc = proc;
      return hwnd ? (id ? id : 1) : id;
    }
  }
  if (!hwnd) {  // a new thread timer gets an id of its own
    id = 1;
    for (bool clash = true; clash;) {
      clash = false;
      for (const Timer& tm : timers)
        if (!tm.hwnd && tm.id == id) {
          ++id;
          clash = true;
        }
    }
  }
  timers.push_back(Timer{hwnd, id, elapse, due, proc});
  return hwnd ? (id ? id : 1) : id;
}

BOOL WINAPI KillTimer(HWND h, UINT_PTR id) {
  uint32_t hwnd = hwnd_value(h);
  auto& timers = thread_state().timers;
  for (auto it = timers.begin(); it != timers.end(); ++it) {
    if (it->hwnd == hwnd && it->id == id) {
      timers.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
