// Port mutexes, the wrappers' lazy mapping and the index operations, in a
// process that has the library loaded (the test flavour, whose internals
// are reachable), against children where another process must hold a port.
#include "shared/locks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/chanrec.h"
#include "debug/cm_debug.h"
#include "shared/config.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

// Collects the lines the library logs while it lives.
class LogCapture {
 public:
  LogCapture() {
    saved_mask_ = wDbWin;
    saved_active_ = bLogActive;
    saved_output_ = pfnDebugOutput;
    wDbWin = DBG_NOMODULE | 0x3F;
    bLogActive = FALSE;
    lines_ = &lines;
    pfnDebugOutput = Collect;
  }
  ~LogCapture() {
    wDbWin = saved_mask_;
    bLogActive = saved_active_;
    pfnDebugOutput = saved_output_;
  }
  bool Has(const char* lpszLine) const {
    for (const auto& line : lines) {
      if (line == lpszLine) return true;
    }
    return false;
  }
  std::vector<std::string> lines;

 private:
  static void WINAPI Collect(LPCSTR lpszLine) { lines_->push_back(lpszLine); }
  static std::vector<std::string>* lines_;
  WORD saved_mask_;
  BOOL saved_active_;
  void(WINAPI* saved_output_)(LPCSTR);
};
std::vector<std::string>* LogCapture::lines_ = nullptr;

DWORD WINAPI TryPortFromOtherThread(LPVOID lpParam) {
  BYTE bPort = (BYTE)(ULONG_PTR)lpParam;
  PerPortInfo* lpPPI = CheckPPI(bPort);
  CheckReleasePPI(lpPPI, bPort);
  return lpPPI != nullptr;
}

bool PortFreeForOtherThreads(BYTE bPort) {
  HANDLE hThread = CreateThread(NULL, 0, TryPortFromOtherThread, (LPVOID)(ULONG_PTR)bPort, 0, NULL);
  WaitForSingleObject(hThread, 30000);
  DWORD dwResult = 0;
  GetExitCodeThread(hThread, &dwResult);
  CloseHandle(hThread);
  return dwResult != 0;
}

TEST(PortMutex, CheckPPIGivesUpWhileAnotherProcessHoldsThePort) {
  NamedEvent ready("ppi-held"), go("ppi-release");
  Child holder;
  ASSERT_TRUE(holder.Start("hold-ppi 1 " + ready.name() + " " + go.name()));
  ASSERT_TRUE(ready.WaitSet());

  gPPI_Mutex_Timeout = 100;
  DWORD dwStart = GetTickCount();
  PerPortInfo* lpPPI = CheckPPI(1);
  DWORD dwWaited = GetTickCount() - dwStart;
  EXPECT_EQ(lpPPI, nullptr);
  EXPECT_GE(dwWaited, 90u);
  CheckReleasePPI(lpPPI, 1);  // NULL: releases nothing

  go.Set();
  EXPECT_EQ(holder.Wait(), 0u);
  gPPI_Mutex_Timeout = 10000;
  lpPPI = CheckPPI(1);
  EXPECT_EQ(lpPPI, &pPerPortInfo[1]);
  CheckReleasePPI(lpPPI, 1);
  EXPECT_TRUE(PortFreeForOtherThreads(1));
  gPPI_Mutex_Timeout = 100;
}

TEST(PortMutex, AZeroTimeoutFailsAtOnceWhileAnotherThreadHoldsThePort) {
  NamedEvent ready("ppi-held"), go("ppi-release");
  Child holder;
  ASSERT_TRUE(holder.Start("hold-ppi 2 " + ready.name() + " " + go.name()));
  ASSERT_TRUE(ready.WaitSet());
  gPPI_Mutex_Timeout = 0;
  EXPECT_EQ(CheckPPI(2), nullptr);
  gPPI_Mutex_Timeout = 100;
  go.Set();
  EXPECT_EQ(holder.Wait(), 0u);
}

TEST(PortMutex, TheOwnerTakesItsPortAgainAndFreesItWithMatchingReleases) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  EXPECT_EQ(ObtainPPI(0), lpPPI);
  EXPECT_EQ(CheckPPI(0), lpPPI);
  EXPECT_FALSE(PortFreeForOtherThreads(0));
  ReleasePPI(0);
  ReleasePPI(0);
  EXPECT_FALSE(PortFreeForOtherThreads(0));
  ReleasePPI(0);
  EXPECT_TRUE(PortFreeForOtherThreads(0));
}

TEST(PortArea, WrappersMapLazilyAndLogEveryMisuse) {
  // This process has not touched LPT3 in any other test.
  ASSERT_EQ(PortMapMemInfo[2], 0u);
  LogCapture log;

  UnlockMLCCheck(2, 5);
  UnlockAllMLCCheck(2, 5);
  FreeMLCCheck(2, 5);
  EXPECT_EQ(PortMapMemInfo[2], 0u) << "freeing and unlocking never map";
  EXPECT_TRUE(log.Has("UMLC: PortMapMemInfo for port is NULL\n"));
  EXPECT_TRUE(log.Has("UAMLC: PortMapMemInfo for port is NULL\n"));
  EXPECT_TRUE(log.Has("FMC: PortMapMemInfo for port is NULL\n"));

  EXPECT_EQ(LockMLCCheck(2, 0), nullptr);
  EXPECT_TRUE(log.Has("LMLC: Attempt to lock NULL handle!\n"));
  EXPECT_EQ(PortMapMemInfo[2], 0u);

  HMEMBLOCK hBlock = AllocMLCCheck(2, 32);
  EXPECT_TRUE(log.Has("AMC: PortMapMemInfo for port is NULL\n"));
  ASSERT_NE(PortMapMemInfo[2], 0u);
  ASSERT_NE(hBlock, 0u);
  char szExpected[128];
  wsprintfA(szExpected, "CreateMLCMMA: , fInit 1 MMI: 0x%X, map mem area %s\n", PortMapMemInfo[2],
            "KRZMLC15_SHARED_PORT_LPT3\n");
  EXPECT_TRUE(log.Has(szExpected)) << szExpected;

  UnlockMLCCheck(2, 0);
  UnlockAllMLCCheck(2, 0);
  FreeMLCCheck(2, 0);
  EXPECT_TRUE(log.Has("UMLC: Attempt to unlock NULL handle!\n"));
  EXPECT_TRUE(log.Has("UAMLC: Attempt to unlock NULL handle!\n"));
  EXPECT_TRUE(log.Has("FMC: Attempt to free NULL pointer!\n"));

  // A block made by another process in the same port area is reached by
  // its handle here.
  BYTE* lpBlock = (BYTE*)LockMLCCheck(2, hBlock);
  ASSERT_NE(lpBlock, nullptr);
  lpBlock[0] = 0x5A;
  UnlockMLCCheck(2, hBlock);
  FreeMLCCheck(2, hBlock);
  FreeMLCCheck(2, hBlock);
  EXPECT_TRUE(log.Has("FMC: memFreeBlock() failed\n"));
}

// A port with a channel table of three slots: a stream channel with a ring
// buffer, an empty slot, and a message channel with two receive slots and
// three queued messages.
class ChannelIndex : public ::testing::Test {
 protected:
  static constexpr BYTE kPort = 1;
  void SetUp() override {
    PerPortInfo* lpPPI = ObtainPPI(kPort);
    hStream = AllocMLCCheck(kPort, sizeof(StreamChannel));
    hRing = AllocMLCCheck(kPort, 256);
    auto* lpStream = (StreamChannel*)LockMLCCheck(kPort, hStream);
    lpStream->bType = MLC_STREAM_CHANNEL;
    lpStream->bHsid = 0x80;
    lpStream->hBuffer = hRing;
    UnlockMLCCheck(kPort, hStream);

    hMessage = AllocMLCCheck(kPort, sizeof(MessageChannel));
    auto* lpMessage = (MessageChannel*)LockMLCCheck(kPort, hMessage);
    lpMessage->bType = MLC_PACKET_CHANNEL;
    lpMessage->bHsid = 0x82;
    for (auto& hSlot : hSlots) hSlot = AllocMLCCheck(kPort, 64);
    lpMessage->hSlot[0] = hSlots[0];
    lpMessage->hSlot[1] = hSlots[1];
    HMEMBLOCK hNext = 0;
    for (int i = 2; i >= 0; --i) {
      hQueued[i] = AllocMLCCheck(kPort, sizeof(QueuedMessage) + 8);
      auto* lpQueued = (QueuedMessage*)LockMLCCheck(kPort, hQueued[i]);
      lpQueued->wMsgLength = 8;
      lpQueued->hNext = hNext;
      UnlockMLCCheck(kPort, hQueued[i]);
      hNext = hQueued[i];
    }
    lpMessage->hMsgQueueHead = hQueued[0];
    lpMessage->hMsgQueueTail = hQueued[2];
    lpMessage->bQueuedMsgs = 3;
    UnlockMLCCheck(kPort, hMessage);

    hTable = AllocMLCCheck(kPort, 3 * sizeof(HMEMBLOCK));
    auto* lpTable = (HMEMBLOCK*)LockMLCCheck(kPort, hTable);
    lpTable[0] = hStream;
    lpTable[2] = hMessage;
    UnlockMLCCheck(kPort, hTable);
    lpPPI->hChanPtrArray = hTable;
    lpPPI->bChannelsAllocated = 3;
    lpPPI->bChannelsUsed = 2;
    hSockets = AllocMLCCheck(kPort, 4 * SOCKET_INFO_SIZE);
    lpPPI->hSocketInfoArray = hSockets;
    lpPPI->bSocketInfoCount = 4;
    ReleasePPI(kPort);
  }

  void TearDown() override {
    PerPortInfo* lpPPI = ObtainPPI(kPort);
    // Every block frees only when no lock is left on it: this also checks
    // that the operations under test left nothing locked.
    for (HMEMBLOCK hBlock : {hTable, hStream, hRing, hMessage, hSlots[0], hSlots[1], hQueued[0],
                             hQueued[1], hQueued[2], hSockets}) {
      EXPECT_TRUE(memFreeBlock(PortMapMemInfo[kPort], hBlock)) << "still locked: " << hBlock;
    }
    lpPPI->hChanPtrArray = 0;
    lpPPI->hSocketInfoArray = 0;
    lpPPI->bChannelsAllocated = lpPPI->bChannelsUsed = lpPPI->bSocketInfoCount = 0;
    ReleasePPI(kPort);
    EXPECT_TRUE(PortFreeForOtherThreads(kPort));
  }

  // The memory manager refuses to free a block that carries a lock.
  static bool Locked(HMEMBLOCK hBlock) { return !memFreeBlock(PortMapMemInfo[kPort], hBlock); }

  HMEMBLOCK hTable = 0, hStream = 0, hRing = 0, hMessage = 0, hSockets = 0;
  HMEMBLOCK hSlots[2] = {0, 0};
  HMEMBLOCK hQueued[3] = {0, 0, 0};
};

TEST_F(ChannelIndex, TypeAndValidityBySlot) {
  EXPECT_EQ(GetTypeIdx(kPort, 0), MLC_STREAM_CHANNEL);
  EXPECT_EQ(GetTypeIdx(kPort, 1), 0);
  EXPECT_EQ(GetTypeIdx(kPort, 2), MLC_PACKET_CHANNEL);
  EXPECT_TRUE(ValidChannelIdx(kPort, 0));
  EXPECT_FALSE(ValidChannelIdx(kPort, 1));
  EXPECT_TRUE(ValidChannelIdx(kPort, 2));
  EXPECT_EQ(GetTypeIdx(0, 0), 0) << "a port without a channel table";
  EXPECT_FALSE(ValidChannelIdx(0, 0));
  EXPECT_EQ(LockChannelIdx(0, 0), nullptr);
}

TEST_F(ChannelIndex, RecordsStayLockedUntilUnlockedWhileTheOwnerHoldsThePort) {
  ObtainPPI(kPort);  // the index operations take it again without blocking
  auto* lpStream = (StreamChannel*)LockChannelIdx(kPort, 0);
  ASSERT_NE(lpStream, nullptr);
  EXPECT_EQ(lpStream->bHsid, 0x80);
  auto* lpMessage = (MessageChannel*)LockChannelIdx(kPort, 2);
  ASSERT_NE(lpMessage, nullptr);
  EXPECT_EQ(lpMessage->bHsid, 0x82);
  EXPECT_TRUE(Locked(hStream));
  EXPECT_TRUE(Locked(hMessage));
  UnlockChannelIdx(kPort, 0);
  UnlockChannelIdx(kPort, 2);
  ReleasePPI(kPort);
}

TEST_F(ChannelIndex, UnlockAllClearsTheRecordItsBuffersAndItsQueue) {
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(LockChannelIdx(kPort, 2), nullptr);
    ASSERT_NE(LockChannelIdx(kPort, 0), nullptr);
  }
  for (HMEMBLOCK hBlock : {hRing, hSlots[0], hSlots[1], hQueued[0], hQueued[1], hQueued[2]}) {
    ASSERT_NE(LockMLCCheck(kPort, hBlock), nullptr);
    ASSERT_NE(LockMLCCheck(kPort, hBlock), nullptr);
  }
  UnlockAllLocksChannelIdx(kPort, 2);
  UnlockAllLocksChannelIdx(kPort, 0);
  UnlockAllLocksChannelIdx(kPort, 1);  // empty slot: nothing to do
  // TearDown frees every block, which fails for any block still locked.
}

TEST_F(ChannelIndex, SocketEntriesAreEightBytesApart) {
  auto* lpBase = (BYTE*)LockMLCCheck(kPort, hSockets);
  ASSERT_NE(lpBase, nullptr);
  EXPECT_EQ((BYTE*)LockSocketIdx(kPort, 2), lpBase + 16);
  UnlockSocketIdx(kPort, 2);
  EXPECT_EQ((BYTE*)LockSocketIdx(kPort, 0), lpBase);
  UnlockSocketIdx(kPort, 0);
  UnlockMLCCheck(kPort, hSockets);
}

}  // namespace
