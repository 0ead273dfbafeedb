// Client calls against the emulator: waits the printer drives end in time, a
// call that ends early reports what it moved, the direct reader, and a channel
// handle addresses only what it names (records, windows, escapes, resets).

#include <future>

#include "data/stream.h"
#include "emu_client_support.h"
#include "krzcom15.h"
#include "link/link.h"
#include "notify/notify.h"
#include "port/porthandle.h"
#include "scripted_peripheral.h"
#include "shared/sharedmem.h"

namespace {

// Socket 2 a sink that holds one packet and never drains it; the faults given.
emu::EmuConfig OnePacketSink(std::initializer_list<const char*> faults = {}) {
  emu::EmuConfig cfg = ConfigWith({"2:sink:credit=1,drain=0"});
  for (const char* lpszFault : faults) cfg.faults.push_back(PrinterConfig(lpszFault).faults.at(0));
  return cfg;
}

void CALLBACK Ignore(DWORD, DWORD, DWORD, DWORD) {}

// Printers of the tests' own, some with faults answered by MLC_ERROR: only
// their violations are checked.
class WaitsTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=500\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=500\r\n"
        "MLC_INTER_PACKET_TIME_OUT=300\r\nCreditTimeout=400\r\nGRANT_CREDIT_FAST_SIZE=0\r\n"
        "MIN_POLL_INTERVAL=50\r\n");
  }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    EmuClientTest::TearDown();
  }
};
using IdentTest = WaitsTest;

TEST_F(WaitsTest, TheFlushAndTheReplyWaitEndInTimeWhileThePrinterNeverPauses) {
  {
    // Filler without pause before MLC_INIT: the flush ends and MLC_INIT goes
    // out (the filler still on the wire may fail that first bring-up).
    emu::EmuConfig cfg = PrinterConfig();
    cfg.stream_before_init_ms = 20000;
    Printer printer(cfg);
    DWORD hPort = MLCGetPortHandle(0);
    ASSERT_TRUE(Eventually([&] { return VCOMM_WaitInput(hPort, 5) != FALSE; }));
    WORD hChannel = 0;
    for (int iTry = 0; iTry < 2 && !hChannel; ++iTry) {
      DWORD dwBuffer = 0;
      StandInHelper();
      MLCOpenChannel(0, 2, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, NULL, 0, 0, NULL, NULL);
    }
    EXPECT_NE(hChannel, 0);
    EXPECT_EQ(printer.Count("filler stream ended: the host spoke"), 1u);
    EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
    EXPECT_EQ(printer.Violations(), std::vector<std::string>{});
    MLCReleasePortHandle(hPort);
  }
  // Credit requests back to back while the close's reply never comes: every
  // poll finds a packet, and the wait still ends (with a reset).
  emu::EmuConfig cfg = PrinterConfig("noreply=close");
  cfg.credit_request_flood_ms = 20000;
  Printer printer(cfg);
  WORD hChannel = Open(2, 0);
  ASSERT_NE(hChannel, 0);
  MLCCloseChannel(hChannel);
  EXPECT_EQ(printer.Count("flood ended"), 0u);  // the close did not wait for its end
  EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);
}

TEST_F(WaitsTest, ABlockingWriteReportsWhatWentOutAndEndsWhenCreditNeverComes) {
  std::vector<BYTE> data(0x10000, 0x5A);
  {
    // The credit requests after the first packet are refused: it is reported.
    Printer printer(OnePacketSink({"result=creditreq", "result=creditreq#2"}));
    WORD hChannel = Open(2, 0);
    ASSERT_NE(hChannel, 0);
    int iSpace = MLCWrite(hChannel, NULL, 0, FALSE, 0);
    ASSERT_GT(iSpace, 0);
    EXPECT_EQ(MLCWrite(hChannel, data.data(), 3 * iSpace, TRUE, 5000), iSpace);
    EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
    EXPECT_EQ(printer.Violations(), std::vector<std::string>{});
  }
  // Credit only at the open: a write without a time-out ends after
  // CreditTimeout (or, failing that, at the close), reporting the first packet.
  emu::EmuConfig cfg = OnePacketSink();
  cfg.open_credit_only = true;
  Start(cfg);
  WORD hChannel = Open(2, 0);
  ASSERT_NE(hChannel, 0);
  int iSpace = MLCWrite(hChannel, NULL, 0, FALSE, 0);
  ASSERT_GT(iSpace, 0);
  auto write = std::async(std::launch::async, [&] {
    return MLCWrite(hChannel, data.data(), 3 * iSpace, TRUE, INFINITE);
  });
  if (write.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the write without a time-out did not end";
    MLCCloseChannel(hChannel);
  }
  EXPECT_EQ(write.get(), iSpace);
  EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
}

TEST_F(WaitsTest, AReadReportsTheBytesItTookWhenThePrinterRefusesTheCredit) {
  Start(PrinterConfig("result=credit"));
  WORD hEcho = Open(3, (DWORD)gTO_HOST_PACKET_SIZE);  // one packet: each read frees a credit
  ASSERT_NE(hEcho, 0);
  ASSERT_EQ(MLCWrite(hEcho, "hello", 5, FALSE, 0), 5);
  ASSERT_TRUE(Eventually([&] {
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, 0);
    return MLCRead(hEcho, NULL, 0, FALSE, 0) == 5;
  }));
  char echoed[5] = {};
  EXPECT_EQ(MLCRead(hEcho, echoed, 5, FALSE, 0), 5);
  EXPECT_EQ(std::string(echoed, 5), "hello");
  EXPECT_EQ(printer->Count("** fault result=credit"), 1u);  // the grant was refused
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
}

TEST_F(WaitsTest, DataThatCameForAnEndingBlockingReadIsToldToTheClient) {
  // Ten bytes on the port before a blocking read of five: the wait's window
  // gets the notice, ends after five, and must hand the notice on.
  Start(PrinterConfig());
  HWND hApp = MakeWindow("WaitsTestApp");
  WORD hEcho = Open(3, 4096, MLC_STREAM_CHANNEL, hApp);
  ASSERT_NE(hEcho, 0);
  ASSERT_EQ(MLCWrite(hEcho, "helloworld", 10, FALSE, 0), 10);
  ASSERT_TRUE(Eventually([] { return VCOMM_WaitInput(GetPortHandle(0), 5) != FALSE; }));
  char text[5];
  EXPECT_EQ(MLCRead(hEcho, text, 5, TRUE, 5000), 5);
  std::vector<MSG> told = TakeMessages(hApp, kAppMsg, kAppMsg);
  EXPECT_TRUE(std::any_of(told.begin(), told.end(),
                          [](const MSG& m) { return LOWORD(m.lParam) == MLC_READ_STREAM; }));
  EXPECT_EQ(MLCRead(hEcho, text, 5, FALSE, 0), 5);
  EXPECT_EQ(std::string(text, 5), "world");
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
  DestroyWindow(hApp);
}

// RetrieveData grants without waiting for the reply, leaves no command
// outstanding between calls, and drops the link on a packet cut short.
TEST_F(WaitsTest, TheDirectReaderGrantsWithoutWaitingForRepliesAndDropsACutPacket) {
  using peri::Command;
  peri::Peripheral peer;
  ASSERT_TRUE(peer.Attach("LPT1"));
  DWORD hPort = MLCGetPortHandle(0);
  MakeStreamChannel(0x21, 0, 0, 1024);  // the printer holds no credit: it is granted some
  std::vector<BYTE> buffer(1024);
  DWORD dwLength = (DWORD)buffer.size(), dwIdle = pPerPortInfo[0].dwIdlePolls;
  auto next = [&] {  // the next packet or reply RetrieveData takes
    for (int iResult;; WaitPortInput(0, 20))
      if (dwLength = (DWORD)buffer.size(),
          (iResult = RetrieveData(0, buffer.data(), &dwLength)) != 4)
        return iResult;
  };
  // Idle port, printer without credit: one MLC_CREDIT of 65535, no wait.
  EXPECT_EQ(RetrieveData(0, buffer.data(), &dwLength), MLC_NO_DATA);
  EXPECT_EQ(dwLength, 0u);
  EXPECT_EQ(pPerPortInfo[0].dwIdlePolls, dwIdle + 1);
  EXPECT_TRUE(peer.Expect(Command({0x03, 0x80, 0x21, 0xFF, 0xFF})));
  // Another client's credit request while the grant's reply is due: each
  // reply answers its own command.
  peer.StartFn([](peri::Peripheral& p) {
    return p.Expect(Command({0x04, 0x80, 0x21, 0x00, 0x01})) && p.Send(Command({0x83, 0x00})) &&
           p.Send(Command({0x84, 0x00, 0x00, 0x01}));
  });
  EXPECT_TRUE(MLCCreditRequest(0, 0x80, 0x21, 1));
  EXPECT_TRUE(peer.Join()) << peer.failures();
  EXPECT_TRUE(peer.ExpectSilence(50));  // no MLC_ERROR
  EXPECT_TRUE(pPerPortInfo[0].fMlcInitDone);
  // A 1000-byte packet that stalls halfway: a credit of 1 goes out in the
  // middle, and its reply after the packet is taken as a reply.
  peri::Bytes payload(1000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = (BYTE)(i * 7);
  peri::Bytes packet = peri::Packet(0x80, 0x21, payload);
  peer.StartFn([&](peri::Peripheral& p) {
    return p.Send(peri::Bytes(packet.begin(), packet.begin() + 506)) &&
           p.Expect(Command({0x03, 0x80, 0x21, 0x00, 0x01})) &&
           p.Send(peri::Bytes(packet.begin() + 506, packet.end())) && p.Send(Command({0x83, 0}));
  });
  EXPECT_EQ(next(), 1);
  ASSERT_EQ(dwLength, 1000u);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buffer.begin()));
  EXPECT_EQ(next(), 1);  // the reply to the 1
  EXPECT_TRUE(peer.Join()) << peer.failures();
  auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
  LONG lPeriCredits = lpStream->wPeriPtoHCredits;
  UnlockChannelIdx(0, 0);
  EXPECT_EQ(lPeriCredits, 0xFFFF);  // 65535 - 1 packet + 1 granted
  // A packet whose second half never comes: the credit, then MLC_ERROR 6.
  peer.StartFn([&](peri::Peripheral& p) {
    return p.Send(peri::Bytes(packet.begin(), packet.begin() + 300)) &&
           p.Expect(Command({0x03, 0x80, 0x21, 0x00, 0x01})) && p.Expect(Command({0x7F, 0x06}));
  });
  EXPECT_EQ(next(), 3);
  EXPECT_EQ(dwLength, 294u);
  EXPECT_TRUE(peer.Join()) << peer.failures();
  EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);
  MLCReleasePortHandle(hPort);
}

TEST_F(WaitsTest, ADirectReaderLeavesThePortToPollsBetweenItsCalls) {
  std::vector<BYTE> buffer(0x1000), received;
  DWORD dwLength = (DWORD)buffer.size();
  EXPECT_EQ(RetrieveData(3, buffer.data(), &dwLength), MLC_INVALID_PORT);
  EXPECT_EQ(RetrieveData(0, buffer.data(), &dwLength), MLC_INVALID_HANDLE);  // no channel
  Start(ConfigWith({"4:source:bytes=3000"}));
  WORD hSource = Open(4, 0);  // slot 0, no ring: read with RetrieveData
  WORD hEcho = Open(3, 4096);
  ASSERT_EQ(MLC_CHANNEL_SLOT(hSource), 0);
  ASSERT_NE(hEcho, 0);
  // A buffer one byte short of the largest packet: refused, nothing read.
  dwLength = (DWORD)gTO_HOST_PACKET_SIZE - 1;
  EXPECT_EQ(RetrieveData(0, buffer.data(), &dwLength), MLC_BUFFER_TOO_SMALL);
  EXPECT_EQ(dwLength, 0u);
  auto retrieve = [&] {
    dwLength = (DWORD)buffer.size();
    int iResult = RetrieveData(0, buffer.data(), &dwLength);
    received.insert(received.end(), buffer.begin(), buffer.begin() + dwLength);
    return iResult;
  };
  // The first call grants the source credit; polls leave its packets to the reader.
  int iResult = retrieve();
  EXPECT_TRUE(Eventually([&] {
    MLCPollChannels(0);
    iResult = retrieve();
    return received.size() >= 3000 || (iResult != MLC_PACKET_SUCCESSFUL && iResult != MLC_NO_DATA);
  }));
  EXPECT_NE(iResult, MLC_UNRECOVERABLE_ERROR);
  ASSERT_EQ(received.size(), 3000u);
  for (size_t i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], (BYTE)i) << i;
  // Between the reader's calls the polls serve the other channels.
  ASSERT_EQ(MLCWrite(hEcho, "ping", 4, FALSE, 0), 4);
  EXPECT_TRUE(Eventually([&] {
    MLCPollChannels(0);
    return MLCRead(hEcho, NULL, 0, FALSE, 0) == 4;
  }));
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
}

TEST_F(IdentTest, RecordsAreUsedOnlyAsTheirKindAndWithinTheirBlocks) {
  // A message channel where a stream handle points, as a reset and reopen
  // between a caller's look at the type and its use leave it.
  MakeMessageChannel(2, 3, 8);
  std::vector<BYTE> before(sizeof(MessageChannel));
  CopyMemory(before.data(), LockChannelIdx(0, 0), before.size());
  UnlockChannelIdx(0, 0);
  BYTE abData[16] = {};
  EXPECT_EQ(CopyStreamData(0x80, abData, sizeof abData, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(WriteStreamData(0x80, abData, sizeof abData, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(memcmp(before.data(), LockChannelIdx(0, 0), before.size()), 0);
  UnlockChannelIdx(0, 0);
  // Past the one-slot table and the one-entry socket array: nothing.
  EXPECT_EQ(LockChannelIdx(0, 1), nullptr);
  EXPECT_EQ(GetTypeIdx(0, 0xFF), 0);
  EXPECT_EQ(LockSocketIdx(0, 1), nullptr);
}

TEST_F(IdentTest, HostileCallsLeaveTheLinkAloneAndAStaleHandleOrWaitAddressesNoLaterOpen) {
  Start(PrinterConfig());
  WORD hChannel = Open(3, 4096, MLC_STREAM_CHANNEL, NULL, 0, Ignore);
  // The library's callback window and one with other user data are no wait windows.
  StreamChannel* lpStream = (StreamChannel*)LockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
  HWND hCallBackWnd = HwndFromDword(lpStream->hCallBackWnd);
  UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
  HWND hOther = MakeWindow("IdentTestOther");
  SetWindowLongPtrA(hOther, GWLP_USERDATA, 0x1235);  // no wait state: an odd address
  for (WORD wCode = MLC_READ_STREAM; wCode <= MLC_DISCONNECT; ++wCode) {
    P1284WndProc(hCallBackWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(wCode, 4));
    P1284WndProc(hOther, MLC_NOTIFY_MSG, 0, MAKELPARAM(wCode, 4));
  }
  DestroyWindow(hOther);
  // The wire stays on the MLC channel address while the link is up.
  BYTE bAddress = 0x4E;
  EXPECT_EQ(MLCEscapeCommFunction(hChannel, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, 1, NULL, 0, 0),
            0);
  // A process without a port handle sends nothing and resets no link.
  DWORD hPort = GetHportVal(0);
  while (GetHportVal(0)) MLCReleasePortHandle(hPort);
  BYTE abInfo[8] = {}, abData[4] = {};
  DWORD dwBuffer = 4096;
  WORD hNew = 0;
  for (int iResult :
       {MLCGetSocketInfo(0, 3, abInfo, sizeof abInfo),
        MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwBuffer, &hNew, NULL, 0, 0, NULL, NULL),
        MLCWrite(hChannel, abData, sizeof abData, FALSE, 0),
        MLCRead(hChannel, abData, sizeof abData, FALSE, 0), MLCPingMlc(hChannel),
        MLCCloseChannel(hChannel)})
    EXPECT_EQ(iResult, MLC_PHYSICAL_LINK_FAILURE);
  ASSERT_NE(MLCGetPortHandle(0), 0u);
  EXPECT_TRUE(pPerPortInfo[0].fMlcInitDone);
  char szBack[5] = {};
  EXPECT_EQ(MLCWrite(hChannel, "echo", 5, TRUE, 5000), 5);
  EXPECT_EQ(MLCRead(hChannel, szBack, 5, TRUE, 5000), 5);
  EXPECT_STREQ(szBack, "echo");
  EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
  // The link down, the escape is the port's again.
  EXPECT_NE(MLCEscapeCommFunction(hChannel, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, 1, NULL, 0, 0),
            0);
  // A handle and a blocking read's window kept across a reset reach nothing of
  // the channels opened later in the same slot, by another process or this one.
  hChannel = Open(3, 4096);
  BYTE abWanted[5] = {};
  WaitState state = {WAIT_STREAM_READ, hChannel, abWanted, 0, 0};
  ObtainPPI(0);
  HWND hWnd = CreateWaitWindow(&state, sizeof abWanted);
  ReleasePPI(0);
  ASSERT_NE(hWnd, nullptr);
  StartAllOverAgain(0, FALSE);
  NamedEvent opened("opened"), done("done");
  Child child;
  ASSERT_TRUE(child.Start("reopen 3 " + opened.name + " " + done.name));
  ASSERT_TRUE(opened.WaitSet());
  ASSERT_TRUE(CheckPortAndHsid(0, MLC_CHANNEL_HSID(hChannel)));
  for (int iResult : {MLCWrite(hChannel, abData, sizeof abData, FALSE, 0),
                      MLCRead(hChannel, abData, sizeof abData, FALSE, 0), MLCPingMlc(hChannel),
                      MLCCloseChannel(hChannel)})
    EXPECT_EQ(iResult, MLC_PHYSICAL_LINK_FAILURE);
  SetEvent(done.handle);
  EXPECT_EQ(child.Wait(), 0u);
  WORD hAgain = Open(3, 4096);
  ASSERT_EQ(hAgain, hChannel);
  EXPECT_EQ(MLCWrite(hAgain, "later", 5, TRUE, 5000), 5);
  EXPECT_TRUE(
      Eventually([&] { return MLCPollChannels(FALSE), MLCRead(hAgain, NULL, 0, 0, 0) == 5; }));
  // The event queued for the old wait arrives now.
  P1284WndProc(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(MLC_READ_STREAM, 5));
  EXPECT_EQ(GetWindowWord(hWnd, WAIT_WND_ERROR), 1);
  EXPECT_EQ(MLCRead(hAgain, NULL, 0, FALSE, 0), 5);
  DestroyWaitWindow(hWnd);
  EXPECT_EQ(MLCCloseChannel(hAgain), MLC_SUCCESS);
}

}  // namespace
