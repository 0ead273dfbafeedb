// Port mutexes, lazy mapping and the index operations, in a process that has
// loaded the test flavour of the library, against children holding ports.
#include "shared/locks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/chanrec.h"
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

TEST(PortArea, FreeAndUnlockNeverMapAllocAndLockDo) {
  ASSERT_EQ(PortMapMemInfo[2], 0u) << "no other test touches LPT3";
  UnlockMLCCheck(2, 5);
  UnlockAllMLCCheck(2, 5);
  FreeMLCCheck(2, 5);
  EXPECT_EQ(LockMLCCheck(2, 0), nullptr);
  EXPECT_EQ(PortMapMemInfo[2], 0u);
  HMEMBLOCK hBlock = AllocMLCCheck(2, 32);
  ASSERT_NE(PortMapMemInfo[2], 0u);
  EXPECT_NE(LockMLCCheck(2, hBlock), nullptr);
  UnlockMLCCheck(2, hBlock);
  FreeMLCCheck(2, hBlock);
}

// LPT2 with a channel table of three slots: a stream channel with a ring
// buffer, an empty slot, a message channel with two receive slots and three
// queued messages, and a socket array.
TEST(ChannelIndex, LockAndUnlockByIndex) {
  const BYTE bPort = 1;
  auto alloc = [](DWORD dwSize) { return AllocMLCCheck(bPort, dwSize); };
  auto lock = [](HMEMBLOCK hBlock) { return (BYTE*)LockMLCCheck(bPort, hBlock); };
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  HMEMBLOCK hStream = alloc(sizeof(StreamChannel)), hRing = alloc(256);
  HMEMBLOCK hMessage = alloc(sizeof(MessageChannel)), hSlots[2] = {alloc(64), alloc(64)};
  HMEMBLOCK hQueue[3] = {alloc(16), alloc(16), alloc(16)};
  HMEMBLOCK hTable = alloc(3 * sizeof(HMEMBLOCK)), hSockets = alloc(4 * SOCKET_INFO_SIZE);
  auto* lpStream = (StreamChannel*)lock(hStream);
  lpStream->bType = MLC_STREAM_CHANNEL;
  lpStream->hBuffer = hRing;
  auto* lpMessage = (MessageChannel*)lock(hMessage);
  lpMessage->bType = MLC_PACKET_CHANNEL;
  lpMessage->bHsid = 0x82;
  lpMessage->hSlot[0] = hSlots[0];
  lpMessage->hSlot[1] = hSlots[1];
  lpMessage->hMsgQueueHead = hQueue[0];
  ((QueuedMessage*)lock(hQueue[0]))->hNext = hQueue[1];
  ((QueuedMessage*)lock(hQueue[1]))->hNext = hQueue[2];
  auto* lpTable = (HMEMBLOCK*)lock(hTable);
  lpTable[0] = hStream;
  lpTable[2] = hMessage;
  for (HMEMBLOCK hBlock : {hTable, hMessage, hStream, hQueue[0], hQueue[1]}) {
    UnlockMLCCheck(bPort, hBlock);
  }
  lpPPI->hChanPtrArray = hTable;
  lpPPI->bChannelsAllocated = 3;
  lpPPI->hSocketInfoArray = hSockets;
  lpPPI->bSocketInfoCount = 4;

  // The owner of the port's mutex uses them without blocking.
  EXPECT_EQ(GetTypeIdx(bPort, 0), MLC_STREAM_CHANNEL);
  EXPECT_EQ(GetTypeIdx(bPort, 1), 0);
  EXPECT_EQ(GetTypeIdx(bPort, 2), MLC_PACKET_CHANNEL);
  EXPECT_TRUE(ValidChannelIdx(bPort, 0));
  EXPECT_FALSE(ValidChannelIdx(bPort, 1));
  EXPECT_EQ(((MessageChannel*)LockChannelIdx(bPort, 2))->bHsid, 0x82);
  UnlockChannelIdx(bPort, 2);
  EXPECT_EQ(LockSocketIdx(bPort, 2), lock(hSockets) + 16);
  UnlockSocketIdx(bPort, 2);
  UnlockMLCCheck(bPort, hSockets);
  ReleasePPI(bPort);
  EXPECT_TRUE(FreeForOthers(bPort));
  EXPECT_EQ(GetTypeIdx(0, 0), 0) << "LPT1 has no channel table";

  // Locks left on a record, its buffers and its queue are all removed.
  for (HMEMBLOCK hBlock : {hRing, hSlots[0], hSlots[1], hQueue[0], hQueue[1], hQueue[2]}) {
    lock(hBlock);
    lock(hBlock);
  }
  LockChannelIdx(bPort, 0);
  LockChannelIdx(bPort, 2);
  LockChannelIdx(bPort, 2);
  EXPECT_FALSE(memFreeBlock(PortMapMemInfo[bPort], hMessage)) << "a locked block is not freed";
  UnlockAllLocksChannelIdx(bPort, 0);
  UnlockAllLocksChannelIdx(bPort, 1);
  UnlockAllLocksChannelIdx(bPort, 2);
  // Every block is unlocked now, the table and socket array included.
  for (HMEMBLOCK hBlock : {hTable, hStream, hRing, hMessage, hSlots[0], hSlots[1], hQueue[0],
                           hQueue[1], hQueue[2], hSockets}) {
    EXPECT_TRUE(memFreeBlock(PortMapMemInfo[bPort], hBlock)) << hBlock;
  }
  lpPPI->hChanPtrArray = lpPPI->hSocketInfoArray = 0;
  lpPPI->bChannelsAllocated = lpPPI->bSocketInfoCount = 0;
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
