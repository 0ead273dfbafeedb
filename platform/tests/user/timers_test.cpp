// Timers: WM_TIMER through the owner's message loop at the period, after
// posted messages, thread timers with a procedure, replacing, killing.
#include <gtest/gtest.h>

#include "user_test.h"

using namespace usertest;

namespace {

UINT_PTR g_proc_id = 0;
int g_proc_calls = 0;

void CALLBACK timer_proc(HWND, UINT msg, UINT_PTR id, DWORD) {
  if (msg == WM_TIMER) {
    g_proc_id = id;
    ++g_proc_calls;
  }
}

}  // namespace

TEST(UserTimer, PeriodicWindowTimer) {
  HWND h = make_window();
  drain();
  seen().clear();
  DWORD start = GetTickCount();
  ASSERT_NE(SetTimer(h, 7, 30, NULL), 0u);
  int ticks = 0;
  MSG m;
  while (ticks < 3 && GetMessageA(&m, NULL, 0, 0) > 0) {
    if (m.message != WM_TIMER) continue;
    EXPECT_EQ(m.hwnd, h);
    EXPECT_EQ(m.wParam, (WPARAM)7);
    DispatchMessageA(&m);
    ++ticks;
  }
  EXPECT_EQ(ticks, 3);
  EXPECT_GE(GetTickCount() - start, 60u);  // three periods, never early by more than one
  EXPECT_TRUE(saw(WM_TIMER));

  // Posted messages come before a due timer.
  Sleep(40);
  PostMessageA(h, WM_USER + 1, 0, 0);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_TIMER);

  // Killed: nothing more arrives.
  EXPECT_TRUE(KillTimer(h, 7));
  EXPECT_FALSE(KillTimer(h, 7));
  Sleep(60);
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_TIMER, WM_TIMER, PM_REMOVE));

  // Setting an existing timer again replaces its period: GetMessageA would
  // block for a minute with the old one.
  ASSERT_NE(SetTimer(h, 9, 60000, NULL), 0u);
  ASSERT_NE(SetTimer(h, 9, 20, NULL), 0u);
  ASSERT_EQ(GetMessageA(&m, NULL, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(m.wParam, (WPARAM)9);

  // Destroying the window ends its timers.
  DestroyWindow(h);
  Sleep(60);
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_TIMER, WM_TIMER, PM_REMOVE));
}

TEST(UserTimer, ThreadTimerCallsItsProcedure) {
  drain();
  UINT_PTR id = SetTimer(NULL, 0, 10, timer_proc);
  ASSERT_NE(id, 0u);
  MSG m;
  ASSERT_EQ(GetMessageA(&m, NULL, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(m.hwnd, (HWND)NULL);
  EXPECT_EQ(m.wParam, id);
  g_proc_calls = 0;
  DispatchMessageA(&m);
  EXPECT_EQ(g_proc_calls, 1);
  EXPECT_EQ(g_proc_id, id);
  EXPECT_TRUE(KillTimer(NULL, id));
  drain();
}
