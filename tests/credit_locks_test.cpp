// A block that does not lock is a failure with nothing changed: a stream
// read whose ring does not lock moves no position, and a message queue whose
// tail does not lock takes no message (the queue would lose its chain).
#include <gtest/gtest.h>

#include "channel/channel.h"
#include "data/message.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

class CreditLocks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"), "[KRZMLC15]\r\n");
    LoadIniValues();
  }
  // The blocks a previous link kept (table, sockets) go first: the channel
  // made by hand takes their places.
  void SetUp() override { StartAllOverAgain(0, FALSE); }
  void TearDown() override { StartAllOverAgain(0, FALSE); }
  // A handle that no longer names a block.
  static HMEMBLOCK FreedHandle() {
    HMEMBLOCK h = AllocMLCCheck(0, 16);
    FreeMLCCheck(0, h);
    return h;
  }
};

TEST_F(CreditLocks, AReadWhoseRingDoesNotLockMovesNothing) {
  MakeStreamChannel(2, 0, 64, 16, 10);
  auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
  HMEMBLOCK hRing = lpStream->hBuffer;
  lpStream->hBuffer = FreedHandle();
  UnlockChannelIdx(0, 0);
  char buffer[16];
  EXPECT_LT(MLCRead(0x0080, buffer, 10, FALSE, 0), 0);
  EXPECT_EQ((LONG)lpStream->lReadPos, 0);
  EXPECT_EQ((LONG)lpStream->wLength, 10);
  EXPECT_EQ((LONG)lpStream->wAvailBytes, 0);
  lpStream->hBuffer = hRing;
  EXPECT_EQ(MLCRead(0x0080, buffer, 10, FALSE, 0), 10);
}

TEST_F(CreditLocks, AQueueWhoseTailDoesNotLockTakesNoMessage) {
  MakeMessageChannel(2, 0, 16);
  auto* lpMsgChan = (MessageChannel*)LockChannelIdx(0, 0);
  HMEMBLOCK hGone = FreedHandle();
  lpMsgChan->bQueuedMsgs = 1;
  lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = hGone;
  DWORD dwBlocks = PortAreaBlocks();
  EXPECT_NE(QueueMessage(lpMsgChan, (const BYTE*)"abc", 3), MLC_SUCCESS);
  EXPECT_EQ((int)lpMsgChan->bQueuedMsgs, 1);
  EXPECT_EQ((HMEMBLOCK)lpMsgChan->hMsgQueueHead, hGone);
  EXPECT_EQ((HMEMBLOCK)lpMsgChan->hMsgQueueTail, hGone);
  EXPECT_EQ(PortAreaBlocks(), dwBlocks);
  lpMsgChan->bQueuedMsgs = 0;
  lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = 0;
  UnlockChannelIdx(0, 0);
}

}  // namespace
