// A waiter of a named mutex woken and then killed before it runs must not
// take the wake-up with it (native only: ptrace holds the woken waiter W0).
// W1 must then get the mutex (abandoned if it went to W0), never sleep on a
// free one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support.h"

namespace {

int next_stop(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, __WALL) == pid && WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
}

// W0 under ptrace: "wait-mutex <base> 1" stops itself just before waiting;
// from there every system call stops it, so it is held after its wake-up.
struct TracedWaiter {
  pid_t pid = -1;

  bool start(std::string base) {
    char self[MAX_PATH];
    std::string path(self, GetModuleFileNameA(NULL, self, sizeof self));
    path = path.substr(0, path.rfind('/') + 1) + "platform_child";
    char a1[] = "wait-mutex", a3[] = "1";
    char* argv[] = {&path[0], a1, &base[0], a3, nullptr};
    pid = fork();
    if (pid == 0) {
      ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      execv(path.c_str(), argv);
      _exit(127);
    }
    // Let it run (past the exec stop) to its own SIGSTOP.
    for (int sig; (sig = next_stop(pid)) != SIGSTOP;) {
      if (sig == 0) return false;
      ptrace(PTRACE_CONT, pid, nullptr, (void*)(long)(sig == SIGTRAP ? 0 : sig));
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           (void*)(long)(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
    // Step from system call to system call until it enters futex.
    for (__ptrace_syscall_info info{};
         info.op != PTRACE_SYSCALL_INFO_ENTRY || info.entry.nr != SYS_futex;) {
      ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
      int sig = next_stop(pid);
      if (sig == 0) return false;
      if (sig == (SIGTRAP | 0x80) &&
          ptrace(PTRACE_GET_SYSCALL_INFO, pid, (void*)sizeof info, &info) <= 0)
        return false;
    }
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    return pt::eventually([this] { return pt::asleep((DWORD)pid); });
  }
  void kill_and_reap() {  // past any stop still to be reported, to its end
    int status = 0;
    bool killed = pid > 0 && kill(pid, SIGKILL) == 0;
    while (killed && waitpid(pid, &status, __WALL) == pid && WIFSTOPPED(status)) continue;
    pid = -1;
  }
  ~TracedWaiter() { kill_and_reap(); }
};

TEST(MutexHandOver, WaiterKilledAfterItsWakeUpDoesNotStrandTheNext) {
  std::string base = pt::unique_name("handover");
  HANDLE m = CreateMutexA(NULL, TRUE, pt::lf(base).c_str());
  TracedWaiter w0;
  ASSERT_TRUE(w0.start(base));
  DWORD w1_pid = 0;
  HANDLE w1 = pt::start_child("wait-mutex " + base + " 0", &w1_pid);
  ASSERT_TRUE(pt::eventually([w1_pid] { return pt::asleep(w1_pid); }));  // queued behind W0

  ASSERT_TRUE(ReleaseMutex(m));
  ASSERT_EQ(next_stop(w0.pid), SIGTRAP | 0x80);  // woken, and held at the end of its wait
  // The mutex went to W0 with the release, or the owner takes it again.
  DWORD again = WaitForSingleObject(m, 0);
  ASSERT_TRUE(again == WAIT_OBJECT_0 || again == WAIT_TIMEOUT) << again;
  w0.kill_and_reap();
  ASSERT_TRUE(again != WAIT_OBJECT_0 || ReleaseMutex(m));
  if (WaitForSingleObject(w1, 10000) != WAIT_OBJECT_0) TerminateProcess(w1, 99);
  // 99: W1 still asleep although the mutex is free.
  EXPECT_EQ(pt::finish(w1), again == WAIT_OBJECT_0 ? 0u : 1u);
  CloseHandle(m);
}

}  // namespace
