// Windows and messages between processes: a real child process (user_child)
// creates a window and pumps; we post, send, wait for it to go idle and
// kill it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <future>

#include "user_test.h"

using namespace usertest;

namespace {

bool start(const char* args, PROCESS_INFORMATION* pi) {
  char cmd[128];
  snprintf(cmd, sizeof cmd, "user_child.exe %s", args);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  return CreateProcessA(NULL, cmd, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL, &si, pi) !=
         FALSE;
}

void finish(PROCESS_INFORMATION* pi) { CloseHandle(pi->hThread), CloseHandle(pi->hProcess); }

// Starts a pumping child that reports its window to `parent`; waits for
// the report (posted across processes) and returns the child's window.
HWND start_pump(HWND parent, PROCESS_INFORMATION* pi) {
  char args[64];
  snprintf(args, sizeof args, "pump %lu", (unsigned long)(ULONG_PTR)parent);
  if (!start(args, pi)) return NULL;
  MSG m;
  while (GetMessageA(&m, parent, 0, 0) > 0)
    if (m.message == WM_USER + 1) return (HWND)m.wParam;
  return NULL;
}

}  // namespace

// A first child is killed while it holds a send unanswered; a second
// child, started after, goes idle, keeps order, answers sends and closes.
TEST(UserCrossProcess, KilledOwnerEndsWindowsAndSendsTheNextOneWorks) {
  HWND parent = make_window();
  ASSERT_NE(parent, (HWND)NULL);
  PROCESS_INFORMATION pi{};
  HWND killed = start_pump(parent, &pi);
  ASSERT_NE(killed, (HWND)NULL);
  std::future<LRESULT> stuck =
      std::async(std::launch::async, [killed] { return SendMessageA(killed, WM_USER + 40, 0, 0); });
  MSG m;
  ASSERT_EQ(GetMessageA(&m, parent, WM_USER + 41, WM_USER + 41), TRUE);
  ASSERT_TRUE(TerminateProcess(pi.hProcess, 9));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(stuck.get(), 0);
  EXPECT_FALSE(IsWindow(killed));
  EXPECT_EQ(FAIL_ERR(PostMessageA(killed, WM_USER, 0, 0)), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  finish(&pi);

  HWND child = start_pump(parent, &pi);
  ASSERT_NE(child, (HWND)NULL);
  EXPECT_NE(child, killed);
  EXPECT_EQ(WaitForInputIdle(pi.hProcess, 10000), 0u);  // it pumps now
  EXPECT_EQ(WaitForInputIdle(pi.hProcess, 0), 0u);
  EXPECT_TRUE(IsWindow(child));
  DWORD pid = 0;
  EXPECT_NE(GetWindowThreadProcessId(child, &pid), 0u);
  EXPECT_EQ(pid, pi.dwProcessId);

  // Order is kept across processes in both directions.
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(PostMessageA(child, WM_USER + 10, i, -i));
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(GetMessageA(&m, parent, WM_USER + 11, WM_USER + 11), TRUE);
    ASSERT_EQ(m.wParam, (WPARAM)i);
    ASSERT_EQ(m.lParam, (LPARAM)-i);
  }

  // Sends are answered by the child's thread. While we wait, the child
  // posts to us and then sends to us: the sent message is handled inside
  // our SendMessageA, the posted one stays queued.
  EXPECT_EQ(SendMessageA(child, WM_USER + 20, 20, 2), 42);
  seen().clear();
  EXPECT_EQ(SendMessageA(child, WM_USER + 30, 7, 0), 71);
  ASSERT_EQ(seen().size(), 1u);  // record_proc answered the child's send with 70
  EXPECT_EQ(seen()[0].msg, (UINT)WM_USER + 100);
  ASSERT_TRUE(PeekMessageA(&m, parent, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 32);

  // WM_CLOSE through the child's DefWindowProcA ends its loop.
  ASSERT_TRUE(PostMessageA(child, WM_CLOSE, 0, 0));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_FALSE(IsWindow(child));
  finish(&pi);
  DestroyWindow(parent);
}

TEST(UserCrossProcess, WaitForInputIdle) {
  EXPECT_EQ(WaitForInputIdle(NULL, 0), WAIT_FAILED);

  // A child that never asks for messages does not go idle.
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start("busy", &pi));
  EXPECT_EQ(WaitForInputIdle(pi.hProcess, 200), (DWORD)WAIT_TIMEOUT);
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, 10000);
  finish(&pi);
}
