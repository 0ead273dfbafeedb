// Messages within one process: order, filters, WM_QUIT, the bounded queue,
// and SendMessageA within a thread and between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "user_test.h"

using namespace usertest;

namespace {

LRESULT CALLBACK quitting_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return record_proc(h, msg, wp, lp);
}

// A window owned by a thread that runs `before_pump`, then pumps
// GetMessageA until its window is closed.
struct Worker {
  HWND hwnd = NULL;
  DWORD tid = 0;
  std::thread thread;

  template <typename Fn>
  explicit Worker(Fn before_pump) {
    WNDCLASSA wc{};
    if (!GetClassInfoA(instance(), "UserTestWorker", &wc)) {
      wc.lpfnWndProc = quitting_proc;
      wc.hInstance = instance();
      wc.lpszClassName = "UserTestWorker";
      RegisterClassA(&wc);
    }
    std::promise<void> ready;
    std::future<void> f = ready.get_future();
    thread = std::thread([this, before_pump, &ready] {
      hwnd = CreateWindowExA(0, "UserTestWorker", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                             instance(), NULL);
      tid = GetCurrentThreadId();
      ready.set_value();
      before_pump();
      MSG m;
      while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
    });
    f.wait();
  }
  Worker() : Worker([] {}) {}
  // Closes the window (retrying while its queue is full) and joins.
  void stop() {
    if (!thread.joinable()) return;
    while (IsWindow(hwnd) && !PostMessageA(hwnd, WM_CLOSE, 0, 0)) Sleep(1);
    thread.join();
  }
  ~Worker() { stop(); }
};

HWND g_main = NULL;
std::atomic<DWORD> g_handler_tid{0};

// Handles the nested-send cases: runs on the thread that owns the window.
LRESULT CALLBACK nested_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_USER + 6:  // on the worker: post, then send back to the main window
      PostMessageA(g_main, WM_USER + 7, 0, 0);
      return SendMessageA(g_main, WM_USER + 8, wp, 0) + 1;
    case WM_USER + 8:  // on the main thread, inside its own SendMessageA
      record_proc(h, msg, wp, lp);
      return (LRESULT)(wp * 10);
    case WM_USER + 9:  // on the main thread, inside GetMessageA
      g_handler_tid = GetCurrentThreadId();
      PostMessageA(h, WM_USER + 10, 0, 0);
      return 77;
    case WM_DESTROY:
      PostQuitMessage(0);
      break;
  }
  return record_proc(h, msg, wp, lp);
}

HWND nested_window() {
  WNDCLASSA wc{};
  if (!GetClassInfoA(instance(), "UserTestNested", &wc)) {
    wc.lpfnWndProc = nested_proc;
    wc.hInstance = instance();
    wc.lpszClassName = "UserTestNested";
    RegisterClassA(&wc);
  }
  return CreateWindowExA(0, "UserTestNested", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                         instance(), NULL);
}

}  // namespace

TEST(UserMessage, PostedInOrderAndDispatched) {
  HWND h = make_window();
  drain();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostMessageA(h, WM_USER + 1, i, -i));
  seen().clear();
  for (int i = 0; i < 100; ++i) {
    MSG m;
    ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), TRUE);
    EXPECT_EQ(m.hwnd, h);
    EXPECT_EQ(m.message, (UINT)WM_USER + 1);
    EXPECT_EQ(m.wParam, (WPARAM)i);
    EXPECT_EQ(m.lParam, (LPARAM)-i);
    DispatchMessageA(&m);
  }
  ASSERT_EQ(seen().size(), 100u);
  EXPECT_EQ(seen()[42].wp, (WPARAM)42);
  EXPECT_EQ(seen()[42].hwnd, h);

  // The product's notification words.
  LPARAM lp = MAKELPARAM(0x100, 1234);
  EXPECT_EQ(LOWORD(lp), 0x100);
  EXPECT_EQ(HIWORD(lp), 1234);
  EXPECT_EQ(SendMessageA(h, WM_USER + 100, 40, 2), 42);  // same thread: direct
  DestroyWindow(h);
}

TEST(UserMessage, WindowAndRangeFilters) {
  HWND a = make_window(), b = make_window();
  drain();
  PostMessageA(a, WM_USER + 1, 0, 0);
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
  EXPECT_FALSE(PeekMessageA(&m, b, 0, 0, PM_REMOVE));
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_USER + 5, WM_USER + 50, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 3);
  EXPECT_FALSE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));

  // A destroyed window takes its waiting messages with it.
  PostMessageA(b, WM_USER + 6, 0, 0);
  DestroyWindow(b);
  EXPECT_FALSE(PeekMessageA(&m, NULL, WM_USER, WM_USER + 50, PM_REMOVE));
  DestroyWindow(a);
}

TEST(UserMessage, QuitComesAfterPostedAndIgnoresTheRange) {
  HWND h = make_window();
  drain();
  PostMessageA(h, WM_USER + 1, 0, 0);
  PostQuitMessage(7);
  MSG m;
  ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), TRUE);
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_EQ(GetMessageA(&m, NULL, 0, 0), FALSE);
  EXPECT_EQ(m.message, (UINT)WM_QUIT);
  EXPECT_EQ(m.wParam, (WPARAM)7);
  EXPECT_FALSE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));

  PostQuitMessage(3);
  ASSERT_TRUE(PeekMessageA(&m, NULL, WM_USER, WM_USER, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_QUIT);
  EXPECT_EQ(m.wParam, (WPARAM)3);
  DestroyWindow(h);
}

TEST(UserMessage, PostingFailsForBadWindowsAndFullQueues) {
  SetLastError(0);
  EXPECT_FALSE(PostMessageA((HWND)(ULONG_PTR)0xDEAD0000u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  HWND gone = make_window();
  DestroyWindow(gone);
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(gone, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  SetLastError(0);
  EXPECT_EQ(SendMessageA(gone, WM_USER + 100, 1, 2), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

  // A receiver that does not pump: posting never blocks; past the Win32
  // limit of 10 000 posts it is refused with ERROR_NOT_ENOUGH_QUOTA.
  std::promise<void> go;
  std::shared_future<void> go_f = go.get_future().share();
  std::atomic<int> received{0};
  std::atomic<bool> in_order{true};
  Worker w([&] {
    go_f.wait();
    MSG m;
    int next = 0;
    while (PeekMessageA(&m, NULL, WM_USER + 1, WM_USER + 1, PM_REMOVE)) {
      if (m.wParam != (WPARAM)next++) in_order = false;
      ++received;
    }
  });
  int accepted = 0, refused = 0;
  for (int i = 0; i < 10100; ++i) {
    SetLastError(0);
    if (PostMessageA(w.hwnd, WM_USER + 1, accepted, 0)) {
      ASSERT_EQ(refused, 0) << "a post succeeded after the queue was full";
      ++accepted;
    } else {
      ASSERT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
      ++refused;
    }
  }
  EXPECT_GE(accepted, 10000);
  go.set_value();
  w.stop();
  EXPECT_EQ(received, accepted);
  EXPECT_TRUE(in_order);
}

TEST(UserMessage, SendToOtherThreadsAndNestedSends) {
  // Plain cross-thread send, answered on the owner's thread.
  Worker w;
  EXPECT_EQ(SendMessageA(w.hwnd, WM_USER + 100, 40, 2), 42);
  EXPECT_EQ(GetWindowThreadProcessId(w.hwnd, NULL), w.tid);

  // The worker, while handling our send, posts to us and then sends to us:
  // the sent message is handled inside our SendMessageA, before the message
  // posted earlier is retrieved.
  g_main = nested_window();
  HWND nested = NULL;
  std::promise<void> ready;
  std::thread t([&] {
    nested = nested_window();
    ready.set_value();
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
  });
  ready.get_future().wait();
  drain();
  seen().clear();
  EXPECT_EQ(SendMessageA(nested, WM_USER + 6, 4, 0), 41);
  ASSERT_EQ(seen().size(), 1u);
  EXPECT_EQ(seen()[0].msg, (UINT)WM_USER + 8);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, g_main, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 7);

  // A send reaches a thread blocked in GetMessageA with a filter the sent
  // message does not pass; it is handled there, on that thread.
  std::future<LRESULT> r =
      std::async(std::launch::async, [] { return SendMessageA(g_main, WM_USER + 9, 0, 0); });
  ASSERT_EQ(GetMessageA(&m, g_main, WM_USER + 10, WM_USER + 10), TRUE);
  EXPECT_EQ(m.message, (UINT)WM_USER + 10);
  EXPECT_EQ(r.get(), 77);
  EXPECT_EQ(g_handler_tid, GetCurrentThreadId());

  PostMessageA(nested, WM_CLOSE, 0, 0);
  t.join();
  DestroyWindow(g_main);
  drain();
}

TEST(UserMessage, SendToAThreadThatEndsReturnsZero) {
  // The owner never pumps and ends: the sender gets 0 instead of hanging.
  std::promise<void> sent;
  std::shared_future<void> sent_f = sent.get_future().share();
  HWND h = NULL;
  std::promise<void> ready;
  std::thread t([&] {
    h = make_window();
    ready.set_value();
    sent_f.wait();
    Sleep(50);
  });
  ready.get_future().wait();
  std::future<LRESULT> r =
      std::async(std::launch::async, [&] { return SendMessageA(h, WM_USER + 100, 1, 2); });
  sent.set_value();
  t.join();
  EXPECT_EQ(r.get(), 0);
  EXPECT_FALSE(IsWindow(h));
}
