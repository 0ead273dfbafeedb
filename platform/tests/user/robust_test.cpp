// Native only: processes killed at the worst moments (inside the window
// table's mutex, owning windows) must not stop the processes that remain.
// fork() places the kill exactly; crossprocess_test.cpp has the portable cases.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support.h"
#include "user/shared.h"

namespace {

// Runs `fn` in a forked child that then kills itself; returns what it returned.
template <typename Fn>
uint32_t die_after(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    uint32_t v = fn();
    if (write(fds[1], &v, sizeof v) == sizeof v) raise(SIGKILL);
    _exit(3);
  }
  close(fds[1]);
  uint32_t v = 0;
  if (read(fds[0], &v, sizeof v) != sizeof v) v = 0;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  return v;
}

TEST(UserRobust, KilledInsideTheTableOrOwningWindows) {
  HWND mine = pt::make_window();
  die_after([] {
    w32p::user::lock_table(w32p::user::table());
    return 1u;
  });
  ASSERT_TRUE(PostMessageA(mine, WM_USER + 1, 0, 0));  // the mutex was recovered
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, mine, 0, 0, PM_REMOVE));
  HWND theirs = (HWND)(ULONG_PTR)die_after([] {
    HWND h = pt::make_window();
    for (int i = 0; i < 500; ++i) PostMessageA(h, WM_USER, i, 0);
    return (uint32_t)(ULONG_PTR)h;
  });
  ASSERT_NE(theirs, (HWND)NULL);
  EXPECT_FALSE(IsWindow(theirs));
  EXPECT_FALSE(PostMessageA(theirs, WM_USER, 0, 0));
  DestroyWindow(mine);
}

}  // namespace
