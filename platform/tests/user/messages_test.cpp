// Messages within one process: order, filters, WM_QUIT, the bounded queue,
// sends within and across threads; window and thread timers.
#include <gtest/gtest.h>

#include <future>

#include "../support.h"

using namespace pt;

namespace {

MSG next(HWND h, UINT lo = 0, UINT hi = 0, bool get = true) {
  MSG m{};
  if (!(get ? GetMessageA(&m, h, lo, hi) >= 0 : PeekMessageA(&m, h, lo, hi, PM_REMOVE)))
    m.message = 0;
  return m;
}

// Another thread's posts to this one, which does not pump, never block; past
// 10 000 they are refused with ERROR_NOT_ENOUGH_QUOTA, never accepted again.
// A send from another thread is handled in GetMessageA through a filter it
// does not pass, before GetMessageA returns the message its handler posted.
TEST(UserMessage, FiltersQuitBadWindowsFullQueuesAndSendsFromAnotherThread) {
  HWND a = make_window(), b = fresh_window();
  PostMessageA(a, WM_USER + 1, 40, -40);
  PostMessageA(b, WM_USER + 2, 0, 0);
  PostMessageA(a, WM_USER + 3, 0, 0);
  EXPECT_EQ(next(b, 0, 0, false).message, (UINT)WM_USER + 2);
  EXPECT_EQ(next(NULL, WM_USER + 5, WM_USER + 50, false).message, 0u);
  PostQuitMessage(7);  // WM_QUIT comes after the posted messages, whatever the range
  MSG m = next(NULL);
  EXPECT_TRUE(m.hwnd == a && m.message == WM_USER + 1 && m.lParam == -40);
  seen.clear();
  DispatchMessageA(&m);
  EXPECT_EQ(seen, std::vector<UINT>{WM_USER + 1});
  EXPECT_EQ(SendMessageA(a, WM_USER + 100, 40, 2), 42);  // own thread: a direct call
  EXPECT_EQ(next(NULL).message, (UINT)WM_USER + 3);
  m = next(NULL, WM_USER, WM_USER);
  EXPECT_TRUE(m.message == WM_QUIT && m.wParam == 7);
  // A destroyed window takes its waiting messages with it, and takes no more.
  PostMessageA(b, WM_USER + 6, 0, 0);
  DestroyWindow(b);
  EXPECT_EQ(next(NULL, 0, 0, false).message, 0u);
  for (HWND bad : {b, (HWND)(ULONG_PTR)0xDEAD0000u}) {
    EXPECT_ERR(PostMessageA(bad, WM_USER, 0, 0), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_ERR(SendMessageA(bad, WM_USER + 100, 1, 2), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(bad));
  }
  int accepted = 0, refused = 0, wrong = 0;
  pt::on_thread([&] {
    for (int i = 0; i < 10100; ++i) {
      DWORD error = FAIL_ERR(PostMessageA(a, WM_USER + 1, accepted, 0));
      wrong += error ? error != ERROR_NOT_ENOUGH_QUOTA : refused > 0;
      (error ? refused : accepted)++;
    }
    return 0;
  });
  EXPECT_TRUE(accepted >= 10000 && wrong == 0) << accepted << " accepted, " << wrong << " wrong";
  int received = 0;
  for (MSG q; PeekMessageA(&q, a, WM_USER + 1, WM_USER + 1, PM_REMOVE);)
    received += q.wParam == (WPARAM)received;
  EXPECT_EQ(received, accepted);
  seen.clear();
  std::future<LRESULT> r =
      std::async(std::launch::async, [a] { return SendMessageA(a, WM_USER + 101, 0, 0); });
  EXPECT_EQ(next(a, WM_USER + 102, WM_USER + 102).message, (UINT)WM_USER + 102);
  EXPECT_EQ(r.get(), 77);
  EXPECT_EQ(seen, std::vector<UINT>{WM_USER + 101});
  DestroyWindow(a);
}

TEST(UserTimer, WindowAndThreadTimers) {
  HWND h = fresh_window();
  DWORD start = GetTickCount();
  ASSERT_NE(SetTimer(h, 7, 30, NULL), 0u);
  for (int tick = 0; tick < 3; ++tick) EXPECT_EQ(next(h, WM_TIMER, WM_TIMER).wParam, (WPARAM)7);
  EXPECT_GE(GetTickCount() - start, 60u);  // three periods, never early by more than one
  // Posted messages come before a due timer.
  MSG m;
  ASSERT_TRUE(eventually([&m] { return PeekMessageA(&m, NULL, WM_TIMER, WM_TIMER, PM_NOREMOVE); }));
  PostMessageA(h, WM_USER + 1, 0, 0);
  EXPECT_EQ(next(NULL).message, (UINT)WM_USER + 1);
  EXPECT_EQ(next(NULL).message, (UINT)WM_TIMER);
  // A killed timer ticks no more: the next tick is the other timer's (its
  // period reset from a minute to 80 ms, else this would block).
  EXPECT_TRUE(KillTimer(h, 7) && !KillTimer(h, 7));
  ASSERT_TRUE(SetTimer(h, 9, 60000, NULL) && SetTimer(h, 9, 80, NULL));
  EXPECT_EQ(next(NULL, WM_TIMER, WM_TIMER).wParam, (WPARAM)9);
  // Destroying the window ends its timers; a thread timer has no window.
  ASSERT_NE(SetTimer(h, 10, 10, NULL), 0u);
  DestroyWindow(h);
  UINT_PTR id = SetTimer(NULL, 0, 40, NULL);
  m = next(NULL, WM_TIMER, WM_TIMER);
  EXPECT_TRUE(id != 0 && m.hwnd == NULL && m.wParam == id && KillTimer(NULL, id));
}

}  // namespace
