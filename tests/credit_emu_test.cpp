// The receive-credit books (checked after every test) under the legal ways a
// printer handles credit, and blocks that do not lock.

#include <algorithm>

#include "data/message.h"
#include "data_traffic.h"
#include "emu_client_support.h"
#include "link/link.h"
#include "shared/sharedmem.h"

namespace {

class CreditTest : public SceneTest {
 protected:
  void Start(std::initializer_list<const char*> services, bool fDataOnCredit, bool fEmptyCredit) {
    emu::EmuConfig cfg = ConfigWith(services);
    cfg.data_on_credit = fDataOnCredit, cfg.empty_credit = fEmptyCredit;
    SceneTest::Start(cfg);
  }
};

TEST_F(CreditTest, DataSentOnAFreshGrantBeforeItsReplyIsStored) {
  // A ring of one packet: the data on every grant goes out before its reply.
  Start({"4:source:bytes=100000"}, true, false);
  WORD hSource = Open(4, 4096);
  std::vector<BYTE> buffer(70000);
  int cbRead = 0, iWrong = 0, iCall = 0;
  EXPECT_TRUE(Eventually([&] {
    int iRead = ++iCall % 2 ? MLCRead(hSource, buffer.data(), 3000, FALSE, 0)
                            : MLCRead64(hSource, buffer.data(), 70000, FALSE, 0);
    for (int i = 0; i < iRead; ++i) iWrong += buffer[i] != (BYTE)(cbRead + i);
    cbRead += std::max(iRead, 0), MLCPollChannels2(FALSE, 0);
    return iRead < 0 || cbRead >= 100000;
  }));
  EXPECT_EQ(cbRead + iWrong, 100000);
  EXPECT_GT(printer->Count("H>P MLC_CREDIT "), 5u);
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
}

TEST_F(CreditTest, CreditInEmptyPacketsReachesPrintAndMessageChannels) {
  Start({"2:sink:credit=2,drain=200000", "3:echo:credit=3", "6:msgecho:credit=1"}, false, true);
  WORD hSink = Open(2, 0), hEcho = Open(3, 9000), hMsg = Open(6, 0, MLC_PACKET_CHANNEL);
  // A print channel has no ring: the empty packets carry its only credit.
  std::vector<BYTE> job(60000, 0x5A);
  EXPECT_EQ(MLCWrite(hSink, job.data(), (int)job.size(), TRUE, 20000), (int)job.size());
  // One slot: each grant comes in an empty message, the next message goes.
  for (char c = 'a'; c < 'm'; ++c) ASSERT_EQ(MLCWrite(hMsg, &c, 1, FALSE, 0), 1);
  char buffer[32];
  for (char c = 'a'; c < 'm'; ++c) {
    ASSERT_EQ(MLCRead(hMsg, buffer, sizeof buffer, TRUE, 5000), 1) << c;
    EXPECT_EQ(buffer[0], c);
    EXPECT_EQ(Books(), "");
  }
  // A ring books every empty packet as a spent grant.
  EXPECT_EQ(EchoTraffic({hEcho}, 200000, 5, 60000), "");
  for (WORD h : {hSink, hEcho, hMsg}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(CreditTest, TheDirectReaderAppliesCreditInOtherChannelsEmptyPackets) {
  Start({"4:source:bytes=0", "2:sink:credit=1,drain=500"}, false, true);
  WORD hSource = Open(4, 8192), hSink = Open(2, 0);  // the source in slot 0
  // The next credit comes in an empty packet, and only the direct reader
  // reads the port (a write or a query would poll).
  std::vector<BYTE> buffer(8192);
  ASSERT_EQ(MLCWrite(hSink, buffer.data(), 100, FALSE, 0), 100);
  EXPECT_TRUE(Eventually([&] {
    DWORD dwLength = (DWORD)buffer.size();
    int iResult = RetrieveData(0, buffer.data(), &dwLength);
    EXPECT_TRUE(iResult == MLC_PACKET_SUCCESSFUL || iResult == MLC_NO_DATA) << iResult;
    return Stream(hSink).wHostHtoPCredits > 0;
  }));
  for (WORD h : {hSink, hSource}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(CreditTest, ARefusedCloseKeepsTheSpaceOfDataStoredDuringIt) {
  Start({"3:echo"}, false, false);
  WORD hEcho = Open(3, 8192);
  AddFault("result=close");
  // The close's reply wait stores the echo; the channel stays usable.
  ASSERT_EQ(MLCWrite(hEcho, "0123456789", 10, FALSE, 0), 10);
  ASSERT_TRUE(Eventually([&] { return printer->Count("P>H DATA") > 0; }, 5000));
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_CLOSE_FAILED);
  EXPECT_EQ(Books(), "");
  char buffer[16];
  EXPECT_EQ(MLCRead(hEcho, buffer, sizeof buffer, FALSE, 0), 10);
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
}

// A read moves no ring position and a queue takes no message (losing its
// chain) when a block does not lock. Channels made by hand, on a clean port.
TEST_F(CreditTest, ABlockThatDoesNotLockFailsTheCallWithNothingChanged) {
  auto freed = [] {
    HMEMBLOCK h = AllocMLCCheck(0, 16);
    return FreeMLCCheck(0, h), h;
  };
  StartAllOverAgain(0, FALSE);
  MakeStreamChannel(2, 0, 64, 16, 10);
  auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
  HMEMBLOCK hRing = lpStream->hBuffer;
  lpStream->hBuffer = freed();
  UnlockChannelIdx(0, 0);
  char buffer[16];
  EXPECT_LT(MLCRead(0x0080, buffer, 10, FALSE, 0), 0);
  EXPECT_EQ((std::vector<LONG>{lpStream->lReadPos, lpStream->wLength, lpStream->wAvailBytes}),
            (std::vector<LONG>{0, 10, 0}));
  lpStream->hBuffer = hRing;
  EXPECT_EQ(MLCRead(0x0080, buffer, 10, FALSE, 0), 10);
  StartAllOverAgain(0, FALSE);
  MakeMessageChannel(2, 0, 16);
  auto* lpMsgChan = (MessageChannel*)LockChannelIdx(0, 0);
  HMEMBLOCK hGone = freed();
  lpMsgChan->bQueuedMsgs = 1;
  lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = hGone;
  DWORD dwBlocks = PortAreaBlocks();
  EXPECT_NE(QueueMessage(lpMsgChan, (const BYTE*)"abc", 3), MLC_SUCCESS);
  EXPECT_EQ((int)lpMsgChan->bQueuedMsgs, 1);
  EXPECT_EQ((HMEMBLOCK)lpMsgChan->hMsgQueueTail, hGone);
  EXPECT_EQ(PortAreaBlocks(), dwBlocks);
  lpMsgChan->bQueuedMsgs = 0;
  lpMsgChan->hMsgQueueHead = lpMsgChan->hMsgQueueTail = 0;
  UnlockChannelIdx(0, 0);
  StartAllOverAgain(0, FALSE);
}

}  // namespace
