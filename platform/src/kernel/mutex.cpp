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

#include <mutex>
#include <set>

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

class MutexObject;

// Mutexes owned by threads of this process. While a thread owns a mutex its
// object (and so the mapping the kernel's robust list points into) stays
// alive, even if its handles are closed, as an owned mutex stays alive on
// Windows. The set is reachable from a global, so leak checkers do not
// report a mutex that a thread still owned when the process ended.
struct Owned {
  std::mutex lock;
  std::set<std::shared_ptr<MutexObject>> objects;
};

Owned& owned() {
  static Owned* o = new Owned;  // never destroyed
  return *o;
}

class MutexObject : public SegmentObject, public std::enable_shared_from_this<MutexObject> {
 public:
  MutexObject() : SegmentObject(Kind::Mutex) {}

  pthread_mutex_t* mutex() { return (pthread_mutex_t*)seg.state(); }

  // The owner's thread id is in the lock word of a priority-inheritance
  // mutex (the kernel clears it when the owner dies).
  bool owned_by_caller() {
    unsigned word = (unsigned)__atomic_load_n(&mutex()->__data.__lock, __ATOMIC_ACQUIRE);
    return (word & FUTEX_TID_MASK) == (unsigned)caller_tid();
  }

  // Bookkeeping of a successful acquisition by a thread of this process.
  // An abandoned mutex starts afresh: its old owner may have been a thread
  // of this process that ended holding it.
  void acquired(bool abandoned) {
    std::lock_guard<std::mutex> g(lock_);
    if (abandoned) depth_ = 0;
    if (depth_++ == 0) {
      Owned& o = owned();
      std::lock_guard<std::mutex> og(o.lock);
      o.objects.insert(shared_from_this());
    }
  }

  // A further take by the owner only counts.
  bool retake() {
    std::lock_guard<std::mutex> g(lock_);
    if (depth_ == 0 || !owned_by_caller()) return false;
    ++depth_;
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
        acquired(false);
        return WAIT_OBJECT_0;
      case EOWNERDEAD:
        pthread_mutex_consistent(mutex());
        acquired(true);
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
    std::shared_ptr<MutexObject> drop;  // released after the locks
    {
      std::lock_guard<std::mutex> g(lock_);
      if (depth_ == 0 || !owned_by_caller()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
      }
      if (--depth_ > 0) return true;
      Owned& o = owned();
      {
        std::lock_guard<std::mutex> og(o.lock);
        auto it = o.objects.find(shared_from_this());
        if (it != o.objects.end()) {
          drop = *it;
          o.objects.erase(it);
        }
      }
      pthread_mutex_unlock(mutex());
    }
    return true;
  }

 private:
  std::mutex lock_;
  int depth_ = 0;  // recursion depth of the owner, when it is a thread of this process
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
    std::static_pointer_cast<MutexObject>(obj)->acquired(false);
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
