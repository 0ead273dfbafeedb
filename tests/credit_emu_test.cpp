// The receive-credit books under printers that handle credit in the legal
// ways a host must live with: data sent on a fresh grant before its reply,
// credit returned only in empty data packets (on print channels without a
// ring, on one-slot message channels, and to the direct reader), and a
// close refused while data arrives. The books are checked with
// CreditBooksHold after each scene.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/creditcheck.h"
#include "data_traffic.h"
#include "emu_client_support.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"

namespace {

HWND g_hHelperWnd = NULL;

class CreditTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                  "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\n"
                  "MLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\nMLC_INTER_PACKET_TIME_OUT=200\r\n"
                  "CreditTimeout=1500\r\nMIN_POLL_INTERVAL=111\r\nMAX_POLL_INTERVAL=999\r\n");
    LoadIniValues();
    g_hHelperWnd = MakeWindow("CreditTestHelper");  // this process plays the helper
  }
  void SetUp() override {
    MLCSetPMLInitDeInitEvent();
    MLCSetup(g_hHelperWnd);
  }
  void TearDown() override {
    EXPECT_EQ(printer->Violations(), std::vector<std::string>{});
    EXPECT_EQ(printer->HostErrors(), std::vector<BYTE>{});
    EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);
    ExpectOnlyTheRecordsBlocks();
    printer.reset();
    MSG msg;  // the helper's queue (timer and read requests) must not fill
    while (PeekMessageA(&msg, g_hHelperWnd, 0, 0, PM_REMOVE)) {
    }
  }
  void Start(std::initializer_list<const char*> services, bool fDataOnCredit, bool fEmptyCredit,
             const char* lpszFault = nullptr) {
    emu::EmuConfig cfg = ConfigWith(services);
    cfg.data_on_credit = fDataOnCredit;
    cfg.empty_credit = fEmptyCredit;
    if (lpszFault) {
      emu::Fault fault;
      std::string error;
      ASSERT_TRUE(emu::ParseFault(lpszFault, &fault, &error)) << error;
      cfg.faults.push_back(fault);
    }
    printer = std::make_unique<Printer>(cfg);
    ASSERT_TRUE(printer->runner);
  }
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL) {
    WORD hChannel = 0;
    EXPECT_EQ(MLCOpenChannel(0, dwPsid, bType, &dwBuffer, &hChannel, NULL, 0, 0, NULL, NULL),
              MLC_SUCCESS);
    return hChannel;
  }
  static std::string Books() {
    char szWhy[160];
    return CreditBooksHold(0, szWhy, sizeof szWhy) ? "" : szWhy;
  }
  std::unique_ptr<Printer> printer;
};

TEST_F(CreditTest, DataSentOnAFreshGrantBeforeItsReplyIsStored) {
  // A ring of one packet: every grant finds the printer without credit and
  // its source with data, which goes out ahead of the reply.
  Start({"4:source:bytes=100000"}, true, false);
  WORD hSource = Open(4, 4096);
  ASSERT_TRUE(hSource);
  EXPECT_EQ(SourceTraffic(hSource, 100000, 3, 60000), "");
  EXPECT_GT(printer->Count("H>P MLC_CREDIT "), 5u);
  EXPECT_EQ(Books(), "");
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
}

TEST_F(CreditTest, CreditInEmptyPacketsReachesPrintAndMessageChannels) {
  Start({"2:sink:credit=2,drain=200000", "3:echo:credit=3", "6:msgecho:credit=1"}, false, true);
  WORD hSink = Open(2, 0), hEcho = Open(3, 9000), hMsg = Open(6, 0, MLC_PACKET_CHANNEL);
  ASSERT_TRUE(hSink && hEcho && hMsg);
  // A print channel has no ring: the empty packets carry its only credit.
  std::vector<BYTE> job(60000, 0x5A);
  EXPECT_EQ(MLCWrite(hSink, job.data(), (int)job.size(), TRUE, 20000), (int)job.size());
  // The one-slot message channel: each grant comes in an empty message and
  // lets the next queued message go out.
  for (int i = 0; i < 12; ++i) {
    std::string m = "message " + std::to_string(i);
    ASSERT_EQ(MLCWrite(hMsg, m.data(), (int)m.size(), FALSE, 0), (int)m.size());
  }
  char buffer[32];
  for (int i = 0; i < 12; ++i) {
    std::string m = "message " + std::to_string(i);
    ASSERT_EQ(MLCRead(hMsg, buffer, sizeof buffer, TRUE, 5000), (int)m.size()) << i;
    EXPECT_EQ(std::string(buffer, m.size()), m);
    EXPECT_EQ(Books(), "");
  }
  // A channel with a ring books every empty packet as a spent grant.
  EXPECT_EQ(EchoTraffic({hEcho}, 200000, 5, 60000), "");
  EXPECT_EQ(Books(), "");
  for (WORD h : {hSink, hEcho, hMsg}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(CreditTest, TheDirectReaderAppliesCreditInOtherChannelsEmptyPackets) {
  Start({"4:source:bytes=0", "2:sink:credit=1,drain=500"}, false, true);
  WORD hSource = Open(4, 8192), hSink = Open(2, 0);  // the source in slot 0
  ASSERT_TRUE(hSource && hSink);
  // The sink's credit as its record holds it (a write or a query would
  // poll, and the poll would take the packet before the direct reader).
  auto SinkCredit = [] {
    ObtainPPI(0);
    auto* lpSink = (const StreamChannel*)LockChannelIdx(0, 1);
    DWORD dwCredit = lpSink ? lpSink->wHostHtoPCredits : 0;
    if (lpSink) UnlockChannelIdx(0, 1);
    ReleasePPI(0);
    return dwCredit;
  };
  std::vector<BYTE> buffer(8192);
  // The one credit spent: the next comes in an empty packet once the sink
  // has drained, and only the direct reader reads the port.
  ASSERT_EQ(MLCWrite(hSink, buffer.data(), 100, FALSE, 0), 100);
  DWORD dwStart = GetTickCount();
  while (SinkCredit() == 0 && GetTickCount() - dwStart < 5000) {
    DWORD dwLength = (DWORD)buffer.size();
    int iResult = RetrieveData(0, buffer.data(), &dwLength);
    ASSERT_TRUE(iResult == MLC_PACKET_SUCCESSFUL || iResult == MLC_NO_DATA) << iResult;
    if (iResult == MLC_NO_DATA) WaitPortInput(0, 50);
  }
  EXPECT_GT(SinkCredit(), 0u);
  for (WORD h : {hSink, hSource}) EXPECT_EQ(MLCCloseChannel(h), MLC_SUCCESS);
}

TEST_F(CreditTest, ARefusedCloseKeepsTheSpaceOfDataStoredDuringIt) {
  Start({"3:echo"}, false, false, "result=close");
  WORD hEcho = Open(3, 8192);
  ASSERT_TRUE(hEcho);
  // The echo is on the wire, unread, when the close goes out: the close's
  // reply wait stores it.
  ASSERT_EQ(MLCWrite(hEcho, "0123456789", 10, FALSE, 0), 10);
  ASSERT_TRUE(Eventually([&] { return printer->Count("P>H DATA") > 0; }, 5000));
  EXPECT_NE(MLCCloseChannel(hEcho), MLC_SUCCESS);
  EXPECT_EQ(Books(), "");
  char buffer[16];
  EXPECT_EQ(MLCRead(hEcho, buffer, sizeof buffer, FALSE, 0), 10);
  EXPECT_EQ(Books(), "");
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
}

}  // namespace
