// Windows and messages with a pumping child: posts, sends, idle, kills.
// Natively, kills placed by fork() at the worst moments must not stop others.
#include <gtest/gtest.h>

#include <future>

#include "../support.h"
#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include "user/shared.h"
#endif

namespace {

// A pumping child's window, as it reports it to `parent`.
HWND start_pump(HWND parent, HANDLE* process, DWORD* pid) {
  *process = pt::start_child("pump " + std::to_string((ULONG_PTR)parent), pid);
  MSG m;
  while (*process && GetMessageA(&m, parent, 0, 0) > 0)
    if (m.message == WM_USER + 1) return (HWND)m.wParam;
  return NULL;
}

// A first child is killed while it holds a send unanswered; a second
// child, started after, goes idle, keeps order, answers sends and closes.
TEST(UserCrossProcess, KilledOwnerEndsWindowsAndSendsTheNextOneWorks) {
  HWND parent = pt::make_window();
  HANDLE process;
  DWORD child_pid = 0, pid = 0;
  HWND killed = start_pump(parent, &process, &child_pid);
  ASSERT_TRUE(killed && IsWindow(killed));
  std::future<LRESULT> stuck =
      std::async(std::launch::async, [killed] { return SendMessageA(killed, WM_USER + 40, 0, 0); });
  MSG m;
  ASSERT_EQ(GetMessageA(&m, parent, WM_USER + 41, WM_USER + 41), TRUE);
  ASSERT_TRUE(TerminateProcess(process, 9));
  EXPECT_EQ(pt::finish(process), 9u);
  EXPECT_TRUE(stuck.get() == 0 && !IsWindow(killed));
  EXPECT_ERR(PostMessageA(killed, WM_USER, 0, 0), ERROR_INVALID_WINDOW_HANDLE);

  HWND child = start_pump(parent, &process, &child_pid);
  ASSERT_TRUE(child && child != killed);
  EXPECT_EQ(WaitForInputIdle(process, 10000), 0u);  // it pumps now
  EXPECT_TRUE(GetWindowThreadProcessId(child, &pid) && pid == child_pid);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(PostMessageA(child, WM_USER + 10, i, -i));
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(GetMessageA(&m, parent, WM_USER + 11, WM_USER + 11), TRUE);
    ASSERT_TRUE(m.wParam == (WPARAM)i && m.lParam == (LPARAM)-i) << i;
  }
  // The child answers a send after it posted to us and sent to us: the sent
  // message is handled inside our SendMessageA, the posted one waits.
  pt::seen.clear();
  EXPECT_EQ(SendMessageA(child, WM_USER + 30, 7, 0), 71);  // we answered the child 7 + 63
  EXPECT_EQ(pt::seen, std::vector<UINT>{WM_USER + 100});
  EXPECT_TRUE(PeekMessageA(&m, parent, 0, 0, PM_REMOVE) && m.message == WM_USER + 32);
  ASSERT_TRUE(PostMessageA(child, WM_CLOSE, 0, 0));
  EXPECT_EQ(pt::finish(process), 5u);
  EXPECT_FALSE(IsWindow(child));
  DestroyWindow(parent);
}

#ifndef _WIN32
// Runs `fn` in a forked child that then kills itself; returns what it returned.
template <typename Fn>
uint32_t die_after(Fn fn) {
  auto v = (uint32_t*)mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  pid_t pid = fork();
  if (pid == 0) *v = fn(), raise(SIGKILL);
  int status = 0;
  EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFSIGNALED(status));
  uint32_t result = *v;
  return munmap(v, 4), result;
}

TEST(UserRobust, KilledInsideTheTableOrOwningWindows) {
  HWND mine = pt::make_window();
  die_after([] { return w32p::user::lock_table(w32p::user::table()), 1u; });
  ASSERT_TRUE(PostMessageA(mine, WM_USER + 1, 0, 0));  // the mutex was recovered
  MSG m;
  EXPECT_TRUE(PeekMessageA(&m, mine, 0, 0, PM_REMOVE) && m.message == WM_USER + 1);
  HWND theirs = (HWND)(ULONG_PTR)die_after([] {
    HWND h = pt::make_window();
    for (int i = 0; i < 500; ++i) PostMessageA(h, WM_USER, i, 0);
    return (uint32_t)(ULONG_PTR)h;
  });
  EXPECT_TRUE(theirs && !IsWindow(theirs));
  EXPECT_FALSE(PostMessageA(theirs, WM_USER, 0, 0));
  DestroyWindow(mine);
}

#endif

}  // namespace
