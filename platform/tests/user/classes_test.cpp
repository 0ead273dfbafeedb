// Window classes: registration per module instance, duplicates, lookup and
// unregistration.
#include <gtest/gtest.h>

#include "user_test.h"

using namespace usertest;

namespace {

WNDCLASSA class_of(const char* name, UINT style, int extra) {
  WNDCLASSA wc{};
  wc.style = style;
  wc.lpfnWndProc = record_proc;
  wc.cbWndExtra = extra;
  wc.hInstance = instance();
  wc.lpszClassName = name;
  return wc;
}

}  // namespace

TEST(UserClass, RegisterLookUpAndUnregister) {
  WNDCLASSA wc = class_of("UserTestClassA", CS_GLOBALCLASS, 10);
  ATOM atom = RegisterClassA(&wc);
  ASSERT_NE(atom, 0);

  // Names compare case-insensitively; a second registration fails.
  WNDCLASSA again = class_of("usertestclassa", CS_GLOBALCLASS, 4);
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&again), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(instance(), "USERTESTCLASSA", &info));
  EXPECT_EQ(info.lpfnWndProc, record_proc);
  EXPECT_EQ(info.cbWndExtra, 10);
  EXPECT_EQ(info.style & CS_GLOBALCLASS, (UINT)CS_GLOBALCLASS);

  // A window of the class, created through the class atom, keeps the
  // class registered.
  HWND h = CreateWindowExA(0, MAKEINTATOM(atom), "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                           instance(), NULL);
  ASSERT_NE(h, (HWND)NULL);
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA("UserTestClassA", instance()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_HAS_WINDOWS);
  ASSERT_TRUE(DestroyWindow(h));

  EXPECT_TRUE(UnregisterClassA("UserTestClassA", instance()));
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA("UserTestClassA", instance()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_DOES_NOT_EXIST);
  SetLastError(0);
  EXPECT_FALSE(GetClassInfoA(instance(), "UserTestClassA", &info));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_DOES_NOT_EXIST);

  // Once gone, the name can be registered again.
  WNDCLASSA local = class_of("UserTestClassA", 0, 0);
  EXPECT_NE(RegisterClassA(&local), 0);
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&local), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
  EXPECT_TRUE(UnregisterClassA("UserTestClassA", instance()));
}

TEST(UserClass, UnknownClassCreatesNoWindow) {
  SetLastError(0);
  HWND h = CreateWindowExA(0, "UserTestNoSuchClass", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL,
                           NULL, instance(), NULL);
  EXPECT_EQ(h, (HWND)NULL);
  // Windows reports ERROR_CANNOT_FIND_WND_CLASS, Wine ERROR_CLASS_DOES_NOT_EXIST.
  DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_CANNOT_FIND_WND_CLASS || error == ERROR_CLASS_DOES_NOT_EXIST) << error;
}
