// Threads: pthreads kept joinable, so that waiting on a thread ends only
// once the kernel has finished it (and so has released its robust
// mutexes, which makes them abandoned for the next waiter, as on Windows).
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "common/clock.h"
#include "common/handles.h"
#include "common/tsan.h"

namespace w32p {

namespace {

struct ThreadState {
  std::mutex lock;
  std::condition_variable started_cv;
  bool started = false;
  DWORD tid = 0;
  DWORD exit_code = STILL_ACTIVE;
};

// Records the exit code when the thread ends, by return or by ExitThread.
struct Finisher {
  std::shared_ptr<ThreadState> state;
  DWORD code = 0;
  ~Finisher() {
    if (!state) return;
    std::lock_guard<std::mutex> g(state->lock);
    state->exit_code = code;
  }
};
thread_local Finisher t_finisher;

struct Start {
  LPTHREAD_START_ROUTINE fn;
  LPVOID param;
  std::shared_ptr<ThreadState> state;
};

void* trampoline(void* p) {
  Start* s = (Start*)p;
  LPTHREAD_START_ROUTINE fn = s->fn;
  LPVOID param = s->param;
  t_finisher.state = s->state;
  {
    std::lock_guard<std::mutex> g(s->state->lock);
    s->state->tid = (DWORD)syscall(SYS_gettid);
    s->state->started = true;
  }
  s->state->started_cv.notify_all();
  delete s;
  t_finisher.code = fn(param);
  return nullptr;
}

class ThreadObject : public Object {
 public:
  ThreadObject(pthread_t t, std::shared_ptr<ThreadState> s)
      : Object(Kind::Thread), thread_(t), state(std::move(s)) {}
  ~ThreadObject() override {
    if (!joined_) pthread_detach(thread_);
  }

  DWORD wait(DWORD ms) override {
    Deadline deadline(ms);
    std::unique_lock<std::timed_mutex> g(join_lock_, std::defer_lock);
    if (deadline.infinite()) {
      g.lock();
    } else if (!(W32P_TSAN ? g.try_lock_until(std::chrono::system_clock::now() +
                                              std::chrono::nanoseconds(deadline.remaining_ns()))
                           : g.try_lock_for(std::chrono::nanoseconds(deadline.remaining_ns())))) {
      return WAIT_TIMEOUT;
    }
    if (joined_) return WAIT_OBJECT_0;
    int r;
    if (deadline.infinite()) {
      r = pthread_join(thread_, nullptr);
    } else if (ms == 0) {
      r = pthread_tryjoin_np(thread_, nullptr);
    } else {
      timespec abs = deadline.abs();
      if (W32P_TSAN) {
        uint64_t left = deadline.remaining_ns();
        clock_gettime(CLOCK_REALTIME, &abs);
        left += (uint64_t)abs.tv_nsec;
        abs.tv_sec += (time_t)(left / 1000000000u);
        abs.tv_nsec = (long)(left % 1000000000u);
        r = pthread_timedjoin_np(thread_, nullptr, &abs);
      } else {
        r = pthread_clockjoin_np(thread_, nullptr, CLOCK_MONOTONIC, &abs);
      }
    }
    if (r == 0) {
      joined_ = true;
      return WAIT_OBJECT_0;
    }
    if (r == EBUSY || r == ETIMEDOUT) return WAIT_TIMEOUT;
    if (r == EDEADLK && !deadline.infinite()) {
      // A thread waiting for itself: on Windows the wait simply runs out.
      g.unlock();
      Sleep(deadline.remaining_ms());
      return WAIT_TIMEOUT;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }

  DWORD exit_code() {
    std::lock_guard<std::mutex> g(state->lock);
    return state->exit_code;
  }

 private:
  pthread_t thread_;
  std::timed_mutex join_lock_;
  bool joined_ = false;

 public:
  std::shared_ptr<ThreadState> state;
};

}  // namespace

}  // namespace w32p

using namespace w32p;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (dwCreationFlags & CREATE_SUSPENDED) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return NULL;
  }
  auto state = std::make_shared<ThreadState>();
  Start* start = new Start{lpStartAddress, lpParameter, state};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (dwStackSize) {
    size_t size = dwStackSize < (SIZE_T)PTHREAD_STACK_MIN ? (size_t)PTHREAD_STACK_MIN : dwStackSize;
    pthread_attr_setstacksize(&attr, size);
  }
  pthread_t t;
  int r = pthread_create(&t, &attr, trampoline, start);
  pthread_attr_destroy(&attr);
  if (r != 0) {
    delete start;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  DWORD tid;
  {
    std::unique_lock<std::mutex> g(state->lock);
    state->started_cv.wait(g, [&] { return state->started; });
    tid = state->tid;
  }
  HANDLE h = handle_insert(std::make_shared<ThreadObject>(t, state));
  if (!h) return NULL;  // the thread runs on, detached by the object's destructor
  if (lpThreadId) *lpThreadId = tid;
  return h;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = handle_get_as<ThreadObject>(hThread, Kind::Thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = t->exit_code();
  return TRUE;
}

void WINAPI ExitThread(DWORD dwExitCode) {
  t_finisher.code = dwExitCode;
  pthread_exit(nullptr);
}
