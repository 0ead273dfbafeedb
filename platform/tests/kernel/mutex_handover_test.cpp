// A waiter of a named mutex that is woken and then killed before it runs
// must not take the wake-up with it (native only: it needs ptrace and
// SIGKILL of one chosen waiter).
//
// The sequence: W0 and W1 wait; the owner releases, which wakes W0; W0 is
// held by ptrace at the end of its wait call, so it cannot run; the owner
// tries to take the mutex again; W0 is killed; the owner releases if it
// did get the mutex. W1 must then get the mutex (abandoned if it had been
// handed to W0), never sleep on a free one.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "helpers.h"

namespace {

// Waits for a state change of a traced child for at most `ms`.
bool wait_stop(pid_t pid, int* status, int ms) {
  for (int i = 0; i < ms; ++i) {
    pid_t r = waitpid(pid, status, WNOHANG | __WALL);
    if (r == pid) return true;
    if (r < 0) return false;
    usleep(1000);
  }
  return false;
}

// Sleeps until the process sleeps in futex (it waits for the mutex): its
// state letter in /proc/<pid>/stat is 'S' and /proc/<pid>/syscall names futex.
bool asleep_in_futex(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 5000; ++i, usleep(1000)) {
    std::ifstream stat(dir + "/stat"), call(dir + "/syscall");
    std::string line;
    long nr = -1;
    std::getline(stat, line);
    size_t p = line.rfind(')');
    if (p != std::string::npos && p + 2 < line.size() && line[p + 2] == 'S' && call >> nr &&
        nr == SYS_futex)
      return true;
  }
  return false;
}

// A waiter under ptrace: started with "wait-mutex <base> 1", it stops
// itself just before waiting; from there every system call stops it, so
// after the wake-up it stays held at the end of its futex call.
struct TracedWaiter {
  pid_t pid = -1;

  bool start(const std::string& base) {
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
    std::string path = self;
    path = path.substr(0, path.rfind('/') + 1) + "kernel_child";
    // Leak checking at exit would need ptrace of its own; this child is
    // killed anyway.
    std::string asan = "ASAN_OPTIONS=detect_leaks=0";
    if (const char* old = getenv("ASAN_OPTIONS")) asan += std::string(":") + old;
    std::vector<std::string> env_text{asan};
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env_text.push_back(*e);
    std::vector<char*> env;
    for (std::string& s : env_text) env.push_back(&s[0]);
    env.push_back(nullptr);
    std::string a0 = "kernel_child", a1 = "wait-mutex", a3 = "1", a2 = base;
    char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], nullptr};
    pid = fork();
    if (pid == 0) {
      ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      execve(path.c_str(), argv, env.data());
      _exit(127);
    }
    if (pid < 0) return false;
    // Let it run (past the exec stop) to its own SIGSTOP.
    int status;
    for (;;) {
      if (!wait_stop(pid, &status, 10000) || !WIFSTOPPED(status)) return false;
      if (WSTOPSIG(status) == SIGSTOP) break;
      int forward = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
      ptrace(PTRACE_CONT, pid, nullptr, (void*)(long)forward);
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           (void*)(long)(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
    // Step from system call to system call until it enters futex.
    for (;;) {
      ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
      if (!wait_stop(pid, &status, 10000) || !WIFSTOPPED(status)) return false;
      if (WSTOPSIG(status) != (SIGTRAP | 0x80)) continue;
      __ptrace_syscall_info info;
      if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, (void*)sizeof info, &info) <= 0) return false;
      if (info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_futex) break;
    }
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    return asleep_in_futex(pid);
  }

  // True once it has left its futex call (it was woken) and is held there.
  bool held_after_wake() {
    int status;
    return wait_stop(pid, &status, 10000) && WIFSTOPPED(status) &&
           WSTOPSIG(status) == (SIGTRAP | 0x80);
  }

  void kill_and_reap() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, __WALL) == pid && !WIFEXITED(status) && !WIFSIGNALED(status)) {
    }
    pid = -1;
  }
  ~TracedWaiter() { kill_and_reap(); }
};

TEST(MutexHandOver, WaiterKilledAfterItsWakeUpDoesNotStrandTheNext) {
  std::string base = kt::unique_name("handover");
  HANDLE m = CreateMutexA(NULL, TRUE, kt::with_lf(base).c_str());
  ASSERT_NE(m, (HANDLE)NULL);

  TracedWaiter w0;
  ASSERT_TRUE(w0.start(base));
  DWORD w1_pid = 0;
  HANDLE w1 = kt::start(NULL, "kernel_child.exe wait-mutex " + base + " 0", NULL, &w1_pid);
  ASSERT_NE(w1, (HANDLE)NULL);
  ASSERT_TRUE(asleep_in_futex((pid_t)w1_pid));  // queued behind W0

  ASSERT_TRUE(ReleaseMutex(m));
  ASSERT_TRUE(w0.held_after_wake());
  // Either the mutex went to W0 with the release, or it is free and the
  // owner takes it again before W0 can.
  DWORD again = WaitForSingleObject(m, 0);
  ASSERT_TRUE(again == WAIT_OBJECT_0 || again == WAIT_TIMEOUT) << again;
  w0.kill_and_reap();
  if (again == WAIT_OBJECT_0) {
    ASSERT_TRUE(ReleaseMutex(m));
  }

  bool ended = WaitForSingleObject(w1, 10000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(w1, 99);
  DWORD code = kt::finish_child(w1);
  ASSERT_TRUE(ended) << "W1 still sleeps although the mutex is free";
  // 0: got it after the owner's release; 1: abandoned by the killed W0.
  EXPECT_EQ(code, again == WAIT_OBJECT_0 ? 0u : 1u);
  CloseHandle(m);
}

}  // namespace
