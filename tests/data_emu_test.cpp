// Stream and message data against the emulator: blocking calls, client
// processes sharing the link, polls and the helper's timer, messages.

#include "emu_client_support.h"
#include "link/link.h"

namespace {

using DataTest = SceneTest;

// (Blocking calls out of credit or time, or losing the link: fault matrix.)
TEST_F(DataTest, BlockingCallsPollThemselvesAndLengthsAreChecked) {
  Start(ConfigWith({"2:sink:drain=40000,credit=2", "4:source:bytes=5000"}));
  WORD hSink = Open(2, 0), hSource = Open(4, 4096);
  std::vector<BYTE> job(66000, 0x5A);
  // A query reports at most 32767; 65536 bytes is a short write, not 0.
  int iSpace = MLCWrite(hSink, NULL, 0, FALSE, 0);
  EXPECT_TRUE(iSpace > 0 && iSpace <= 0x7FFF) << iSpace;
  EXPECT_EQ(MLCWrite(hSink, job.data(), -1, FALSE, 0), MLC_INVALID_LENGTH);
  EXPECT_GT(MLCWrite(hSink, job.data(), 65536, FALSE, 0), 0);
  EXPECT_EQ(MLCRead(hSink, job.data(), 10, FALSE, 0), MLC_NO_BUFFER);
  // The reader's own poll brings its bytes; a time-out reports what came.
  EXPECT_EQ(MLCRead(hSource, job.data(), 4500, TRUE, 10000), 4500);
  for (int i = 0; i < 4500; ++i) ASSERT_EQ(job[i], (BYTE)i) << i;
  EXPECT_EQ(MLCRead(hSource, job.data(), 1000, TRUE, 300), 500);
  EXPECT_EQ(MLCRead(hSource, job.data(), 65536, FALSE, 0), MLC_INVALID_LENGTH);
  for (WORD h : {hSink, hSource}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(DataTest, FourProcessesWithTwoChannelsEachShareTheLink) {
  Start(ConfigWith(
      {"10:echo", "11:echo", "12:echo", "13:echo", "14:echo", "15:echo", "16:echo", "17:echo"}));
  WORD hOwn = Open(2, 0);  // no child's close is the machine's last, which stops the helper
  Child children[4];
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(children[i].Run("krzmlc15_datachild.exe 1" + std::to_string(2 * i) + " 1" +
                                std::to_string(2 * i + 1) + " 65536 " + std::to_string(i)));
  for (Child& child : children) EXPECT_EQ(child.Wait(120000), 0u);
  EXPECT_EQ(MLCCloseChannel(hOwn), MLC_SUCCESS);
  EXPECT_EQ(printer->Count("H>P MLC_EXIT "), 1u);
}

TEST_F(DataTest, OnePollTakesEveryPacketWaitingCountsByTypeAndSwitchesTheHelperTimer) {
  Start(ConfigWith({"4:source:bytes=3000"}));
  using Requests = std::vector<std::pair<WPARAM, LPARAM>>;
  auto timer = [] {
    Requests requests;
    for (const MSG& m : TakeMessages(hHelper_, HIDDEN_POLL_TIMER, HIDDEN_POLL_TIMER))
      requests.emplace_back(m.wParam, m.lParam);
    return requests;
  };
  EXPECT_EQ(MLCResetPollStats(0), MLC_SUCCESS);  // the counts below start from 0
  EXPECT_EQ(MLCPollChannels(FALSE), 1);          // nothing open: nothing polled, nothing posted
  EXPECT_TRUE(timer().empty());
  WORD hSink = Open(2, 0);
  EXPECT_EQ(timer(), (Requests{{POLL_TIMER_MAX, 999}}));
  // An idle link moves the helper to the short period, once.
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(timer(), (Requests{{POLL_TIMER_MIN, 111}}));
  // One poll takes all three packets waiting; packets mean the long period.
  WORD hSource = Open(4, 4096);
  ASSERT_TRUE(Eventually([&] { return printer->Count("P>H DATA") == 3; }));
  EXPECT_EQ(MLCPollChannels2(FALSE, 0), 1);
  EXPECT_EQ(MLCPollChannels2(FALSE, 0), 0);
  EXPECT_EQ(MLCRead(hSource, NULL, 0, FALSE, 0), 3000);
  EXPECT_EQ(timer(), (Requests{{POLL_TIMER_MAX, 999}, {POLL_TIMER_MIN, 111}}));
  // A poll type beyond the three counted is refused and counts nothing.
  EXPECT_EQ(MLCPollChannels2(FALSE, 3), MLC_INVALID_TYPE);
  PollStats s[3];
  ASSERT_EQ(MLCRetrievePollStats(0, &s[0], &s[1], &s[2]), MLC_SUCCESS);
  EXPECT_EQ((std::vector<DWORD>{s[0].dwPacketPolls, s[0].dwEmptyPolls, s[1].dwPacketPolls,
                                s[1].dwEmptyPolls, s[2].dwPacketPolls, s[2].dwEmptyPolls}),
            (std::vector<DWORD>{1, 1, 0, 0, 0, 2}));
  for (WORD h : {hSource, hSink}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

// (Order and content of many messages: the randomized test.)
TEST_F(DataTest, MessagesKeepTheirBoundaries) {
  Start(ConfigWith({"6:msgecho:credit=2"}));
  WORD h = Open(6, 1, MLC_PACKET_CHANNEL, hApp_, 0x1234);  // two slots
  SocketInfo info{};
  ASSERT_EQ(MLCGetSocketInfo(0, 6, (LPBYTE)&info, sizeof info), MLC_SUCCESS);
  std::string text(info.wPtoHPacketSize, ' ');  // the echo of a longer one is cut
  for (size_t i = 0; i < text.size(); ++i) text[i] = (char)('A' + i * 7 % 26);
  std::vector<char> buffer(text.size() + 1);
  // Lengths no message can have (the whole length counts, not its low 16 bits).
  for (int iLength : {info.wHtoPPacketSize + 1, 0x10001, 0})
    EXPECT_EQ(MLCWrite(h, buffer.data(), iLength, FALSE, 0), MLC_INVALID_LENGTH) << iLength;
  // The longest and a short one in flight come back whole, each told to the
  // window with its length.
  ASSERT_EQ(MLCWrite(h, text.data(), (int)text.size(), FALSE, 0), (int)text.size());
  ASSERT_EQ(MLCWrite(h, text.data() + 2, 20, FALSE, 0), 20);
  ASSERT_EQ(MLCRead(h, buffer.data(), (int)buffer.size(), TRUE, 5000), (int)text.size());
  EXPECT_EQ(std::string(buffer.data(), text.size()), text);
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
    // One echo fills the slot, one more is held: 255 wait, the next is refused.
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

}  // namespace
