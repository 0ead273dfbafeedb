// Stream and message data against the emulator: blocking calls that poll
// for themselves, several client processes on one link, the poll's
// statistics and the helper's timer, and messages with their boundaries,
// their send queue and the host's grant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "scene_support.h"
#include "shared/config.h"

namespace {

class DataTest : public SceneTest {
 protected:
  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "MLC_INTER_PACKET_TIME_OUT=200\r\nCreditTimeout=1500\r\nMIN_POLL_INTERVAL=111\r\n"
        "MAX_POLL_INTERVAL=999\r\n");
  }
  // The timer requests posted to the helper since the last call.
  static std::vector<std::pair<WPARAM, LPARAM>> TimerRequests() {
    std::vector<std::pair<WPARAM, LPARAM>> requests;
    for (const MSG& m : TakeMessages(hHelper_))
      if (m.message == HIDDEN_POLL_TIMER) requests.emplace_back(m.wParam, m.lParam);
    return requests;
  }
};

TEST_F(DataTest, BlockingCallsPollThemselvesAndLengthsAreChecked) {
  Start(ConfigWith(
      {"2:sink:drain=40000,credit=2", "5:sink:drain=0,credit=2", "4:source:bytes=5000"}));
  WORD hSink = Open(2, 0), hStuck = Open(5, 0), hSource = Open(4, 4096);
  ASSERT_TRUE(hSink && hStuck && hSource);
  std::vector<BYTE> job(66000, 0x5A);
  // Every byte goes out, the writer asking for the slow sink's credit.
  EXPECT_EQ(MLCWrite(hSink, job.data(), 60000, TRUE, 20000), 60000);
  EXPECT_GT(printer->Count("H>P MLC_CREDIT_REQUEST "), 0u);
  // A query reports what may be written now, never more than 32767; beyond
  // one call's reach is a short write, not a write of the low 16 bits.
  int iSpace = MLCWrite(hStuck, NULL, 0, FALSE, 0);
  EXPECT_TRUE(iSpace > 0 && iSpace <= 0x7FFF) << iSpace;
  EXPECT_GT(MLCWrite(hStuck, job.data(), 65536, FALSE, 0), 0);
  EXPECT_EQ(MLCWrite(hStuck, job.data(), 100, TRUE, 1000), MLC_TIME_OUT);  // never drains
  EXPECT_EQ(MLCWrite(hSink, job.data(), -1, FALSE, 0), MLC_INVALID_LENGTH);
  // The read polls for its bytes; a channel without a ring has none; a
  // time-out reports what came.
  EXPECT_EQ(MLCRead(hSink, job.data(), 10, FALSE, 0), MLC_NO_BUFFER);
  EXPECT_EQ(MLCRead(hSource, job.data(), 4500, TRUE, 10000), 4500);
  for (int i = 0; i < 4500; ++i) ASSERT_EQ(job[i], (BYTE)i) << i;
  EXPECT_EQ(MLCRead(hSource, job.data(), 1000, TRUE, 300), 500);
  EXPECT_EQ(MLCRead(hSource, job.data(), 1000, TRUE, 100), MLC_TIME_OUT);
  for (WORD h : {hSink, hStuck, hSource}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
  EXPECT_EQ(MLCWrite(hSink, job.data(), 10, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCRead(hSink, job.data(), 10, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCRead(hSink, job.data(), 65536, FALSE, 0), MLC_INVALID_LENGTH);
}

TEST_F(DataTest, FourProcessesWithTwoChannelsEachShareTheLink) {
#ifdef _WIN32
  const int kBytes = 16 * 1024;  // every packet costs far more under Wine
#else
  const int kBytes = 256 * 1024;
#endif
  Start(ConfigWith(
      {"10:echo", "11:echo", "12:echo", "13:echo", "14:echo", "15:echo", "16:echo", "17:echo"}));
  Child children[4];
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(children[i].Run("krzmlc15_datachild.exe " + std::to_string(10 + 2 * i) + " " +
                                std::to_string(11 + 2 * i) + " " + std::to_string(kBytes) + " " +
                                std::to_string(100 + i)));
  for (Child& child : children) EXPECT_EQ(child.Wait(120000), 0u);
  EXPECT_EQ(printer->Count("H>P MLC_EXIT "), 1u);  // after the last child's last close
}

TEST_F(DataTest, OnePollTakesEveryPacketWaitingCountsByTypeAndSwitchesTheHelperTimer) {
  Start(ConfigWith({"4:source:bytes=3000"}));
  PollStats stats[3], after[3];
  EXPECT_EQ(MLCResetPollStats(0), MLC_SUCCESS);
  EXPECT_EQ(MLCPollChannels(FALSE), 1);  // nothing open: nothing polled, nothing posted
  EXPECT_TRUE(TimerRequests().empty());
  WORD hSink = Open(2, 0);
  using Requests = std::vector<std::pair<WPARAM, LPARAM>>;
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MAX, 999}}));
  // An idle link moves the helper to the short period, once.
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MIN, 111}}));
  // The source's three packets wait on the port: one poll takes them all,
  // and packets switch the helper to the long period again.
  WORD hSource = Open(4, 4096);
  ASSERT_TRUE(Eventually([&] { return printer->Count("P>H DATA") == 3; }));
  EXPECT_EQ(MLCPollChannels2(FALSE, 0), 1);
  EXPECT_EQ(MLCPollChannels2(FALSE, 0), 0);
  std::vector<BYTE> data(4096);
  EXPECT_EQ(MLCRead(hSource, data.data(), 4096, FALSE, 0), 3000);
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MAX, 999}, {POLL_TIMER_MIN, 111}}));
  // A poll type beyond the three counted is refused and polls nothing.
  ASSERT_EQ(MLCRetrievePollStats(0, &stats[0], &stats[1], &stats[2]), MLC_SUCCESS);
  EXPECT_EQ(MLCPollChannels2(FALSE, 3), MLC_INVALID_TYPE);
  ASSERT_EQ(MLCRetrievePollStats(0, &after[0], &after[1], &after[2]), MLC_SUCCESS);
  EXPECT_EQ(memcmp(after, stats, sizeof stats), 0);
  EXPECT_EQ(stats[0].dwPacketPolls, 1u);
  EXPECT_EQ(stats[0].dwEmptyPolls, 1u);
  EXPECT_EQ(stats[2].dwEmptyPolls, 2u);
  EXPECT_EQ(stats[2].dwPacketPolls, 0u);
  EXPECT_EQ(MLCResetPollStats(0), MLC_SUCCESS);
  ASSERT_EQ(MLCRetrievePollStats(0, &after[0], &after[1], &after[2]), MLC_SUCCESS);
  EXPECT_EQ(after[0].dwPacketPolls + after[0].dwEmptyPolls + after[2].dwEmptyPolls, 0u);
  for (WORD h : {hSource, hSink}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

// (One-slot message channels: the queue and credit tests.)
TEST_F(DataTest, MessagesKeepTheirBoundariesAndOrder) {
  Start(ConfigWith({"6:msgecho:credit=2"}));
  WORD h = Open(6, 1, MLC_PACKET_CHANNEL, hApp_, 0x1234);  // two slots
  SocketInfo info{};
  ASSERT_EQ(MLCGetSocketInfo(0, 6, (LPBYTE)&info, sizeof info), MLC_SUCCESS);
  std::string text(info.wPtoHPacketSize, ' ');  // the echo of a longer one is cut
  for (size_t i = 0; i < text.size(); ++i) text[i] = (char)('A' + i * 7 % 26);
  std::vector<char> buffer(text.size() + 1);
  for (size_t n : {(size_t)1, (size_t)100, text.size()}) {
    ASSERT_EQ(MLCWrite(h, text.data(), (int)n, FALSE, 0), (int)n);
    ASSERT_EQ(MLCRead(h, buffer.data(), (int)buffer.size(), TRUE, 5000), (int)n) << n;
    EXPECT_EQ(std::string(buffer.data(), n), text.substr(0, n));
  }
  // Lengths no message can have (the whole length counts, not its low 16 bits).
  for (int iLength : {info.wHtoPPacketSize + 1, 0x10001, 0})
    EXPECT_EQ(MLCWrite(h, buffer.data(), iLength, FALSE, 0), MLC_INVALID_LENGTH) << iLength;
  // Two in flight come back oldest first, each told to the client's window
  // with its length; a short buffer or a query leaves a message in place.
  TakeMessages(hApp_);
  ASSERT_EQ(MLCWrite(h, text.data() + 1, 10, FALSE, 0), 10);
  ASSERT_EQ(MLCWrite(h, text.data() + 2, 20, FALSE, 0), 20);
  ASSERT_EQ(MLCRead(h, buffer.data(), (int)buffer.size(), TRUE, 5000), 10);
  EXPECT_EQ(std::string(buffer.data(), 10), text.substr(1, 10));
  ASSERT_TRUE(
      Eventually([&] { return MLCPollChannels(FALSE), MLCRead(h, NULL, 0, FALSE, 0) == 20; }));
  std::vector<MSG> told = TakeMessages(hApp_, kAppMsg, kAppMsg);
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.back().wParam, 0x1234u);
  EXPECT_EQ(told.back().lParam, MAKELPARAM(MLC_READ_PACKET, 20));
  EXPECT_EQ(MLCRead(h, buffer.data(), 19, FALSE, 0), MLC_BUFFER_TOO_SMALL);
  ASSERT_EQ(MLCRead(h, buffer.data(), 20, FALSE, 0), 20);
  EXPECT_EQ(std::string(buffer.data(), 20), text.substr(2, 20));
  EXPECT_EQ(MLCRead(h, buffer.data(), 20, FALSE, 0), MLC_NO_MESSAGE);
  EXPECT_EQ(MLCRead(h, buffer.data(), 20, TRUE, 200), MLC_TIME_OUT);
  EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(DataTest, TheQueueFillsWhileThePrinterWithholdsCreditAndDrainsInOrder) {
  // Credit comes back by MLC_CREDIT, then in the headers of the echoes.
  for (bool fPiggyback : {false, true}) {
    emu::EmuConfig cfg = ConfigWith({"6:msgecho:credit=1"});
    cfg.piggyback = fPiggyback;
    Start(cfg);
    WORD h = Open(6, 0, MLC_PACKET_CHANNEL);
    // The first echo fills the one slot: the printer holds the next message
    // and grants nothing more while it is unread; 255 wait, then refusal.
    int iWritten = 0, iResult;
    for (std::string m = "message 0";
         (iResult = MLCWrite(h, m.data(), (int)m.size(), FALSE, 0)) > 0;)
      m = "message " + std::to_string(++iWritten);
    EXPECT_EQ(iResult, MLC_CHANNEL_BUSY);
    EXPECT_EQ(iWritten, 2 + 255);
    EXPECT_EQ(MLCWrite(h, "x", 1, TRUE, 0), MLC_CHANNEL_BUSY);
    // Each read lets the printer grant, and each grant sends the oldest.
    char buffer[32];
    for (int i = 0; i < 100; ++i) {
      std::string m = "message " + std::to_string(i);
      ASSERT_EQ(MLCRead(h, buffer, sizeof buffer, TRUE, 5000), (int)m.size()) << i;
      ASSERT_EQ(std::string(buffer, m.size()), m);
    }
    EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);  // frees what still waits (TearDown)
    EXPECT_EQ(printer->Violations(), std::vector<std::string>{});
    printer.reset();
    SetUp();
  }
}

TEST_F(DataTest, AMessageBeyondTheGrantedOneIsErrorOne) {
  Start(ConfigWith({"6:msgecho"}));
  AddFault("nocredit@open");
  WORD h = Open(6, 1, MLC_PACKET_CHANNEL);
  // The message sent on the one grant is taken; the one beyond drops the link.
  char buffer[8192];
  int iRead = 0, iMessages = 0;
  while ((iRead = MLCRead(h, buffer, sizeof buffer, TRUE, 5000)) > 0) ++iMessages;
  EXPECT_EQ(iRead, MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_EQ(iMessages, 1);
  EXPECT_TRUE(Eventually([&] { return !printer->HostErrors().empty(); }, 1000));
  EXPECT_EQ(printer->HostErrors(), std::vector<BYTE>{1});
  printer.reset();
}

}  // namespace
