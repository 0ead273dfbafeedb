// Native only: processes killed at the worst moments (holding the window
// table's mutex, owning windows) must not stop the processes that remain.
// Uses fork() to place the kill exactly; the cross-platform cases live in
// crossprocess_test.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include "user/shared.h"
#include "user_test.h"

using namespace usertest;

namespace {

// Runs `fn` in a forked child that then kills itself with SIGKILL; returns
// the value the child wrote to the pipe before dying.
template <typename Fn>
uint32_t die_after(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    uint32_t v = fn();
    if (write(fds[1], &v, sizeof v) != sizeof v) _exit(3);
    raise(SIGKILL);
    _exit(4);
  }
  close(fds[1]);
  uint32_t v = 0;
  if (read(fds[0], &v, sizeof v) != sizeof v) v = 0;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  return v;
}

}  // namespace

TEST(UserRobust, KilledWhileHoldingTheTableOrOwningWindows) {
  HWND mine = make_window();
  ASSERT_NE(mine, (HWND)NULL);

  // Killed inside the table's mutex: the next caller recovers it.
  die_after([] {
    w32p::user::lock_table(w32p::user::table());
    return 1u;
  });
  ASSERT_TRUE(PostMessageA(mine, WM_USER + 1, 0, 0));
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, mine, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);

  // Killed owning a window and a queue full of messages.
  uint32_t theirs = die_after([] {
    HWND h = make_window();
    for (int i = 0; i < 500; ++i) PostMessageA(h, WM_USER, i, 0);
    return (uint32_t)(ULONG_PTR)h;
  });
  ASSERT_NE(theirs, 0u);
  EXPECT_FALSE(IsWindow((HWND)(ULONG_PTR)theirs));
  EXPECT_FALSE(PostMessageA((HWND)(ULONG_PTR)theirs, WM_USER, 0, 0));

  // All slots the dead left behind are usable again.
  std::vector<HWND> many;
  for (int i = 0; i < 200; ++i) many.push_back(make_window());
  for (HWND h : many) {
    ASSERT_NE(h, (HWND)NULL);
    EXPECT_TRUE(DestroyWindow(h));
  }
  DestroyWindow(mine);
}
