// Window classes and windows: registration, lookup and unregistration;
// creation and destruction messages, extra bytes, and IsWindow after
// destruction, for stale handles and after the owner thread ended.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>

#include "user_test.h"

using namespace usertest;

namespace {

bool g_alive_in_destroy = false;
void* g_create_param = nullptr;

LRESULT CALLBACK lifecycle_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CREATE) g_create_param = ((CREATESTRUCTA*)lp)->lpCreateParams;
  if (msg == WM_DESTROY) g_alive_in_destroy = IsWindow(h) != FALSE;
  return record_proc(h, msg, wp, lp);
}

size_t index_of(UINT msg) {
  for (size_t i = 0; i < seen().size(); ++i)
    if (seen()[i].msg == msg) return i;
  return (size_t)-1;
}

}  // namespace

TEST(UserWindow, ClassesAndCreateDestroyMessages) {
  WNDCLASSA wc{CS_GLOBALCLASS, lifecycle_proc, 0,    10,   instance(),
               NULL,           NULL,           NULL, NULL, "UserTestClassA"};
  ATOM atom = RegisterClassA(&wc);
  ASSERT_NE(atom, 0);
  wc.lpszClassName = "usertestclassa";  // names compare case-insensitively
  EXPECT_EQ(FAIL_ERR(RegisterClassA(&wc)), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(instance(), "USERTESTCLASSA", &info));
  EXPECT_EQ(info.lpfnWndProc, lifecycle_proc);
  EXPECT_EQ(info.cbWndExtra, 10);

  // A window of the class, made through the atom: its creation messages.
  seen().clear();
  int param = 0;
  HWND h = CreateWindowExA(0, MAKEINTATOM(atom), "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                           instance(), &param);
  ASSERT_NE(h, (HWND)NULL);
  EXPECT_LE((ULONG_PTR)h, 0xFFFFFFFFu);  // travels as a 32-bit value
  EXPECT_LT(index_of(WM_NCCREATE), index_of(WM_CREATE));
  EXPECT_NE(index_of(WM_CREATE), (size_t)-1);
  EXPECT_EQ(g_create_param, &param);
  // It keeps the class registered until it is destroyed.
  EXPECT_EQ(FAIL_ERR(UnregisterClassA("UserTestClassA", instance())),
            (DWORD)ERROR_CLASS_HAS_WINDOWS);
  seen().clear();
  ASSERT_TRUE(DestroyWindow(h));
  EXPECT_LT(index_of(WM_DESTROY), index_of(WM_NCDESTROY));
  EXPECT_NE(index_of(WM_NCDESTROY), (size_t)-1);
  EXPECT_TRUE(g_alive_in_destroy);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(DestroyWindow(h));  // (the error code differs between Win32 builds)
  EXPECT_TRUE(UnregisterClassA("UserTestClassA", instance()));

  EXPECT_EQ(FAIL_ERR(UnregisterClassA("UserTestClassA", instance())),
            (DWORD)ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_EQ(FAIL_ERR(GetClassInfoA(instance(), "UserTestClassA", &info)),
            (DWORD)ERROR_CLASS_DOES_NOT_EXIST);
  SetLastError(0);
  EXPECT_EQ(CreateWindowExA(0, "UserTestClassA", "", 0, 0, 0, 0, 0, NULL, NULL, instance(), NULL),
            (HWND)NULL);
  // Windows reports ERROR_CANNOT_FIND_WND_CLASS, Wine ERROR_CLASS_DOES_NOT_EXIST.
  DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_CANNOT_FIND_WND_CLASS || error == ERROR_CLASS_DOES_NOT_EXIST) << error;
  wc.style = 0;  // the name is free again, also for a local class
  EXPECT_NE(RegisterClassA(&wc), 0);
  EXPECT_TRUE(UnregisterClassA("UserTestClassA", instance()));

  // WM_CLOSE through DefWindowProcA destroys the window.
  HWND c = make_window();
  SendMessageA(c, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(c));
}

TEST(UserWindow, ExtraBytesAtAnyOffset) {
  // The product's blocking-call windows: 10 bytes holding a word at 0, a
  // 32-bit value at the unaligned offset 2, words at 6 and 8. Every word
  // read matches the bytes written (0 where out of range).
  HWND h = make_window(10);
  ASSERT_NE(h, (HWND)NULL);
  const unsigned char set[11] = {0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0x78, 0x56, 1, 0, 0};
  auto check = [&](bool written) {
    for (int off = 0; off < 10; ++off) {
      WORD w = 0;
      if (written && off < 9) memcpy(&w, set + off, 2);
      EXPECT_EQ(GetWindowWord(h, off), w) << off;
    }
  };
  check(false);  // zero-filled
  EXPECT_EQ(SetWindowWord(h, 0, 0x1234), 0);
  EXPECT_EQ(SetWindowLongA(h, 2, (LONG)0x89ABCDEF), 0);
  EXPECT_EQ(SetWindowWord(h, 6, 0x5678), 0);
  EXPECT_EQ(SetWindowWord(h, 8, 1), 0);
  check(true);

  // Out of range: 0 and ERROR_INVALID_INDEX, nothing written.
  EXPECT_EQ(FAIL_ERR(SetWindowWord(h, 9, 0xFFFF)), (DWORD)ERROR_INVALID_INDEX);
  EXPECT_EQ(FAIL_ERR(SetWindowLongA(h, 7, -1)), (DWORD)ERROR_INVALID_INDEX);
  EXPECT_EQ(GetWindowLongA(h, -100), 0);
  check(true);

  EXPECT_EQ(SetWindowLongPtrA(h, GWLP_USERDATA, 42), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 42);
  EXPECT_EQ((WNDPROC)GetWindowLongPtrA(h, GWLP_WNDPROC), record_proc);
  ASSERT_TRUE(DestroyWindow(h));
  EXPECT_EQ(FAIL_ERR(GetWindowWord(h, 0)), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

  HWND none = make_window(0);  // no extra bytes at all
  EXPECT_EQ(FAIL_ERR(GetWindowWord(none, 0)), (DWORD)ERROR_INVALID_INDEX);
  DestroyWindow(none);
}

TEST(UserWindow, IsWindowForStaleGarbageAndEndedThreads) {
  EXPECT_FALSE(IsWindow(NULL));
  EXPECT_FALSE(IsWindow((HWND)(ULONG_PTR)0xDEAD0000u));

  // A destroyed handle stays invalid while its slot is reused.
  HWND first = make_window();
  ASSERT_TRUE(DestroyWindow(first));
  for (int i = 0; i < 300; ++i) {
    HWND h = make_window();
    ASSERT_NE(h, first);
    ASSERT_TRUE(DestroyWindow(h));
    ASSERT_FALSE(IsWindow(first));
  }

  // A window lives no longer than the thread that created it.
  HWND orphan = NULL;
  std::thread t([&] { orphan = make_window(); });
  t.join();
  ASSERT_NE(orphan, (HWND)NULL);
  EXPECT_FALSE(IsWindow(orphan));
}
