#include "kernel/futex.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace w32p {

bool futex_wait(uint32_t* word, uint32_t expected, const Deadline& deadline) {
  timespec rel;
  timespec* timeout = nullptr;
  if (!deadline.infinite()) {
    uint64_t ns = deadline.remaining_ns();
    if (ns == 0) return false;
    rel.tv_sec = (time_t)(ns / 1000000000ull);
    rel.tv_nsec = (long)(ns % 1000000000ull);
    timeout = &rel;
  }
  long r = syscall(SYS_futex, word, FUTEX_WAIT, expected, timeout, nullptr, 0);
  if (r != 0 && errno == ETIMEDOUT) return false;
  return true;
}

void futex_wake_all(uint32_t* word) {
  syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace w32p
