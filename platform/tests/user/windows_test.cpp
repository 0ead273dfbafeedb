// Window classes and windows: registration, destruction, extra bytes,
// IsWindow for stale handles and after the owner thread ended.
#include <gtest/gtest.h>

#include <thread>

#include "../support.h"

namespace {

bool g_alive_in_destroy = false;

LRESULT CALLBACK lifecycle_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) g_alive_in_destroy = IsWindow(h) != FALSE;
  return pt::record_proc(h, msg, wp, lp);
}

// Extra bytes as the product's blocking-call windows use them: words at 0,
// 6, 8 and a 32-bit value at the unaligned offset 2. A destroyed handle stays
// invalid while its slot is reused; a window dies with its creating thread.
TEST(UserWindow, ClassesExtraBytesDestroyMessagesAndStaleHandles) {
  HINSTANCE inst = GetModuleHandleA(NULL);
  WNDCLASSA wc{CS_GLOBALCLASS, lifecycle_proc, 0, 10, inst, NULL, NULL, NULL, NULL, "PtClassA"};
  ASSERT_NE(RegisterClassA(&wc), 0);
  wc.lpszClassName = "ptclassa";  // names compare case-insensitively
  EXPECT_ERR(RegisterClassA(&wc), ERROR_CLASS_ALREADY_EXISTS);
  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(inst, "PTCLASSA", &info));
  EXPECT_TRUE(info.lpfnWndProc == lifecycle_proc && info.cbWndExtra == 10);
  HWND h = CreateWindowExA(0, "PtClassA", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, inst, 0);
  ASSERT_NE(h, (HWND)NULL);
  EXPECT_LE((ULONG_PTR)h, 0xFFFFFFFFu);  // travels as a 32-bit value
  const unsigned char zero[11] = {}, set[11] = {0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0x78, 0x56, 1};
  auto check = [h](const unsigned char* b) {  // 0 from offset 9 on: out of range
    for (int off = 0; off < 10; ++off)
      EXPECT_EQ(GetWindowWord(h, off), off < 9 ? b[off] | b[off + 1] << 8 : 0) << off;
  };
  check(zero);
  EXPECT_TRUE(!SetWindowWord(h, 0, 0x1234) && !SetWindowLongA(h, 2, (LONG)0x89ABCDEF) &&
              !SetWindowWord(h, 6, 0x5678) && !SetWindowWord(h, 8, 1));  // each returns the old 0
  // Out of range: 0 and ERROR_INVALID_INDEX, nothing written.
  EXPECT_ERR(SetWindowWord(h, 9, 0xFFFF), ERROR_INVALID_INDEX);
  EXPECT_ERR(SetWindowLongA(h, 7, -1), ERROR_INVALID_INDEX);
  check(set);
  EXPECT_EQ(SetWindowLongPtrA(h, GWLP_USERDATA, 42), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 42);
  EXPECT_EQ((WNDPROC)GetWindowLongPtrA(h, GWLP_WNDPROC), lifecycle_proc);
  // It keeps the class registered until it is destroyed.
  EXPECT_ERR(UnregisterClassA("PtClassA", inst), ERROR_CLASS_HAS_WINDOWS);
  pt::seen.clear();
  ASSERT_TRUE(DestroyWindow(h));
  std::erase_if(pt::seen, [](UINT msg) { return msg != WM_DESTROY && msg != WM_NCDESTROY; });
  EXPECT_EQ(pt::seen, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_TRUE(g_alive_in_destroy);
  EXPECT_FALSE(DestroyWindow(h));  // (the error code differs between Win32 builds)
  EXPECT_ERR(GetWindowWord(h, 0), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(UnregisterClassA("PtClassA", inst));
  EXPECT_ERR(UnregisterClassA("PtClassA", inst), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_ERR(GetClassInfoA(inst, "PtClassA", &info), ERROR_CLASS_DOES_NOT_EXIST);
  for (int i = 0; i < 300; ++i) {
    HWND other = pt::make_window();
    ASSERT_TRUE(other != h && DestroyWindow(other) && !IsWindow(h)) << i;
  }
  HWND orphan = NULL;
  std::thread([&] { orphan = pt::make_window(); }).join();
  EXPECT_TRUE(orphan && !IsWindow(orphan) && !IsWindow(NULL));
}

}  // namespace
