// Thread message queues in the window table: ownership, liveness, posting,
// and the records of messages sent from one thread to another.
//
// All functions named *_locked expect the table mutex to be held.
#pragma once

#include <stdint.h>

#include "user/shared.h"

namespace w32p::user {

// The calling thread's queue, created on first use; kNone when the table
// is unavailable or full.
int32_t my_queue(Table* t);
// The calling thread's queue if it has one (no creation).
int32_t my_queue_if_any();

// True while queue q exists and its owner thread runs. Finding the owner
// dead reclaims the queue: its windows go, its pending sends fail.
bool queue_alive_locked(Table* t, uint32_t q);

// Reclaims every queue whose owner is gone (after a holder of the table
// mutex died).
void sweep_dead_queues(Table* t);

// Decodes a window handle; the slot index of a live window whose owner
// runs, or kNone.
int32_t window_slot_locked(Table* t, uint32_t hwnd);
uint32_t make_hwnd(uint32_t slot, uint32_t gen);

// Appends a posted message to queue q and wakes its owner. False with the
// queue full.
bool post_locked(Table* t, uint32_t q, const PostedMsg& m);

// Bumps a queue's futex word; wake_queue then wakes its sleepers (outside
// the lock is cheaper but either is correct).
void signal_queue_locked(Table* t, uint32_t q);
void wake_queue(Table* t, uint32_t q);

// A queue became idle or went away: wakes WaitForInputIdle.
void signal_idle_locked(Table* t);

// Sent messages: runs the oldest message sent to the calling thread, if
// any; true when one ran.
bool run_one_sent(Table* t, int32_t q);

// Releases the calling thread's queue (thread end).
void release_my_queue();

}  // namespace w32p::user
