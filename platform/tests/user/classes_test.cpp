// Window classes: registration per module instance, duplicates, lookup,
// unregistration, and windows of unknown classes.
#include <gtest/gtest.h>

#include "user_test.h"

using namespace usertest;

TEST(UserClass, RegisterLookUpAndUnregister) {
  WNDCLASSA wc{CS_GLOBALCLASS, record_proc, 0,    10,   instance(),
               NULL,           NULL,        NULL, NULL, "UserTestClassA"};
  ATOM atom = RegisterClassA(&wc);
  ASSERT_NE(atom, 0);
  wc.lpszClassName = "usertestclassa";  // names compare case-insensitively
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(instance(), "USERTESTCLASSA", &info));
  EXPECT_EQ(info.lpfnWndProc, record_proc);
  EXPECT_EQ(info.cbWndExtra, 10);

  // A window of the class (made through the atom) keeps it registered.
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
  SetLastError(0);
  EXPECT_EQ(CreateWindowExA(0, "UserTestClassA", "", 0, 0, 0, 0, 0, NULL, NULL, instance(), NULL),
            (HWND)NULL);
  // Windows reports ERROR_CANNOT_FIND_WND_CLASS, Wine ERROR_CLASS_DOES_NOT_EXIST.
  DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_CANNOT_FIND_WND_CLASS || error == ERROR_CLASS_DOES_NOT_EXIST) << error;

  wc.style = 0;  // the name is free again, also for a local class
  EXPECT_NE(RegisterClassA(&wc), 0);
  EXPECT_TRUE(UnregisterClassA("UserTestClassA", instance()));
}
