// Threads, ids, the tick count and Sleep.
#include <gtest/gtest.h>

#include "helpers.h"

namespace {

DWORD WINAPI return_param(LPVOID p) { return (DWORD)(UINT_PTR)p; }

DWORD WINAPI wait_then_return(LPVOID p) {
  WaitForSingleObject((HANDLE)p, INFINITE);
  return 77;
}

DWORD WINAPI exit_early(LPVOID) {
  ExitThread(5);
  return 6;  // not reached
}

DWORD WINAPI report_tid(LPVOID p) {
  *(DWORD*)p = GetCurrentThreadId();
  return 0;
}

// Waits for the first event, then sets the second.
DWORD WINAPI relay(LPVOID p) {
  HANDLE* h = (HANDLE*)p;
  WaitForSingleObject(h[0], INFINITE);
  SetEvent(h[1]);
  return 0;
}

TEST(Thread, ExitCodeIsStillActiveThenTheReturnValue) {
  HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
  DWORD tid = 0;
  HANDLE t = CreateThread(NULL, 0, wait_then_return, go, 0, &tid);
  ASSERT_NE(t, (HANDLE)NULL);
  EXPECT_NE(tid, 0u);
  EXPECT_NE(tid, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(t, 50), (DWORD)WAIT_TIMEOUT);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 77u);
  CloseHandle(t);
  CloseHandle(go);
}

TEST(Thread, ParameterExitThreadAndIds) {
  HANDLE t = CreateThread(NULL, 0, return_param, (LPVOID)(UINT_PTR)1234, 0, NULL);
  HANDLE u = CreateThread(NULL, 0, exit_early, NULL, 0, NULL);
  DWORD seen = 0, reported = 0;
  HANDLE v = CreateThread(NULL, 0, report_tid, &seen, 0, &reported);
  HANDLE all[] = {t, u, v};
  for (HANDLE h : all) EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 1234u);
  GetExitCodeThread(u, &code);
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(seen, reported);
  for (HANDLE h : all) CloseHandle(h);
}

TEST(Thread, HandleClosedWhileRunningLetsItFinish) {
  HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE pair[] = {go, done};
  HANDLE t = CreateThread(NULL, 0, relay, pair, 0, NULL);
  ASSERT_TRUE(CloseHandle(t));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  CloseHandle(go);
  CloseHandle(done);
}

TEST(Time, TickCountAdvancesWithSleep) {
  DWORD a = GetTickCount();
  Sleep(100);
  DWORD b = GetTickCount();
  EXPECT_GE(b - a, 60u);  // the tick is coarse (16 ms on Windows, more under Wine)
  EXPECT_LT(b - a, 5000u);
}

}  // namespace
