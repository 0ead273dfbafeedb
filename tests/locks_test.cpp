// The port mutex against a child holding the port, and the callback table,
// in a process that has loaded the test flavour of the library.
#include "shared/locks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/cbtable.h"
#include "shared/config.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

DWORD WINAPI TryPort(LPVOID lpPort) {
  PerPortInfo* lpPPI = CheckPPI((BYTE)(ULONG_PTR)lpPort);
  CheckReleasePPI(lpPPI, (BYTE)(ULONG_PTR)lpPort);
  return lpPPI != nullptr;
}

// Whether another thread of this process gets the port within the time-out.
bool FreeForOthers(BYTE bPort) {
  HANDLE hThread = CreateThread(NULL, 0, TryPort, (LPVOID)(ULONG_PTR)bPort, 0, NULL);
  DWORD dwResult = 0;
  WaitForSingleObject(hThread, 30000);
  GetExitCodeThread(hThread, &dwResult);
  CloseHandle(hThread);
  return dwResult != 0;
}

TEST(PortMutex, CheckPPIGivesUpWhileAnotherProcessHoldsThePort) {
  NamedEvent ready("held"), go("release");
  Child holder;
  ASSERT_TRUE(holder.Start("ppi 1 " + ready.name + " " + go.name));
  ASSERT_TRUE(ready.WaitSet());
  gPPI_Mutex_Timeout = 100;
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(CheckPPI(1), nullptr);
  EXPECT_GE(GetTickCount() - dwStart, 60u);  // the tick is coarse under Wine

  SetEvent(go.handle);
  EXPECT_EQ(holder.Wait(), 0u);
  gPPI_Mutex_Timeout = 100;
  EXPECT_EQ(CheckPPI(1), &pPerPortInfo[1]);
  EXPECT_FALSE(FreeForOthers(1));
  CheckReleasePPI(&pPerPortInfo[1], 1);
  EXPECT_TRUE(FreeForOthers(1));
}

void CALLBACK FirstCallBack(DWORD, DWORD, DWORD, DWORD) {}
void CALLBACK SecondCallBack(DWORD, DWORD, DWORD, DWORD) {}

// Channel records keep a 32-bit key of the opening process's callback: one
// key per function while referenced, and a stale key never finds another
// function after its entry was reused.
TEST(CallBackTable, KeysFindTheirFunctionUntilTheLastReferenceIsDropped) {
  EXPECT_EQ(RegisterCallBack(NULL), 0u);
  EXPECT_EQ(LookupCallBack(0), nullptr);
  DWORD dwFirst = RegisterCallBack(FirstCallBack);
  DWORD dwSecond = RegisterCallBack(SecondCallBack);
  ASSERT_NE(dwFirst, 0u);
  ASSERT_NE(dwSecond, 0u);
  EXPECT_NE(dwFirst, dwSecond);
  EXPECT_EQ(RegisterCallBack(FirstCallBack), dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), FirstCallBack);
  EXPECT_EQ(LookupCallBack(dwSecond), SecondCallBack);
  ForgetCallBack(dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), FirstCallBack);
  ForgetCallBack(dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), nullptr);
  ForgetCallBack(dwFirst);  // once more: ignored
  EXPECT_EQ(LookupCallBack(dwSecond), SecondCallBack);
  DWORD dwAgain = RegisterCallBack(FirstCallBack);
  EXPECT_NE(dwAgain, dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), nullptr);
  ForgetCallBack(dwAgain);
  ForgetCallBack(dwSecond);
  EXPECT_EQ(LookupCallBack(dwSecond), nullptr);
}

}  // namespace
