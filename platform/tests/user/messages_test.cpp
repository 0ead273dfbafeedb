// Messages within one process: order, filters, WM_QUIT, the bounded queue,
// SendMessageA to the caller's own and to another thread's window; timers:
// WM_TIMER through the owner's message loop at the period, after posted
// messages, replaced and killed, and thread timers with a procedure.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "user_test.h"

using namespace usertest;

namespace {

UINT_PTR g_proc_id = 0;

void CALLBACK timer_proc(HWND, UINT, UINT_PTR id, DWORD) { g_proc_id = id; }

}  // namespace

TEST(UserMessage, FiltersDispatchAndQuit) {
  HWND a = make_window(), b = make_window();
  drain();
  PostMessageA(a, WM_USER + 1, 40, -40);
  PostMessageA(b, WM_USER + 2, 0, 0);
  PostMessageA(a, WM_USER + 3, 0, 0);
  PostMessageA(NULL, WM_USER + 4, 0, 0);  // thread message
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, b, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 2);
  for (int twice = 0; twice < 2; ++twice) {  // PM_NOREMOVE leaves it
    ASSERT_TRUE(PeekMessageA(&m, a, WM_USER + 3, WM_USER + 3, PM_NOREMOVE));
    EXPECT_EQ(m.message, (UINT)WM_USER + 3);
  }
  ASSERT_TRUE(PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 4);
  EXPECT_EQ(m.hwnd, (HWND)NULL);
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_USER + 5, WM_USER + 50, PM_REMOVE));

  // WM_QUIT comes after the posted messages, whatever the range.
  PostQuitMessage(7);
  ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), TRUE);
  EXPECT_EQ(m.hwnd, a);
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  EXPECT_EQ(m.lParam, (LPARAM)-40);
  seen().clear();
  DispatchMessageA(&m);
  ASSERT_EQ(seen().size(), 1u);
  EXPECT_EQ(seen()[0].wp, (WPARAM)40);
  EXPECT_EQ(SendMessageA(a, WM_USER + 100, 40, 2), 42);  // own thread: a direct call
  ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), TRUE);
  EXPECT_EQ(m.message, (UINT)WM_USER + 3);
  ASSERT_EQ(GetMessageA(&m, NULL, WM_USER, WM_USER), FALSE);
  EXPECT_EQ(m.message, (UINT)WM_QUIT);
  EXPECT_EQ(m.wParam, (WPARAM)7);

  // A destroyed window takes its waiting messages with it.
  PostMessageA(b, WM_USER + 6, 0, 0);
  DestroyWindow(b);
  EXPECT_FALSE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  DestroyWindow(a);
}

TEST(UserMessage, BadWindowsAndFullQueues) {
  HWND gone = make_window();
  DestroyWindow(gone);
  for (HWND bad : {gone, (HWND)(ULONG_PTR)0xDEAD0000u}) {
    EXPECT_EQ(FAIL_ERR(PostMessageA(bad, WM_USER, 0, 0)), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(FAIL_ERR(SendMessageA(bad, WM_USER + 100, 1, 2)), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  }

  // A receiver that does not pump: posting never blocks; past the Win32
  // limit of 10 000 posts it is refused with ERROR_NOT_ENOUGH_QUOTA.
  std::promise<HWND> made;
  std::promise<void> go;
  int received = 0;
  bool in_order = true;
  std::thread t([&] {
    made.set_value(make_window());
    go.get_future().wait();
    MSG m;
    while (PeekMessageA(&m, NULL, WM_USER + 1, WM_USER + 1, PM_REMOVE))
      in_order = in_order && m.wParam == (WPARAM)received++;
  });
  HWND h = made.get_future().get();
  int accepted = 0, refused = 0;
  for (int i = 0; i < 10100; ++i) {
    SetLastError(0);
    if (PostMessageA(h, WM_USER + 1, accepted, 0)) {
      ASSERT_EQ(refused, 0) << "a post succeeded after the queue was full";
      ++accepted;
    } else {
      ASSERT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
      ++refused;
    }
  }
  EXPECT_GE(accepted, 10000);
  go.set_value();
  t.join();
  EXPECT_EQ(received, accepted);
  EXPECT_TRUE(in_order);
}

TEST(UserMessage, SendFromAnotherThread) {
  // The send reaches this thread blocked in GetMessageA with a filter the
  // sent message does not pass; it is handled here, before GetMessageA
  // returns the message its handler posted.
  HWND h = make_window();
  drain();
  seen().clear();
  std::future<LRESULT> r =
      std::async(std::launch::async, [h] { return SendMessageA(h, WM_USER + 101, 0, 0); });
  MSG m;
  ASSERT_EQ(GetMessageA(&m, h, WM_USER + 102, WM_USER + 102), TRUE);
  EXPECT_EQ(r.get(), 77);
  ASSERT_FALSE(seen().empty());
  EXPECT_EQ(seen()[0].msg, (UINT)WM_USER + 101);
  DestroyWindow(h);
}

TEST(UserTimer, WindowAndThreadTimers) {
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
  for (int i = 0; i < 10000 && !PeekMessageA(&m, NULL, WM_TIMER, WM_TIMER, PM_NOREMOVE); ++i)
    Sleep(1);  // until the next tick is due
  PostMessageA(h, WM_USER + 1, 0, 0);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_TIMER);

  // A killed timer ticks no more: the next tick is the other timer's, whose
  // period (reset from a minute to 80 ms, else this would block) spans the
  // killed one's.
  EXPECT_TRUE(KillTimer(h, 7));
  EXPECT_FALSE(KillTimer(h, 7));
  ASSERT_NE(SetTimer(h, 9, 60000, NULL), 0u);
  ASSERT_NE(SetTimer(h, 9, 80, NULL), 0u);
  ASSERT_EQ(GetMessageA(&m, NULL, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(m.wParam, (WPARAM)9);

  // Destroying the window ends its timers: the thread timer's first tick
  // comes with no window timer before it.
  ASSERT_NE(SetTimer(h, 10, 10, NULL), 0u);
  DestroyWindow(h);

  // A thread timer calls its procedure.
  UINT_PTR id = SetTimer(NULL, 0, 40, timer_proc);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(GetMessageA(&m, NULL, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(m.hwnd, (HWND)NULL);
  EXPECT_EQ(m.wParam, id);
  DispatchMessageA(&m);
  EXPECT_EQ(g_proc_id, id);
  EXPECT_TRUE(KillTimer(NULL, id));
}
