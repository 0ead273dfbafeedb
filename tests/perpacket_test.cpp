// The per-packet paths: block locks within one hold of the port's mutex,
// and a poll that takes every packet waiting on the port.
#include <gtest/gtest.h>

#include <vector>

#include "emu_client_support.h"
#include "krzmlc15.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Whether the memory manager counts a lock on the block: a locked block
// cannot be freed, one that is not is freed by this look.
bool Counted(BYTE bPort, HMEMBLOCK hBlock) { return !memFreeBlock(PortMapMemInfo[bPort], hBlock); }

// Unlocks kept back within a hold reach the memory manager at the end of
// the outermost hold, before a free or a reallocation in the hold, and are
// dropped by a complete unlock, after which a lock is a real one again.
TEST(HeldBlocks, TheMemoryManagersCountsAgreeAfterAndWhereItMatters) {
  const BYTE bPort = 2;
  ObtainPPI(bPort);
  HMEMBLOCK hBlock = AllocMLCCheck(bPort, 64);
  ASSERT_NE(hBlock, 0u);
  BYTE* lpBlock = (BYTE*)LockMLCCheck(bPort, hBlock);
  UnlockMLCCheck(bPort, hBlock);
  EXPECT_EQ(LockMLCCheck(bPort, hBlock), lpBlock);
  UnlockMLCCheck(bPort, hBlock);
  ObtainPPI(bPort);
  ReleasePPI(bPort);
  ReleasePPI(bPort);
  EXPECT_FALSE(Counted(bPort, hBlock));  // freed: nothing was left counted

  ObtainPPI(bPort);
  hBlock = AllocMLCCheck(bPort, 64);
  LockMLCCheck(bPort, hBlock);
  UnlockMLCCheck(bPort, hBlock);
  FreeMLCCheck(bPort, hBlock);
  EXPECT_EQ(memLockBlock(PortMapMemInfo[bPort], hBlock), nullptr);  // freed in the hold

  hBlock = AllocMLCCheck(bPort, 64);
  HMEMBLOCK hOther = AllocMLCCheck(bPort, 64);  // keeps the block from growing in place
  LockMLCCheck(bPort, hBlock);
  UnlockMLCCheck(bPort, hBlock);
  ASSERT_EQ(ReAllocMLCCheck(bPort, hBlock, 0x10000), hBlock);
  BYTE* lpMoved = (BYTE*)memLockBlock(PortMapMemInfo[bPort], hBlock);
  EXPECT_EQ(LockMLCCheck(bPort, hBlock), lpMoved);
  UnlockMLCCheck(bPort, hBlock);
  memUnlockBlock(PortMapMemInfo[bPort], hBlock);

  LockMLCCheck(bPort, hBlock);
  UnlockMLCCheck(bPort, hBlock);
  UnlockAllMLCCheck(bPort, hBlock);
  LockMLCCheck(bPort, hBlock);
  EXPECT_TRUE(Counted(bPort, hBlock));
  ReleasePPI(bPort);
  EXPECT_TRUE(Counted(bPort, hBlock));
  UnlockAllMLCCheck(bPort, hBlock);
  EXPECT_FALSE(Counted(bPort, hBlock));
  EXPECT_FALSE(Counted(bPort, hOther));
}

class PollBatch : public EmuClientTest {
 protected:
  static void SetUpTestSuite() { UseSettings("MLC_INTER_PACKET_TIME_OUT=200\r\n"); }
};

// Packets waiting on the port are taken by one poll, as many as came.
TEST_F(PollBatch, OnePollTakesEveryPacketWaiting) {
  Start(ConfigWith({"4:source:bytes=3000"}));
  WORD hSource = 0;
  DWORD dwRing = 4096;
  ASSERT_EQ(MLCOpenChannel(0, 4, MLC_STREAM_CHANNEL, &dwRing, &hSource, NULL, 0, 0, NULL, NULL),
            MLC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return printer->Count("P>H DATA") == 3; }));
  EXPECT_EQ(MLCPollChannels2(FALSE, 0), 1);
  std::vector<BYTE> data(4096);
  EXPECT_EQ(MLCRead(hSource, data.data(), (int)data.size(), 0, 0), 3000);
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
}

}  // namespace
