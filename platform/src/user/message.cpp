// Retrieving and dispatching messages: PeekMessageA, GetMessageA and the
// pieces of a message loop.
//
// Order of retrieval, as on Win32: messages sent by other threads are
// handled first (inside the call, never returned), then the oldest posted
// message that passes the filter, then WM_QUIT (whatever the filter), then
// a due timer. A thread that finds nothing sleeps on its queue's futex
// word until something arrives or its next timer is due.
#include "user/local.h"
#include "user/queue.h"
#include "user/thread_state.h"

namespace w32p::user {

namespace {

struct Filter {
  uint32_t hwnd;     // 0: any
  bool thread_only;  // hwnd (HWND)-1: thread messages only
  UINT min, max;
};

bool in_range(UINT msg, const Filter& f) {
  return (f.min == 0 && f.max == 0) || (msg >= f.min && msg <= f.max);
}

bool hwnd_match(uint32_t hwnd, const Filter& f) {
  if (f.thread_only) return hwnd == 0;
  return f.hwnd == 0 || hwnd == f.hwnd;
}

void remove_at(QueueRec& q, uint32_t k) {
  for (uint32_t j = k; j > 0; --j)
    q.ring[(q.head + j) % kQueueLimit] = q.ring[(q.head + j - 1) % kQueueLimit];
  q.head = (q.head + 1) % kQueueLimit;
  --q.count;
}

bool take_posted_locked(Table* t, QueueRec& q, const Filter& f, UINT flags, MSG* out) {
  for (uint32_t k = 0; k < q.count; ++k) {
    PostedMsg& m = q.ring[(q.head + k) % kQueueLimit];
    if (m.hwnd && window_slot_locked(t, m.hwnd) == kNone) {  // its window is gone
      remove_at(q, k--);
      continue;
    }
    if (!hwnd_match(m.hwnd, f) || !in_range(m.message, f)) continue;
    out->hwnd = hwnd_handle(m.hwnd);
    out->message = m.message;
    out->wParam = (WPARAM)m.wparam;
    out->lParam = (LPARAM)m.lparam;
    out->time = m.time;
    out->pt = POINT{0, 0};
    if (flags & PM_REMOVE) remove_at(q, k);
    return true;
  }
  return false;
}

bool take_quit(const Filter&, UINT flags, MSG* out) {
  ThreadState& ts = thread_state();
  if (!ts.quit) return false;
  *out = MSG{nullptr, WM_QUIT, (WPARAM)ts.quit_code, 0, (DWORD)now_ms(), POINT{0, 0}};
  if (flags & PM_REMOVE) ts.quit = false;
  return true;
}

bool timer_match(const Timer& tm, const Filter& f) {
  return hwnd_match(tm.hwnd, f) && in_range(WM_TIMER, f);
}

bool take_timer(const Filter& f, UINT flags, MSG* out) {
  int64_t now = now_ms();
  Timer* best = nullptr;
  for (Timer& tm : thread_state().timers)
    if (tm.due <= now && timer_match(tm, f) && (!best || tm.due < best->due)) best = &tm;
  if (!best) return false;
  *out = MSG{hwnd_handle(best->hwnd), WM_TIMER,   (WPARAM)best->id,
             (LPARAM)best->proc,      (DWORD)now, POINT{0, 0}};
  if (flags & PM_REMOVE) best->due = now + best->period;
  return true;
}

// Milliseconds until the next timer that passes the filter; -1: none.
int64_t next_timer_in(const Filter& f) {
  int64_t now = now_ms(), best = -1;
  for (const Timer& tm : thread_state().timers) {
    if (!timer_match(tm, f)) continue;
    int64_t in = tm.due > now ? tm.due - now : 0;
    if (best < 0 || in < best) best = in;
  }
  return best;
}

enum Outcome { kGot, kRetry, kEmpty };

// One look at the queue. kEmpty leaves *seq at the value to sleep on and,
// with `sleep`, counts the caller as a sleeper.
Outcome look(Table* t, int32_t q, const Filter& f, UINT flags, MSG* out, bool sleep,
             uint32_t* seq) {
  while (run_one_sent(t, q)) {
  }
  QueueRec& Q = t->queues[q];
  lock_table(t);
  if (Q.sent_head != kNone) {
    unlock_table(t);
    return kRetry;
  }
  bool got = take_posted_locked(t, Q, f, flags, out) || take_quit(f, flags, out) ||
             take_timer(f, flags, out);
  if (got) {
    Q.idle = 0;
  } else {
    if (!Q.idle) {
      Q.idle = 1;
      signal_idle_locked(t);
    }
    *seq = __atomic_load_n(&Q.seq, __ATOMIC_SEQ_CST);
    if (sleep) __atomic_add_fetch(&Q.sleepers, 1, __ATOMIC_SEQ_CST);
  }
  unlock_table(t);
  return got ? kGot : kEmpty;
}

// Validates the window filter; false (and the error) for a bad window.
bool make_filter(HWND h, UINT min, UINT max, Filter* f) {
  f->min = min;
  f->max = max;
  f->thread_only = h == (HWND)(LONG_PTR)-1;
  f->hwnd = f->thread_only ? 0 : hwnd_value(h);
  if (h && !f->thread_only && (!f->hwnd || !IsWindow(h))) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

}  // namespace

}  // namespace w32p::user

using namespace w32p::user;

BOOL WINAPI PeekMessageA(LPMSG msg, HWND h, UINT min, UINT max, UINT flags) {
  Filter f;
  if (!msg || !make_filter(h, min, max, &f)) return FALSE;
  Table* t = table();
  int32_t q = my_queue(t);
  if (q == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  uint32_t seq;
  Outcome o;
  while ((o = look(t, q, f, flags, msg, false, &seq)) == kRetry) {
  }
  return o == kGot;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND h, UINT min, UINT max) {
  Filter f;
  if (!msg || !make_filter(h, min, max, &f)) return -1;
  Table* t = table();
  int32_t q = my_queue(t);
  if (q == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  QueueRec& Q = t->queues[q];
  for (;;) {
    uint32_t seq;
    Outcome o = look(t, q, f, PM_REMOVE, msg, true, &seq);
    if (o == kGot) return msg->message != WM_QUIT;
    if (o == kRetry) continue;
    wait_word(&Q.seq, seq, next_timer_in(f));
    __atomic_sub_fetch(&Q.sleepers, 1, __ATOMIC_SEQ_CST);
  }
}

BOOL WINAPI PostMessageA(HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
  uint32_t hwnd = hwnd_value(h);
  Table* t = table();
  if (!t) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!h) {  // a thread message to the caller's own queue
    if (my_queue(t) == kNone) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
  } else if (!hwnd || hwnd == 0xFFFF) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  PostedMsg m{hwnd, message, (uint64_t)wparam, (int64_t)lparam, (uint32_t)now_ms(), 0};
  lock_table(t);
  int32_t q = kNone;
  if (!h) {
    q = my_queue_if_any();
  } else {
    int32_t slot = window_slot_locked(t, hwnd);
    if (slot != kNone) q = (int32_t)t->windows[slot].queue;
  }
  if (q == kNone) {
    unlock_table(t);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  bool ok = post_locked(t, (uint32_t)q, m);
  unlock_table(t);
  if (!ok) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  wake_queue(t, (uint32_t)q);
  return TRUE;
}

void WINAPI PostQuitMessage(int code) {
  ThreadState& ts = thread_state();
  ts.quit = true;
  ts.quit_code = code;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard input

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam) {
    ((TIMERPROC)msg->lParam)(msg->hwnd, WM_TIMER, (UINT_PTR)msg->wParam, (DWORD)now_ms());
    return 0;
  }
  if (!msg->hwnd) return 0;
  uint32_t hwnd = hwnd_value(msg->hwnd);
  if (!owned_by_caller(hwnd)) {
    SetLastError(IsWindow(msg->hwnd) ? ERROR_WINDOW_OF_OTHER_THREAD : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return call_window(hwnd, msg->message, msg->wParam, msg->lParam);
}
