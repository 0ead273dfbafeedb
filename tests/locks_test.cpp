// The port mutex against a child holding the port, block locks kept back
// within a hold of it, the callback table, and the settings, in a process
// that has loaded the test flavour of the library.
#include "shared/locks.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <thread>

#include "notify/cbtable.h"
#include "shared/config.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

// Whether another thread of this process gets the port within the time-out.
bool FreeForOthers(BYTE bPort) {
  PerPortInfo* lpPPI = nullptr;
  std::thread([&] { CheckReleasePPI(lpPPI = CheckPPI(bPort), bPort); }).join();
  return lpPPI != nullptr;
}

TEST(PortMutex, CheckPPIGivesUpWhileAnotherProcessHoldsThePort) {
  NamedEvent ready("held"), go("release");
  Child holder;
  ASSERT_TRUE(holder.Start("ppi 1 " + ready.name + " " + go.name));
  ASSERT_TRUE(ready.WaitSet());
  gPPI_Mutex_Timeout = 100;
  EXPECT_EQ(CheckPPI(1), nullptr);
  SetEvent(go.handle);
  EXPECT_EQ(holder.Wait(), 0u);
  EXPECT_EQ(CheckPPI(1), &pPerPortInfo[1]);
  EXPECT_FALSE(FreeForOthers(1));
  CheckReleasePPI(&pPerPortInfo[1], 1);
  EXPECT_TRUE(FreeForOthers(1));
}

// Whether the memory manager counts a lock on the block: a locked block
// cannot be freed, one that is not is freed by this look.
bool Counted(HMEMBLOCK hBlock) { return !memFreeBlock(PortMapMemInfo[2], hBlock); }

// Unlocks kept back within a hold reach the memory manager at the end of
// the outermost hold, before a free or a reallocation in the hold, and are
// dropped by a complete unlock, after which a lock is a real one again.
TEST(HeldBlocks, TheMemoryManagersCountsAgreeAfterAndWhereItMatters) {
  ObtainPPI(2);
  HMEMBLOCK hBlock = AllocMLCCheck(2, 64);
  BYTE* lpBlock = (BYTE*)LockMLCCheck(2, hBlock);
  UnlockMLCCheck(2, hBlock);
  EXPECT_EQ(LockMLCCheck(2, hBlock), lpBlock);
  UnlockMLCCheck(2, hBlock);
  ObtainPPI(2);
  ReleasePPI(2);
  ReleasePPI(2);
  EXPECT_FALSE(Counted(hBlock));  // freed: nothing was left counted
  ObtainPPI(2);
  hBlock = AllocMLCCheck(2, 64);
  LockMLCCheck(2, hBlock);
  UnlockMLCCheck(2, hBlock);
  FreeMLCCheck(2, hBlock);
  EXPECT_EQ(memLockBlock(PortMapMemInfo[2], hBlock), nullptr);  // freed in the hold
  hBlock = AllocMLCCheck(2, 64);
  HMEMBLOCK hOther = AllocMLCCheck(2, 64);  // keeps the block from growing in place
  LockMLCCheck(2, hBlock);
  UnlockMLCCheck(2, hBlock);
  ASSERT_EQ(ReAllocMLCCheck(2, hBlock, 0x10000), hBlock);
  BYTE* lpMoved = (BYTE*)memLockBlock(PortMapMemInfo[2], hBlock);
  EXPECT_EQ(LockMLCCheck(2, hBlock), lpMoved);
  UnlockMLCCheck(2, hBlock);
  memUnlockBlock(PortMapMemInfo[2], hBlock);
  LockMLCCheck(2, hBlock);
  UnlockMLCCheck(2, hBlock);
  UnlockAllMLCCheck(2, hBlock);
  LockMLCCheck(2, hBlock);
  EXPECT_TRUE(Counted(hBlock));
  ReleasePPI(2);
  EXPECT_TRUE(Counted(hBlock));
  UnlockAllMLCCheck(2, hBlock);
  EXPECT_FALSE(Counted(hBlock));
  EXPECT_FALSE(Counted(hOther));
}

void CALLBACK FirstCallBack(DWORD, DWORD, DWORD, DWORD) {}
void CALLBACK SecondCallBack(DWORD, DWORD, DWORD, DWORD) {}

// Channel records keep a 32-bit key of the opening process's callback: one
// key per function while referenced, and a stale key never finds another
// function after its entry was reused.
TEST(CallBackTable, KeysFindTheirFunctionUntilTheLastReferenceIsDropped) {
  EXPECT_EQ(RegisterCallBack(NULL), 0u);
  DWORD dwFirst = RegisterCallBack(FirstCallBack), dwSecond = RegisterCallBack(SecondCallBack);
  ASSERT_TRUE(dwFirst && dwSecond && dwFirst != dwSecond);
  EXPECT_EQ(RegisterCallBack(FirstCallBack), dwFirst);
  ForgetCallBack(dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), FirstCallBack);
  ForgetCallBack(dwFirst);
  ForgetCallBack(dwFirst);  // once more: ignored
  EXPECT_EQ(LookupCallBack(dwFirst), nullptr);
  EXPECT_EQ(LookupCallBack(dwSecond), SecondCallBack);
  DWORD dwAgain = RegisterCallBack(FirstCallBack);
  EXPECT_NE(dwAgain, dwFirst);
  EXPECT_EQ(LookupCallBack(dwFirst), nullptr);
  ForgetCallBack(dwAgain);
  ForgetCallBack(dwSecond);
  EXPECT_EQ(LookupCallBack(dwSecond), nullptr);
}

TEST(Settings, ValuesAreReadFromTheirSectionAsWritten) {
  std::string ini = WindowsDirFile("KRZTBX15.INI");
  WriteTextFile(ini,
                "[KRZMLC15]\r\nMLC_FORCE_POLL=2\r\nMLC_INTER_PACKET_TIME_OUT=150abc\r\n"
                "TO_HOST_PACKET_SIZE=2048\r\nHELPER_SETUP_TIMEOUT=300\r\n"
                "[Other]\r\nPingInterval=99\r\n");
  LoadIniValues();
  EXPECT_EQ(gMlc_Force_Poll, 2);  // stored as read; only 1 makes writes poll
  EXPECT_EQ(gMLC_Inter_Packet_Time_Out, 150);
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 2048);
  EXPECT_EQ(gHelper_Setup_Timeout, 300);
  EXPECT_EQ(gPingInterval, 15) << "a key of another section";
  remove(ini.c_str());
  LoadIniValues();
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 1024);  // the default without the file
}

}  // namespace
