// Windows: creation and destruction messages, extra bytes, and IsWindow
// after destruction, for stale handles and after the owner thread ended.
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

TEST(UserWindow, CreateAndDestroyMessages) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = lifecycle_proc;
  wc.hInstance = instance();
  wc.lpszClassName = "UserTestLifecycle";
  ASSERT_NE(RegisterClassA(&wc), 0);
  seen().clear();
  int param = 0;
  HWND h = CreateWindowExA(0, "UserTestLifecycle", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                           instance(), &param);
  ASSERT_NE(h, (HWND)NULL);
  EXPECT_LE((ULONG_PTR)h, 0xFFFFFFFFu);  // travels as a 32-bit value
  EXPECT_TRUE(IsWindow(h));
  ASSERT_NE(index_of(WM_NCCREATE), (size_t)-1);
  ASSERT_NE(index_of(WM_CREATE), (size_t)-1);
  EXPECT_LT(index_of(WM_NCCREATE), index_of(WM_CREATE));
  EXPECT_EQ(g_create_param, &param);

  seen().clear();
  ASSERT_TRUE(DestroyWindow(h));
  ASSERT_NE(index_of(WM_DESTROY), (size_t)-1);
  ASSERT_NE(index_of(WM_NCDESTROY), (size_t)-1);
  EXPECT_LT(index_of(WM_DESTROY), index_of(WM_NCDESTROY));
  EXPECT_TRUE(g_alive_in_destroy);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(DestroyWindow(h));  // (the error code differs between Win32 builds)

  // WM_CLOSE through DefWindowProcA destroys the window.
  HWND c = make_window();
  ASSERT_NE(c, (HWND)NULL);
  seen().clear();
  SendMessageA(c, WM_CLOSE, 0, 0);
  EXPECT_TRUE(saw(WM_DESTROY));
  EXPECT_FALSE(IsWindow(c));
  EXPECT_TRUE(UnregisterClassA("UserTestLifecycle", instance()));
}

TEST(UserWindow, ExtraBytesAtAnyOffset) {
  HWND h = make_window(10);
  ASSERT_NE(h, (HWND)NULL);
  unsigned char mirror[10] = {};
  auto expect_mirror = [&] {
    for (int off = 0; off + 2 <= 10; ++off) {
      WORD w;
      memcpy(&w, mirror + off, 2);
      EXPECT_EQ(GetWindowWord(h, off), w) << "word at " << off;
    }
    for (int off = 0; off + 4 <= 10; ++off) {
      LONG l;
      memcpy(&l, mirror + off, 4);
      EXPECT_EQ(GetWindowLongA(h, off), l) << "long at " << off;
    }
    for (int off = 0; off + (int)sizeof(LONG_PTR) <= 10; ++off) {
      LONG_PTR p;
      memcpy(&p, mirror + off, sizeof p);
      EXPECT_EQ(GetWindowLongPtrA(h, off), p) << "pointer at " << off;
    }
  };
  expect_mirror();  // zero-filled

  // The layout of the product's blocking-call windows: a word at 0, a
  // 32-bit value at the unaligned offset 2, words at 6 and 8.
  EXPECT_EQ(SetWindowWord(h, 0, 0x1234), 0);
  WORD w0 = 0x1234;
  memcpy(mirror, &w0, 2);
  LONG l2 = (LONG)0x89ABCDEF;
  EXPECT_EQ(SetWindowLongA(h, 2, l2), 0);
  memcpy(mirror + 2, &l2, 4);
  EXPECT_EQ(SetWindowWord(h, 6, 0x5678), 0);
  EXPECT_EQ(SetWindowWord(h, 8, 1), 0);
  WORD w6 = 0x5678, w8 = 1;
  memcpy(mirror + 6, &w6, 2);
  memcpy(mirror + 8, &w8, 2);
  expect_mirror();

  // Writers return the previous value.
  EXPECT_EQ(SetWindowLongA(h, 2, 7), l2);
  LONG seven = 7;
  memcpy(mirror + 2, &seven, 4);
  LONG_PTR big = (LONG_PTR)0x0102030405060708ull;
  if (sizeof(LONG_PTR) == 4) big = 0x05060708;
  LONG_PTR before;
  memcpy(&before, mirror + 1, sizeof before);
  EXPECT_EQ(SetWindowLongPtrA(h, 1, big), before);
  memcpy(mirror + 1, &big, sizeof big);
  expect_mirror();

  // Out of range: 0 and ERROR_INVALID_INDEX, nothing written.
  struct {
    int kind, offset;
  } bad[] = {{2, 9}, {2, 10}, {4, 7}, {4, 10}, {8, 11 - (int)sizeof(LONG_PTR)}, {4, -100}};
  for (auto b : bad) {
    SetLastError(0);
    LONG_PTR r = b.kind == 2   ? GetWindowWord(h, b.offset)
                 : b.kind == 4 ? GetWindowLongA(h, b.offset)
                               : GetWindowLongPtrA(h, b.offset);
    EXPECT_EQ(r, 0) << b.kind << "@" << b.offset;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX) << b.kind << "@" << b.offset;
  }
  SetLastError(0);
  EXPECT_EQ(SetWindowLongA(h, 7, -1), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX);
  SetLastError(0);
  EXPECT_EQ(SetWindowWord(h, 9, 0xFFFF), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX);
  expect_mirror();

  // The user data slot and the window procedure.
  EXPECT_EQ(SetWindowLongPtrA(h, GWLP_USERDATA, 42), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 42);
  EXPECT_EQ((WNDPROC)GetWindowLongPtrA(h, GWLP_WNDPROC), record_proc);
  ASSERT_TRUE(DestroyWindow(h));

  // A window without extra bytes has none to read; a dead one fails.
  HWND none = make_window(0);
  SetLastError(0);
  EXPECT_EQ(GetWindowWord(none, 0), 0);
  EXPECT_EQ(GetWindowLongA(none, 0), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX);
  ASSERT_TRUE(DestroyWindow(none));
  SetLastError(0);
  EXPECT_EQ(GetWindowLongA(none, 0), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST(UserWindow, IsWindowForStaleGarbageAndEndedThreads) {
  EXPECT_FALSE(IsWindow(NULL));
  EXPECT_FALSE(IsWindow((HWND)(ULONG_PTR)0xDEAD0000u));

  // A destroyed handle stays invalid while its slot is reused.
  HWND first = make_window();
  ASSERT_TRUE(DestroyWindow(first));
  for (int i = 0; i < 300; ++i) {
    HWND h = make_window();
    ASSERT_NE(h, (HWND)NULL);
    EXPECT_NE(h, first);
    ASSERT_TRUE(DestroyWindow(h));
    ASSERT_FALSE(IsWindow(first));
  }

  // A window lives no longer than the thread that created it.
  HWND orphan = NULL;
  std::thread t([&] { orphan = make_window(); });
  t.join();
  ASSERT_NE(orphan, (HWND)NULL);
  EXPECT_FALSE(IsWindow(orphan));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(orphan, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}
