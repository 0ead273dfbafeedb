#include "user/queue.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/identity.h"
#include "user/local.h"

namespace w32p::user {

namespace {

// The calling thread's queue. Its destructor runs when the thread ends
// (for the main thread: at exit) and gives the queue back; a thread that
// never gets there (killed process) is noticed through the life mutex.
struct ThreadQueue {
  int32_t q = kNone;
  pid_t pid = 0;
  ~ThreadQueue() { release_my_queue(); }
};

thread_local ThreadQueue tq;

bool mine(uint32_t q) { return tq.q == (int32_t)q && tq.pid == current_pid(); }

void init_life(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

void unlink_send_locked(Table* t, uint32_t receiver, int32_t idx) {
  QueueRec& r = t->queues[receiver];
  int32_t prev = kNone;
  for (int32_t i = r.sent_head; i != kNone; prev = i, i = t->sends[i].next) {
    if (i != idx) continue;
    int32_t next = t->sends[i].next;
    if (prev == kNone)
      r.sent_head = next;
    else
      t->sends[prev].next = next;
    if (r.sent_tail == idx) r.sent_tail = prev;
    return;
  }
}

// Frees queue q and everything hanging off it.
void reclaim_locked(Table* t, uint32_t q) {
  QueueRec& Q = t->queues[q];
  uint32_t gen = Q.gen;
  Q.in_use = 0;
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    WindowRec& w = t->windows[i];
    if (w.in_use && w.queue == q && w.queue_gen == gen) w.in_use = 0;
  }
  for (uint32_t i = 0; i < kMaxSends; ++i) {
    SendRec& s = t->sends[i];
    if (s.state == kSendFree) continue;
    if (s.receiver == q && s.receiver_gen == gen &&
        (s.state == kSendPending || s.state == kSendActive)) {
      // The receiver is gone: the sender gets 0.
      s.state = kSendDone;
      s.result = 0;
      QueueRec& snd = t->queues[s.sender];
      if (snd.in_use && snd.gen == s.sender_gen) {
        signal_queue_locked(t, s.sender);
        wake_queue(t, s.sender);
      }
    } else if (s.sender == q && s.sender_gen == gen) {
      if (s.state == kSendPending) {
        unlink_send_locked(t, s.receiver, (int32_t)i);
        s.state = kSendFree;
      } else if (s.state == kSendActive) {
        s.state = kSendOrphan;  // its receiver frees it when done
      } else if (s.state == kSendDone) {
        s.state = kSendFree;
      }
    } else if (s.state == kSendOrphan && s.receiver == q && s.receiver_gen == gen) {
      s.state = kSendFree;
    }
  }
  Q.sent_head = Q.sent_tail = kNone;
  Q.count = 0;
  Q.head = 0;
  Q.idle = 0;
  signal_queue_locked(t, q);
  wake_queue(t, q);
  signal_idle_locked(t);
}

}  // namespace

void signal_idle_locked(Table* t) {
  __atomic_add_fetch(&t->idle_seq, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&t->idle_sleepers, __ATOMIC_SEQ_CST)) wake_word(&t->idle_seq);
}

int32_t my_queue_if_any() { return tq.pid == current_pid() ? tq.q : kNone; }

int32_t my_queue(Table* t) {
  if (tq.pid == current_pid() && tq.q != kNone) return tq.q;
  if (!t) return kNone;
  lock_table(t);
  int32_t found = kNone;
  for (int pass = 0; pass < 2 && found == kNone; ++pass) {
    for (uint32_t n = 0; n < kMaxQueues; ++n) {
      uint32_t q = (t->next_queue + n) % kMaxQueues;
      if (!t->queues[q].in_use) {
        found = (int32_t)q;
        break;
      }
    }
    if (found == kNone) sweep_dead_queues(t);
  }
  if (found != kNone) {
    QueueRec& Q = t->queues[found];
    init_life(&Q.life);
    pthread_mutex_lock(&Q.life);
    Q.gen = (Q.gen + 1) ? Q.gen + 1 : 1;
    Q.in_use = 1;
    Q.pid = current_pid();
    Q.tid = (int32_t)syscall(SYS_gettid);
    Q.sleepers = 0;
    Q.idle = 0;
    Q.sent_head = Q.sent_tail = kNone;
    Q.head = Q.count = 0;
    t->next_queue = (uint32_t)(found + 1) % kMaxQueues;
    tq.q = found;
    tq.pid = current_pid();
  }
  unlock_table(t);
  return found;
}

bool queue_alive_locked(Table* t, uint32_t q) {
  QueueRec& Q = t->queues[q];
  if (!Q.in_use) return false;
  if (mine(q)) return true;
  int r = pthread_mutex_trylock(&Q.life);
  if (r == EBUSY) return true;
  if (r == EOWNERDEAD) pthread_mutex_consistent(&Q.life);
  reclaim_locked(t, q);
  if (r == 0 || r == EOWNERDEAD) pthread_mutex_unlock(&Q.life);
  return false;
}

void sweep_dead_queues(Table* t) {
  for (uint32_t q = 0; q < kMaxQueues; ++q)
    if (t->queues[q].in_use) queue_alive_locked(t, q);
}

uint32_t make_hwnd(uint32_t slot, uint32_t gen) { return (gen << kSlotBits) | slot; }

int32_t window_slot_locked(Table* t, uint32_t hwnd) {
  uint32_t slot = hwnd & (kMaxWindows - 1);
  uint32_t gen = hwnd >> kSlotBits;
  if (gen == 0 || gen > kGenMask) return kNone;
  WindowRec& w = t->windows[slot];
  if (!w.in_use || w.gen != gen) return kNone;
  if (t->queues[w.queue].gen != w.queue_gen || !queue_alive_locked(t, w.queue)) return kNone;
  return (int32_t)slot;
}

bool post_locked(Table* t, uint32_t q, const PostedMsg& m) {
  QueueRec& Q = t->queues[q];
  if (Q.count >= kQueueLimit) return false;
  Q.ring[(Q.head + Q.count) % kQueueLimit] = m;
  ++Q.count;
  signal_queue_locked(t, q);
  return true;
}

void signal_queue_locked(Table* t, uint32_t q) {
  __atomic_add_fetch(&t->queues[q].seq, 1, __ATOMIC_SEQ_CST);
}

void wake_queue(Table* t, uint32_t q) {
  QueueRec& Q = t->queues[q];
  if (__atomic_load_n(&Q.sleepers, __ATOMIC_SEQ_CST)) wake_word(&Q.seq);
}

bool run_one_sent(Table* t, int32_t q) {
  if (q == kNone) return false;
  QueueRec& Q = t->queues[q];
  if (__atomic_load_n(&Q.sent_head, __ATOMIC_RELAXED) == kNone) return false;
  lock_table(t);
  int32_t idx = Q.sent_head;
  if (idx == kNone) {
    unlock_table(t);
    return false;
  }
  SendRec& s = t->sends[idx];
  Q.sent_head = s.next;
  if (Q.sent_tail == idx) Q.sent_tail = kNone;
  s.state = kSendActive;
  uint32_t hwnd = s.hwnd, message = s.message;
  uint64_t wparam = s.wparam;
  int64_t lparam = s.lparam;
  unlock_table(t);

  LRESULT result = call_window(hwnd, message, wparam, lparam);

  lock_table(t);
  uint32_t sender = s.sender;
  bool wake = false;
  if (s.state == kSendOrphan) {
    s.state = kSendFree;
  } else if (s.state == kSendActive) {
    s.result = result;
    s.state = kSendDone;
    if (t->queues[sender].in_use && t->queues[sender].gen == s.sender_gen) {
      signal_queue_locked(t, sender);
      wake = true;
    }
  }
  unlock_table(t);
  if (wake) wake_queue(t, sender);
  return true;
}

void release_my_queue() {
  if (tq.q == kNone || tq.pid != current_pid()) return;
  int32_t q = tq.q;
  Table* t = table();
  if (t) {
    lock_table(t);
    reclaim_locked(t, (uint32_t)q);
    pthread_mutex_unlock(&t->queues[q].life);
    unlock_table(t);
  }
  tq.q = kNone;
  forget_thread_windows();
}

}  // namespace w32p::user
