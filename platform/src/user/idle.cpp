// WaitForInputIdle: a process is idle for input once one of its threads
// has looked for messages and found its queue empty (the `idle` flag of
// its queue, set by message.cpp). Waiters sleep on the table's idle_seq
// futex word, which every such change bumps.
#include "common/handles.h"
#include "user/local.h"
#include "user/queue.h"

namespace {

// How long a waiter sleeps before it checks again whether the process has
// ended (a process that ends without ever having had a queue bumps nothing).
constexpr int64_t kExitCheckMs = 100;

}  // namespace

using namespace w32p::user;

DWORD WINAPI WaitForInputIdle(HANDLE process, DWORD ms) {
  DWORD pid = w32p::handle_process_id(process);
  if (!pid) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  Table* t = table();
  if (!t) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
  int64_t deadline = ms == INFINITE ? -1 : now_ms() + ms;
  for (;;) {
    lock_table(t);
    bool idle = false;
    for (uint32_t q = 0; q < kMaxQueues && !idle; ++q) {
      const QueueRec& Q = t->queues[q];
      idle = Q.in_use && (DWORD)Q.pid == pid && Q.idle && queue_alive_locked(t, q);
    }
    uint32_t seq = __atomic_load_n(&t->idle_seq, __ATOMIC_SEQ_CST);
    if (!idle) __atomic_add_fetch(&t->idle_sleepers, 1, __ATOMIC_SEQ_CST);
    unlock_table(t);
    if (idle) return 0;
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;  // nothing left to wait for
    int64_t left = deadline < 0 ? kExitCheckMs : deadline - now_ms();
    if (!ended && left > 0) wait_word(&t->idle_seq, seq, left < kExitCheckMs ? left : kExitCheckMs);
    __atomic_sub_fetch(&t->idle_sleepers, 1, __ATOMIC_SEQ_CST);
    if (ended) return 0;
    if (left <= 0) return WAIT_TIMEOUT;
  }
}
