// Timers: WM_TIMER through the owner's message loop at the period, after
// posted messages; replacing and killing; thread timers with a procedure.
#include <gtest/gtest.h>

#include "user_test.h"

using namespace usertest;

namespace {

UINT_PTR g_proc_id = 0;

void CALLBACK timer_proc(HWND, UINT, UINT_PTR id, DWORD) { g_proc_id = id; }

}  // namespace

TEST(UserTimer, WindowTimers) {
  HWND h = make_window();
  drain();
  DWORD start = GetTickCount();
  ASSERT_NE(SetTimer(h, 7, 30, NULL), 0u);
  MSG m;
  for (int ticks = 0; ticks < 3;) {
    ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), TRUE);
    if (m.message != WM_TIMER) continue;
    EXPECT_EQ(m.hwnd, h);
    EXPECT_EQ(m.wParam, (WPARAM)7);
    ++ticks;
  }
  EXPECT_GE(GetTickCount() - start, 60u);  // three periods, never early by more than one

  // Posted messages come before a due timer.
  Sleep(40);
  PostMessageA(h, WM_USER + 1, 0, 0);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_TIMER);

  EXPECT_TRUE(KillTimer(h, 7));
  EXPECT_FALSE(KillTimer(h, 7));
  Sleep(60);
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_TIMER, WM_TIMER, PM_REMOVE));

  // Setting a timer again replaces its period (else this would block a minute).
  ASSERT_NE(SetTimer(h, 9, 60000, NULL), 0u);
  ASSERT_NE(SetTimer(h, 9, 20, NULL), 0u);
  ASSERT_EQ(GetMessageA(&m, NULL, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(m.wParam, (WPARAM)9);

  DestroyWindow(h);  // ends its timers
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
  DispatchMessageA(&m);
  EXPECT_EQ(g_proc_id, id);
  EXPECT_TRUE(KillTimer(NULL, id));
}
