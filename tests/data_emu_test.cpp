// Stream data and polling against the emulator: integrity through echo and
// source services, credit waits at a slow sink, several client processes
// on one link, and the poll's statistics and timer switching.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "channel/channel.h"
#include "data_traffic.h"
#include "emu_client_support.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "testutil.h"

namespace {

#ifdef _WIN32
// Under Wine every packet costs far more: the same cases, less data.
constexpr size_t kScale = 16;
#else
constexpr size_t kScale = 1;
#endif

class DataTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "MLC_INTER_PACKET_TIME_OUT=200\r\nCreditTimeout=1500\r\nMIN_POLL_INTERVAL=111\r\n"
        "MAX_POLL_INTERVAL=999\r\n");
  }
  void SetUp() override {
    EmuClientTest::SetUp();
    TimerRequests();
  }
  void TearDown() override {
    EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);  // every channel closed: the link was left
    EmuClientTest::TearDown();
  }
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL,
                   HWND hWnd = NULL) {
    WORD hChannel = 0;
    int iResult =
        MLCOpenChannel(0, dwPsid, bType, &dwBuffer, &hChannel, hWnd, 0x7777, 0x1234, NULL, NULL);
    EXPECT_EQ(iResult, MLC_SUCCESS) << "socket " << dwPsid;
    return iResult == MLC_SUCCESS ? hChannel : 0;
  }
  // The timer requests posted to the helper window since the last call;
  // the other messages to it (read requests, close) are dropped, so that
  // its queue never fills.
  static std::vector<std::pair<WPARAM, LPARAM>> TimerRequests() {
    std::vector<std::pair<WPARAM, LPARAM>> requests;
    for (const MSG& m : TakeMessages(hHelper_))
      if (m.message == HIDDEN_POLL_TIMER) requests.emplace_back(m.wParam, m.lParam);
    return requests;
  }
};

TEST_F(DataTest, EchoAndSourceAreByteExactThroughRingWraps) {
  const size_t cbSource = 10 * 1024 * 1024 / kScale;
  std::string source = "4:source:bytes=" + std::to_string(cbSource);
  Start(ConfigWith({"3:echo:credit=4", source.c_str()}));
  // Rings that are no multiple of the packet size wrap in every position.
  WORD hEcho = Open(3, 7000);
  WORD hSource = Open(4, 12345);
  ASSERT_TRUE(hEcho && hSource);
  EXPECT_EQ(EchoTraffic({hEcho}, 3 * 1024 * 1024 / kScale, 7, 120000), "");
  EXPECT_EQ(SourceTraffic(hSource, cbSource, 11, 120000), "");
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
  // Every packet that came was counted against credit the host had granted.
  EXPECT_EQ(printer->Count("P>H MLC_ERROR"), 0u);
}

TEST_F(DataTest, BlockingCallsPollThemselvesAndLengthsAreChecked) {
  Start(ConfigWith(
      {"2:sink:drain=40000,credit=2", "5:sink:drain=0,credit=2", "4:source:bytes=5000"}));
  WORD hSink = Open(2, 0), hStuck = Open(5, 0), hSource = Open(4, 4096);
  ASSERT_TRUE(hSink && hStuck && hSource);
  std::vector<BYTE> job(66000, 0x5A);
  // Blocking: every byte goes out, the writer asking for the sink's credit
  // and polling for it itself.
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(MLCWrite(hSink, job.data(), 60000, TRUE, 20000), 60000);
  EXPECT_GE(GetTickCount() - dwStart, 500u);
  EXPECT_GT(printer->Count("H>P MLC_CREDIT_REQUEST "), 0u);
  // A query reports what may be written now, never more than 32767; beyond
  // one call's reach is a short write, not a write of the low 16 bits.
  int iSpace = MLCWrite(hStuck, NULL, 0, FALSE, 0);
  EXPECT_GT(iSpace, 0);
  EXPECT_LE(iSpace, 0x7FFF);
  EXPECT_GT(MLCWrite(hStuck, job.data(), 65536, FALSE, 0), 0);
  // A sink that never drains: the wait for credit runs out.
  EXPECT_EQ(MLCWrite(hStuck, job.data(), 100, TRUE, 1000), MLC_TIME_OUT);
  EXPECT_EQ(MLCWrite(hSink, job.data(), -1, FALSE, 0), MLC_INVALID_LENGTH);

  // The read polls for the bytes itself; a channel without a ring has none.
  EXPECT_EQ(MLCRead(hSink, job.data(), 10, FALSE, 0), MLC_NO_BUFFER);
  EXPECT_EQ(MLCRead(hSource, job.data(), 4500, TRUE, 10000), 4500);
  for (int i = 0; i < 4500; ++i) ASSERT_EQ(job[i], (BYTE)i) << i;
  // Fewer bytes than asked for come: the time-out reports what came.
  EXPECT_EQ(MLCRead(hSource, job.data(), 1000, TRUE, 300), 500);
  EXPECT_EQ(MLCRead(hSource, job.data(), 1000, TRUE, 100), MLC_TIME_OUT);
  for (WORD h : {hSink, hStuck, hSource}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
  // Handles of closed channels.
  EXPECT_EQ(MLCWrite(hSink, job.data(), 10, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCRead(hSink, job.data(), 10, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCRead(hSink, job.data(), 65536, FALSE, 0), MLC_INVALID_LENGTH);
}

TEST_F(DataTest, FourProcessesWithTwoChannelsEachShareTheLink) {
  Start(ConfigWith(
      {"10:echo", "11:echo", "12:echo", "13:echo", "14:echo", "15:echo", "16:echo", "17:echo"}));
  Child children[4];
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(Spawn(&children[i], "krzmlc15_datachild.exe " + std::to_string(10 + 2 * i) + " " +
                                        std::to_string(11 + 2 * i) + " " +
                                        std::to_string(256 * 1024 / kScale) + " " +
                                        std::to_string(100 + i)));
  for (Child& child : children) EXPECT_EQ(child.Wait(120000), 0u);
  // The last close of the last child left the link.
  EXPECT_EQ(printer->Count("H>P MLC_EXIT "), 1u);
}

TEST_F(DataTest, PollCountsByTypeAndSwitchesTheHelperTimer) {
  Start(ConfigWith({"4:source:bytes=3000"}));
  PollStats stats[3];
  EXPECT_EQ(MLCRetrievePollStats(3, &stats[0], &stats[1], &stats[2]), MLC_INVALID_PORT);
  EXPECT_EQ(MLCRetrievePollStats(0, &stats[0], NULL, &stats[2]), MLC_INVALID_TYPE);
  EXPECT_EQ(MLCResetPollStats(3), MLC_INVALID_PORT);
  EXPECT_EQ(MLCResetPollStats(0), MLC_SUCCESS);
  // Nothing open: nothing polled, nothing posted.
  TimerRequests();
  EXPECT_EQ(MLCPollChannels(FALSE), 1);
  EXPECT_TRUE(TimerRequests().empty());

  WORD hSink = Open(2, 0);
  ASSERT_TRUE(hSink);
  using Requests = std::vector<std::pair<WPARAM, LPARAM>>;
  // The first channel on the machine starts the long period.
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MAX, 999}}));
  // An idle link moves the helper to the short period, once.
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(MLCPollChannels(FALSE), 0);
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MIN, 111}}));
  // Packets coming back switch it to the long period again.
  WORD hSource = Open(4, 4096);
  ASSERT_TRUE(hSource);
  int iPolls = 0;
  while (MLCPollChannels2(FALSE, 0) == 1) ++iPolls;
  EXPECT_GT(iPolls, 0);
  EXPECT_EQ(pPerPortInfo[0].PollStats[0].dwEmptyPolls, 1u) << iPolls;
  EXPECT_EQ(TimerRequests(), (Requests{{POLL_TIMER_MAX, 999}, {POLL_TIMER_MIN, 111}}));

  // A poll type beyond the three counted is refused and polls nothing.
  ASSERT_EQ(MLCRetrievePollStats(0, &stats[0], &stats[1], &stats[2]), MLC_SUCCESS);
  EXPECT_EQ(MLCPollChannels2(FALSE, 3), MLC_INVALID_TYPE);
  PollStats after[3];
  ASSERT_EQ(MLCRetrievePollStats(0, &after[0], &after[1], &after[2]), MLC_SUCCESS);
  EXPECT_EQ(memcmp(after, stats, sizeof stats), 0);
  EXPECT_EQ(stats[2].dwEmptyPolls, 2u);
  EXPECT_EQ(stats[2].dwPacketPolls, 0u);
  EXPECT_EQ(stats[0].dwPacketPolls, (DWORD)iPolls);
  EXPECT_EQ(stats[0].dwEmptyPolls, 1u);
  EXPECT_EQ(MLCResetPollStats(0), MLC_SUCCESS);
  ASSERT_EQ(MLCRetrievePollStats(0, &after[0], &after[1], &after[2]), MLC_SUCCESS);
  EXPECT_EQ(after[0].dwPacketPolls + after[0].dwEmptyPolls + after[2].dwEmptyPolls, 0u);
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
  EXPECT_EQ(MLCCloseChannel(hSink), MLC_SUCCESS);
}

// ---- Message channels against the emulator's message echo service: one
// message per packet both ways, the send queue, refusals. (The status
// service's round trip is a row of the fault matrix.)

std::string Message(size_t n, int iSeed) {
  std::string text(n, ' ');
  for (size_t i = 0; i < n; ++i) text[i] = (char)('A' + (i * 7 + (size_t)iSeed) % 26);
  return text;
}

TEST_F(DataTest, MessagesKeepTheirBoundariesInOneAndTwoSlots) {
  Start(ConfigWith({"6:msgecho:credit=2"}));
  HWND hClient = MakeWindow("DataTestClient");
  for (BOOL fTwo : {FALSE, TRUE}) {
    WORD h = Open(6, fTwo ? 1 : 0, MLC_PACKET_CHANNEL, hClient);
    ASSERT_TRUE(h);
    SocketInfo info{};
    ASSERT_EQ(MLCGetSocketInfo(0, 6, (LPBYTE)&info, sizeof info), MLC_SUCCESS);
    const size_t cbMax = info.wPtoHPacketSize;  // the echo of a longer one is cut
    ASSERT_LE(cbMax, (size_t)info.wHtoPPacketSize);
    std::vector<char> buffer(cbMax + 1);
    for (size_t n : {(size_t)1, (size_t)2, (size_t)100, cbMax - 1, cbMax}) {
      std::string sent = Message(n, (int)n);
      ASSERT_EQ(MLCWrite(h, sent.data(), (int)n, FALSE, 0), (int)n);
      ASSERT_EQ(MLCRead(h, buffer.data(), (int)buffer.size(), TRUE, 5000), (int)n) << n;
      EXPECT_EQ(std::string(buffer.data(), n), sent) << n;
    }
    // Lengths no message can have; the whole length counts, not its low
    // 16 bits.
    EXPECT_EQ(MLCWrite(h, buffer.data(), info.wHtoPPacketSize + 1, FALSE, 0), MLC_INVALID_LENGTH);
    EXPECT_EQ(MLCWrite(h, buffer.data(), 0x10001, FALSE, 0), MLC_INVALID_LENGTH);
    EXPECT_EQ(MLCWrite(h, buffer.data(), 0, FALSE, 0), MLC_INVALID_LENGTH);
    // Two messages in flight come back one by one, oldest first; a short
    // buffer or a query leaves a message where it is.
    std::string a = Message(10, 1), b = Message(20, 2);
    ASSERT_EQ(MLCWrite(h, a.data(), 10, FALSE, 0), 10);
    ASSERT_EQ(MLCWrite(h, b.data(), 20, FALSE, 0), 20);
    ASSERT_EQ(MLCRead(h, buffer.data(), (int)buffer.size(), TRUE, 5000), 10);
    EXPECT_EQ(std::string(buffer.data(), 10), a);
    while (MLCRead(h, NULL, 0, FALSE, 0) == 0) MLCPollChannels(FALSE);
    EXPECT_EQ(MLCRead(h, NULL, 0, FALSE, 0), 20);
    EXPECT_EQ(MLCRead(h, buffer.data(), 19, FALSE, 0), MLC_BUFFER_TOO_SMALL);
    ASSERT_EQ(MLCRead(h, buffer.data(), 20, FALSE, 0), 20);
    EXPECT_EQ(std::string(buffer.data(), 20), b);
    EXPECT_EQ(MLCRead(h, buffer.data(), 20, FALSE, 0), MLC_NO_MESSAGE);
    EXPECT_EQ(MLCRead(h, buffer.data(), 20, TRUE, 200), MLC_TIME_OUT);
    // A message polled in is told to the client's window with its length.
    TakeMessages(hClient);
    ASSERT_EQ(MLCWrite(h, a.data(), 7, FALSE, 0), 7);
    while (MLCRead(h, NULL, 0, FALSE, 0) == 0) MLCPollChannels(FALSE);
    std::vector<MSG> told = TakeMessages(hClient, 0x7777, 0x7777);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told[0].wParam, 0x1234u);
    EXPECT_EQ(told[0].lParam, MAKELPARAM(MLC_READ_PACKET, 7));
    EXPECT_EQ(MLCRead(h, buffer.data(), 7, FALSE, 0), 7);
    EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
  }
  DestroyWindow(hClient);
}

TEST_F(DataTest, TheQueueFillsWhileThePrinterWithholdsCreditAndDrainsInOrder) {
  // Credit comes back by MLC_CREDIT, and then in the headers of the echoes.
  for (bool fPiggyback : {false, true}) {
    emu::EmuConfig cfg = ConfigWith({"6:msgecho:credit=1"});
    cfg.piggyback = fPiggyback;
    Start(cfg);
    WORD h = Open(6, 0, MLC_PACKET_CHANNEL);
    ASSERT_TRUE(h);
    // The first echo fills the one slot: the echo service holds the next
    // message and grants nothing more while it is unread.
    int iWritten = 0;
    for (;; ++iWritten) {
      std::string m = "message " + std::to_string(iWritten);
      int iResult = MLCWrite(h, m.data(), (int)m.size(), FALSE, 0);
      if (iResult < 0) {
        EXPECT_EQ(iResult, MLC_CHANNEL_BUSY);
        break;
      }
      ASSERT_EQ(iResult, (int)m.size());
    }
    EXPECT_EQ(iWritten, 2 + 255);  // two went out, 255 wait, the 256th is refused
    EXPECT_EQ(MLCWrite(h, "x", 1, TRUE, 0), MLC_CHANNEL_BUSY);
    // Reading lets the printer answer; each grant sends the oldest waiting.
    char buffer[32];
    for (int i = 0; i < 100; ++i) {
      std::string m = "message " + std::to_string(i);
      ASSERT_EQ(MLCRead(h, buffer, sizeof buffer, TRUE, 5000), (int)m.size()) << i;
      ASSERT_EQ(std::string(buffer, m.size()), m);
    }
    // Closing frees what still waits (TearDown counts the blocks).
    EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
    EXPECT_EQ(printer->Violations(), std::vector<std::string>{});
    printer.reset();
    SetUp();
  }
}

// (An oversized message is a row of the fault matrix.)
TEST_F(DataTest, AMessageBeyondTheGrantedOneIsErrorOne) {
  emu::EmuConfig cfg = ConfigWith({"6:msgecho"});
  emu::Fault fault;
  std::string error;
  ASSERT_TRUE(emu::ParseFault("nocredit@open", &fault, &error)) << error;
  cfg.faults.push_back(fault);
  Start(cfg);
  WORD h = Open(6, 1, MLC_PACKET_CHANNEL);
  ASSERT_TRUE(h);
  // The message sent on the one grant is taken; the one beyond it drops
  // the link.
  char buffer[8192];
  int iRead = 0, iMessages = 0;
  while ((iRead = MLCRead(h, buffer, sizeof buffer, TRUE, 5000)) > 0) ++iMessages;
  EXPECT_EQ(iRead, MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_EQ(iMessages, 1);
  EXPECT_TRUE(Eventually([&] { return !printer->HostErrors().empty(); }, 1000));
  EXPECT_EQ(printer->HostErrors(), std::vector<BYTE>{1});
  EXPECT_EQ(MLCCloseChannel(h), MLC_INVALID_HANDLE);
  printer.reset();
}

}  // namespace
