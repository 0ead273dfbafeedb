// Mutexes: a robust, process-shared, priority-inheritance pthread mutex in
// the object's segment. Robust mutexes are released by the kernel when the
// owning thread ends (also by SIGKILL of its process); the next locker sees
// EOWNERDEAD, which is WAIT_ABANDONED.
//
// Priority inheritance is chosen for its hand-over, not for priorities: a
// release with waiters makes the kernel pass ownership to the first waiter
// itself. A plain futex mutex only wakes one waiter and lets it race for the
// lock word; if that waiter is killed after the wake but before it runs
// while the releaser has taken the mutex again, the waiters bit is gone and
// the next release wakes nobody, so the other waiters sleep on a free
// mutex for ever. With the hand-over the killed waiter is the owner, its
// death abandons the mutex, and the kernel passes it on.
//
// Recursion is counted here, not by pthreads: the kernel reports a cycle of
// priority-inheritance waiters (thread A holds M1 and waits for M2, B holds
// M2 and waits for M1) as EDEADLK, which glibc turns into an assertion for
// a recursive mutex. A plain one sleeps out the time-out instead, which is
// what a timed wait on Windows does in such a cycle.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "common/clock.h"
#include "common/tsan.h"
#if W32P_TSAN
#include <sanitizer/tsan_interface.h>
#endif
#include "kernel/segment.h"

namespace w32p {

namespace {

void init_state(void* state, void* arg) {
  pthread_mutex_t* m = (pthread_mutex_t*)state;
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_NORMAL);
  pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
  if (arg && *(const bool*)arg) pthread_mutex_lock(m);  // initial owner: the creating thread
}

// The calling thread's id, asked of the kernel once per thread: a system
// call on every take and release was most of the cost of a recursive take.
// A forked child (whose only thread is the forking one, under a new id)
// asks again.
thread_local pid_t t_tid = 0;

pid_t caller_tid() {
  static const int registered = pthread_atfork(nullptr, nullptr, [] { t_tid = 0; });
  (void)registered;
  if (t_tid == 0) t_tid = gettid();
  return t_tid;
}

// Header pages of mutexes whose object went away while a thread of this
// process owned them (all handles closed by their owner, or the owner ended
// holding them). The page stays mapped for the rest of the process: the
// kernel's and the C library's robust lists of the owner point into it, and
// the kernel walks them when that thread ends.
struct Orphans {
  std::mutex lock;
  std::vector<void*> pages;
};

Orphans& orphans() {
  static Orphans* o = new Orphans;  // never destroyed
  return *o;
}

// The recursion depth is read and written only by the thread that owns the
// lock word (which tells the owner by its thread id), so the uncontended
// take and release are the C library's compare-and-swap on that word and
// nothing else: no lock of our own, no allocation.
class MutexObject : public SegmentObject {
 public:
  MutexObject() : SegmentObject(Kind::Mutex) {}
  ~MutexObject() override {
    if (depth_.load(std::memory_order_relaxed) == 0 || !seg.header) return;
    // Owned by a thread of this process: keep the page mapped, give up the name.
    seg.release_name();
    Orphans& o = orphans();
    std::lock_guard<std::mutex> g(o.lock);
    o.pages.push_back(seg.header);
    seg.header = nullptr;
  }

  pthread_mutex_t* mutex() { return (pthread_mutex_t*)seg.state(); }

  // The owner's thread id is in the lock word of a priority-inheritance
  // mutex (the kernel clears it when the owner dies).
  bool owned_by_caller() {
    unsigned word = (unsigned)__atomic_load_n(&mutex()->__data.__lock, __ATOMIC_RELAXED);
    return (word & FUTEX_TID_MASK) == (unsigned)caller_tid();
  }

  // Bookkeeping of a successful acquisition. An abandoned mutex starts
  // afresh: its old owner may have been a thread of this process that ended
  // holding it.
  void acquired() { depth_.store(1, std::memory_order_relaxed); }

  // A further take by the owner only counts.
  bool retake() {
    if (!owned_by_caller()) return false;
    int depth = depth_.load(std::memory_order_relaxed);
    if (depth == 0) return false;
    depth_.store(depth + 1, std::memory_order_relaxed);
    return true;
  }

  // Waits at most `ms` on the monotonic clock. Kernels before 5.14 cannot
  // time a priority-inheritance lock on that clock (EINVAL); they get the
  // same span on the real-time clock.
  int timed_lock(DWORD ms) {
    Deadline deadline(ms);
    timespec abs = deadline.abs();
    if (!W32P_TSAN) {
      int r = pthread_mutex_clocklock(mutex(), CLOCK_MONOTONIC, &abs);
      if (r != EINVAL) return r;
    }
    uint64_t left = deadline.remaining_ns();
    clock_gettime(CLOCK_REALTIME, &abs);
    left += (uint64_t)abs.tv_nsec;
    abs.tv_sec += (time_t)(left / 1000000000u);
    abs.tv_nsec = (long)(left % 1000000000u);
    int r = pthread_mutex_timedlock(mutex(), &abs);
#if W32P_TSAN
    // The sanitizer records a timed lock only when it succeeds plainly; one
    // that inherits an abandoned mutex is ours as well.
    if (r == EOWNERDEAD) {
      __tsan_mutex_pre_lock(mutex(), __tsan_mutex_try_lock);
      __tsan_mutex_post_lock(mutex(), __tsan_mutex_try_lock, 0);
    }
#endif
    return r;
  }

  DWORD wait(DWORD ms) override {
    if (retake()) return WAIT_OBJECT_0;
    int r;
    if (ms == 0) {
      r = pthread_mutex_trylock(mutex());
    } else if (ms == INFINITE) {
      r = pthread_mutex_lock(mutex());
    } else {
      r = timed_lock(ms);
    }
    switch (r) {
      case 0:
        acquired();
        return WAIT_OBJECT_0;
      case EOWNERDEAD:
        pthread_mutex_consistent(mutex());
        acquired();
        return WAIT_ABANDONED;
      case EBUSY:
      case ETIMEDOUT:
        return WAIT_TIMEOUT;
      default:
        SetLastError(r == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
  }

  bool release() {
    int depth = depth_.load(std::memory_order_relaxed);
    if (!owned_by_caller() || depth == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return false;
    }
    depth_.store(depth - 1, std::memory_order_relaxed);
    if (depth == 1) pthread_mutex_unlock(mutex());
    return true;
  }

 private:
  // Recursion depth of the owner, when it is a thread of this process.
  std::atomic<int> depth_{0};
};

std::shared_ptr<SegmentObject> make_mutex(Segment* attached, void*) {
  auto obj = std::make_shared<MutexObject>();
  obj->seg.adopt(*attached);
  return obj;
}

HANDLE open_mutex(LPSECURITY_ATTRIBUTES sa, bool create, bool initial_owner, LPCSTR name) {
  OpenRequest req{SegType::Mutex, name, create, 0, object_mode(sa), init_state, &initial_owner};
  ObjectRef obj = object_open(req, Kind::Mutex, make_mutex, nullptr);
  if (!obj) return NULL;
  if (create && initial_owner && GetLastError() == ERROR_SUCCESS)
    std::static_pointer_cast<MutexObject>(obj)->acquired();
  return insert_pinned(std::move(obj));
}

}  // namespace

}  // namespace w32p

using namespace w32p;

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
  return open_mutex(lpMutexAttributes, true, bInitialOwner != FALSE, lpName);
}

HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  return open_mutex(nullptr, false, false, lpName);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  auto m = handle_get_as<MutexObject>(hMutex, Kind::Mutex);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return m->release() ? TRUE : FALSE;
}
