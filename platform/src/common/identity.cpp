#include "common/identity.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace w32p {

namespace {

// Field 22 (starttime) of a /proc stat line; the state is field 3. The
// command name (field 2) may hold spaces and parentheses, so parsing starts
// after its last ')'.
uint64_t parse_stat(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  const char* p = strrchr(buf, ')');
  if (!p) return 0;
  p += 2;  // ") " then the state
  char state = *p;
  if (state == 'Z' || state == 'X' || state == 'x') return 0;
  // p points at field 3; skip to field 22.
  for (int field = 3; field < 22; ++field) {
    p = strchr(p, ' ');
    if (!p) return 0;
    ++p;
  }
  unsigned long long v = 0;
  if (sscanf(p, "%llu", &v) != 1) return 0;
  return v ? v : 1;  // 0 is reserved for "gone"
}

}  // namespace

uint64_t start_time(pid_t pid, pid_t tid) {
  if (pid <= 0) return 0;
  char path[64];
  if (tid > 0)
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
  else
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
  return parse_stat(path);
}

bool alive(const Owner& owner) {
  if (owner.pid <= 0 || owner.start == 0) return false;
  uint64_t start = start_time(owner.pid, owner.tid);
  if (start != 0) return start == owner.start;
  if (owner.tid > 0) return false;
  // Unreadable. A /proc mounted with hidepid hides other users' processes:
  // then the process exists when kill() may not signal it. Its start time
  // cannot be checked, so it counts as alive (erring towards keeping state).
  char path[32];
  snprintf(path, sizeof path, "/proc/%d", owner.pid);
  if (access(path, F_OK) == 0) return false;  // visible: a zombie or just gone
  return kill(owner.pid, 0) != 0 && errno == EPERM;
}

namespace {
std::atomic<pid_t> g_pid{0};  // 0: not asked yet in this process
}  // namespace

pid_t current_pid() {
  pid_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const int registered =
      pthread_atfork(nullptr, nullptr, [] { g_pid.store(0, std::memory_order_relaxed); });
  (void)registered;
  pid = getpid();
  g_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

const Owner& self_thread() {
  thread_local Owner me{};
  thread_local pid_t cached_for = 0;
  pid_t pid = current_pid();
  if (cached_for != pid) {  // first use, or a fork() copied the cache
    pid_t tid = (pid_t)syscall(SYS_gettid);
    me = Owner{pid, tid, start_time(pid, tid)};
    cached_for = pid;
  }
  return me;
}

const Owner& self_process() {
  static Owner me{};
  static pid_t cached_for = 0;
  pid_t pid = current_pid();
  if (cached_for != pid) {
    me = Owner{pid, 0, start_time(pid, 0)};
    cached_for = pid;
  }
  return me;
}

}  // namespace w32p
