// Identity and liveness of processes and threads, machine-wide.
//
// Shared records of the platform layer name their owners by (pid or tid,
// start time). The start time (clock ticks since boot, from /proc) tells a
// live owner from a recycled id, so state left by a killed process is seen
// as abandoned instead of being revived by the next process with that pid.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace w32p {

struct Owner {
  int32_t pid;     // process id; 0 = none
  int32_t tid;     // thread id (kernel tid); 0 = the whole process
  uint64_t start;  // start time of the thread (or process) in clock ticks
};

// The calling process's id without a system call (the C library no longer
// caches it): asked once, and again in the child of a fork().
pid_t current_pid();

// Start time of a process or of one of its threads; 0 when it is gone or a
// zombie. tid 0 asks for the process itself.
uint64_t start_time(pid_t pid, pid_t tid = 0);

// True while the recorded owner still runs (same id, same start time).
bool alive(const Owner& owner);

// The calling thread as an owner record (cached per thread).
const Owner& self_thread();
// The calling process as an owner record (tid 0).
const Owner& self_process();

}  // namespace w32p
