// The machine-wide window table: one shared memory segment per namespace
// holding every window slot, every thread message queue and the records of
// messages sent between threads.
//
// Everything in the segment is guarded by one robust process-shared mutex
// (lock_table / unlock_table). Threads sleep on futex words inside the
// segment: each queue's `seq` is bumped whenever something arrives for it,
// `idle_seq` whenever a queue becomes idle or goes away. A queue's owner
// thread holds the queue's robust `life` mutex for as long as the queue
// exists, so the kernel marks it "owner died" the moment that thread ends,
// however it ends; that is how a queue, its windows and its pending sends
// are known to be dead without asking the owner.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "common/clock.h"
#include "kernel/futex.h"

namespace w32p::user {

constexpr uint32_t kSlotBits = 12;
constexpr uint32_t kMaxWindows = 1u << kSlotBits;  // window slots
constexpr uint32_t kGenMask = 0x7FFFF;             // 19 bits: handles stay below 2^31
constexpr uint32_t kMaxQueues = 128;               // threads with a queue
constexpr uint32_t kQueueLimit = 10000;            // posted messages per queue
constexpr uint32_t kMaxSends = 512;                // cross-thread sends in flight
constexpr int32_t kNone = -1;

struct PostedMsg {
  uint32_t hwnd;  // 0 for a thread message
  uint32_t message;
  uint64_t wparam;
  int64_t lparam;
  uint32_t time;
  uint32_t pad;
};

struct WindowRec {
  uint32_t gen;     // generation of the window now (or last) in the slot
  uint32_t in_use;  // 1 while the window exists
  uint32_t queue;   // owning thread's queue
  uint32_t queue_gen;
};

enum SendState : uint32_t { kSendFree = 0, kSendPending, kSendActive, kSendDone, kSendOrphan };

struct SendRec {
  uint32_t state;
  int32_t next;  // next pending record of the same receiver
  uint32_t sender, sender_gen;
  uint32_t receiver, receiver_gen;
  uint32_t hwnd, message;
  uint64_t wparam;
  int64_t lparam;
  int64_t result;
};

struct QueueRec {
  pthread_mutex_t life;  // robust; held by the owner thread while in_use
  uint32_t gen;
  uint32_t in_use;
  int32_t pid, tid;
  uint32_t seq;       // futex word, bumped on every arrival
  uint32_t sleepers;  // threads sleeping on seq
  uint32_t idle;      // the owner found nothing to do and waits for messages
  int32_t sent_head, sent_tail;
  uint32_t head, count;  // ring of posted messages
  PostedMsg ring[kQueueLimit];
};

struct Table {
  uint32_t magic;
  uint32_t size;
  pthread_mutex_t lock;
  uint32_t idle_seq;  // futex word for WaitForInputIdle
  uint32_t idle_sleepers;
  uint32_t next_window;
  uint32_t next_queue;
  WindowRec windows[kMaxWindows];
  SendRec sends[kMaxSends];
  QueueRec queues[kMaxQueues];
};

// Maps (creating or joining) the table of this namespace. Null when shared
// memory is unavailable; the caller reports ERROR_NOT_ENOUGH_MEMORY.
Table* table();

// Takes the table mutex. When its previous holder died, the table is made
// consistent again and every queue is checked for a dead owner.
void lock_table(Table* t);
void unlock_table(Table* t);

// Futex waits on words of the table (process-shared futexes, from the
// kernel half). wait_word sleeps while *word == expected, at most
// timeout_ms (-1: no limit).
inline void wait_word(uint32_t* word, uint32_t expected, int64_t timeout_ms) {
  uint32_t ms =
      timeout_ms < 0 ? 0xFFFFFFFFu : (uint32_t)(timeout_ms < 0x7FFFFFFF ? timeout_ms : 0x7FFFFFFF);
  futex_wait(word, expected, Deadline(ms));
}
inline void wake_word(uint32_t* word) { futex_wake_all(word); }

// Milliseconds of CLOCK_MONOTONIC (machine-wide, never goes back).
inline int64_t now_ms() { return (int64_t)(mono_ns() / 1000000); }

}  // namespace w32p::user
