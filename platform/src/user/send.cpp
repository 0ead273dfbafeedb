// SendMessageA. A window of the calling thread gets a direct call. A window
// of another thread or process gets a send record queued to its owner; the
// sender sleeps on its own queue until the record is answered, handling
// messages sent to itself meanwhile (so two threads sending to each other
// do not deadlock). A receiver that ends answers every record with 0.
#include "user/local.h"
#include "user/queue.h"

namespace w32p::user {

namespace {

// Bounds how long a sender sleeps before it looks again whether a receiver
// that was killed (and so cannot answer) is still there. Answers and
// normal thread ends wake the sender at once; this only matters for SIGKILL.
constexpr int64_t kLivenessCheckMs = 100;

int32_t alloc_send_locked(Table* t) {
  for (uint32_t i = 0; i < kMaxSends; ++i)
    if (t->sends[i].state == kSendFree) return (int32_t)i;
  return kNone;
}

}  // namespace

}  // namespace w32p::user

using namespace w32p::user;

LRESULT WINAPI SendMessageA(HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
  uint32_t hwnd = hwnd_value(h);
  if (!hwnd || hwnd == 0xFFFF) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (owned_by_caller(hwnd)) return call_window(hwnd, message, wparam, lparam);
  Table* t = table();
  int32_t me = my_queue(t);
  if (me == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  lock_table(t);
  int32_t slot = window_slot_locked(t, hwnd);
  if (slot == kNone) {
    unlock_table(t);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  uint32_t receiver = t->windows[slot].queue;
  int32_t idx = alloc_send_locked(t);
  if (idx == kNone) {
    unlock_table(t);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  SendRec& s = t->sends[idx];
  s.state = kSendPending;
  s.next = kNone;
  s.sender = (uint32_t)me;
  s.sender_gen = t->queues[me].gen;
  s.receiver = receiver;
  s.receiver_gen = t->queues[receiver].gen;
  s.hwnd = hwnd;
  s.message = message;
  s.wparam = (uint64_t)wparam;
  s.lparam = (int64_t)lparam;
  s.result = 0;
  QueueRec& R = t->queues[receiver];
  if (R.sent_tail == kNone)
    R.sent_head = idx;
  else
    t->sends[R.sent_tail].next = idx;
  R.sent_tail = idx;
  signal_queue_locked(t, receiver);
  unlock_table(t);
  wake_queue(t, receiver);

  QueueRec& Q = t->queues[me];
  for (;;) {
    lock_table(t);
    if (s.state != kSendDone) queue_alive_locked(t, receiver);  // a dead receiver answers 0
    if (s.state == kSendDone) {
      LRESULT result = (LRESULT)s.result;
      s.state = kSendFree;
      unlock_table(t);
      return result;
    }
    if (Q.sent_head != kNone) {
      unlock_table(t);
      run_one_sent(t, me);
      continue;
    }
    uint32_t seq = __atomic_load_n(&Q.seq, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&Q.sleepers, 1, __ATOMIC_SEQ_CST);
    unlock_table(t);
    wait_word(&Q.seq, seq, kLivenessCheckMs);
    __atomic_sub_fetch(&Q.sleepers, 1, __ATOMIC_SEQ_CST);
  }
}
