// Channels against the emulator: opening and closing, refusals, the slot
// table, socket configuration, and credit in both directions. After every
// test the emulator has seen no host violation and the port area holds no
// block more than before.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <thread>

#include "channel/channel.h"
#include "channel/chanrec.h"
#include "emu_client_support.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "notify/poll.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

const PerPortInfo& Port() { return pPerPortInfo[0]; }

const UINT kAppMsg = WM_USER + 7;

// The disconnections among the messages waiting for hWnd (MLC_WRITE_STREAM comes with any credit).
size_t TakeDisconnects(HWND hWnd) {
  size_t n = 0;
  for (const MSG& m : TakeMessages(hWnd)) n += LOWORD(m.lParam) == 0x103;
  return n;
}

// Runs fn on the locked record of slot 0 under the port's mutex.
template <class Fn>
auto WithStream(Fn fn) {
  ObtainPPI(0);
  StreamChannel* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
  auto result = fn(lpStream);
  if (CheckPortAndHsid(0, 0x80)) UnlockChannelIdx(0, 0);
  ReleasePPI(0);
  return result;
}

// A printer with iCount plain services from socket iFirst on.
emu::EmuConfig Sockets(int iFirst, int iCount) {
  emu::EmuConfig cfg = PrinterConfig();
  cfg.services.assign((size_t)iCount, emu::ServiceSetup{});
  for (int i = 0; i < iCount; ++i) {
    cfg.services[i].psid = (uint8_t)(iFirst + i);
    cfg.services[i].credit = 1;
  }
  return cfg;
}

// This process stands in for the helper (EmuClientTest): the library posts
// its timer requests to that window, and the test reads them.
class ChanTest : public EmuClientTest {
 protected:
  static inline HWND hApp = NULL;
  static inline DWORD dwBaseBlocks = 0;

  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=500\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=500\r\n"
        "MLC_INTER_PACKET_TIME_OUT=60\r\nCreditTimeout=400\r\n");
    hApp = MakeWindow("ChanTestApp", IgnoreClose);
    // The device-ID block outlives the link: count from a link brought up once.
    Printer printer(PrinterConfig());
    StandInHelper();
    MLCInit(0);
    StartAllOverAgain(0, FALSE);
    dwBaseBlocks = PortAreaBlocks();
  }
  void SetUp() override {
    StandInHelper();
    TakeMessages(hHelper_);
    TakeMessages(hApp);
  }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    PerPortInfo* lpPPI = ObtainPPI(0);
    lpPPI->bChannelsAllocated = 0;
    if (lpPPI->hChanPtrArray) {
      FreeMLCCheck(0, lpPPI->hChanPtrArray);
      lpPPI->hChanPtrArray = 0;
    }
    ReleasePPI(0);
    EXPECT_EQ(PortAreaBlocks(), dwBaseBlocks);
    MlcGlobalData* lpMGD = ObtainMGD();
    EXPECT_EQ(lpMGD->wTotalChannelsOpened, 0);
    lpMGD->wTotalChannelsOpened = 0;
    ReleaseMGD();
  }
  static void ExpectClean(Printer& printer) {
    EXPECT_TRUE(printer.Violations().empty())
        << (printer.Violations().empty() ? "" : printer.Violations()[0]);
  }
  static int Open(BYTE bPsid, DWORD dwBuffer, WORD* phChannel, HWND hWnd = NULL, BYTE bType = 1) {
    DWORD dwSize = dwBuffer;
    return MLCOpenChannel(0, bPsid, bType, &dwSize, phChannel, hWnd, kAppMsg, 0x12345, NULL, NULL);
  }
  // A copy of the record of a channel.
  static StreamChannel Stream(WORD hChannel) {
    StreamChannel copy{};
    BYTE bIndex = MLC_CHANNEL_SLOT(hChannel);
    ObtainPPI(0);
    const StreamChannel* lpStream = (const StreamChannel*)LockChannelIdx(0, bIndex);
    if (lpStream) {
      copy = *lpStream;
      UnlockChannelIdx(0, bIndex);
    }
    ReleasePPI(0);
    return copy;
  }
  static int Poll() {
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    return PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, 0);
  }
  // Polls the link until done() holds or dwMs have passed.
  template <class F>
  static bool PollUntil(F done, DWORD dwMs = 5000) {
    for (DWORD dwStart = GetTickCount(); !done(); Sleep(Poll() == MLC_NO_DATA ? 5 : 0))
      if (GetTickCount() - dwStart > dwMs) return false;
    return true;
  }
};

TEST_F(ChanTest, StreamChannelsOpenWithTheirCreditAndCloseDownToMlcExit) {
  Printer printer(PrinterConfig());
  ASSERT_TRUE(printer.runner);
  struct Case {
    BYTE bPsid;
    DWORD dwAsked;
    DWORD dwGranted;
    LONG lCredit;
  } cases[] = {
      {2, 0, 0, 0},        // no receive buffer
      {3, 8192, 8192, 8},  // 8 packets of 1024
      {4, 500, 1024, 1},   // raised to one packet
      {1, 2500, 2500, 2},  // the last 452 bytes are never covered
  };
  std::vector<WORD> handles;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bPsid);
    WORD hChannel = 0;
    DWORD dwSize = c.dwAsked;
    BYTE bStatus = 5;
    ASSERT_EQ(MLCOpenChannel(0, c.bPsid, MLC_STREAM_CHANNEL, c.dwAsked ? &dwSize : NULL, &hChannel,
                             hApp, kAppMsg, 0x12345, NULL, &bStatus),
              1);
    EXPECT_EQ(hChannel, 0x0080 + handles.size());
    EXPECT_EQ(dwSize, c.dwGranted);
    EXPECT_EQ(bStatus, 5);                              // the emulator accepts the level asked for
    EXPECT_GT(+Stream(hChannel).wHostHtoPCredits, 0u);  // from the open reply
    char szOpen[64];
    wsprintfA(szOpen, "MLC_OPEN_CHANNEL hsid=%02X psid=%02X credit=%d", hChannel & 0xFF, c.bPsid,
              (int)c.lCredit);
    EXPECT_EQ(printer.Count(szOpen), 1u) << szOpen;
    handles.push_back(hChannel);
  }
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 1u);
  EXPECT_EQ(printer.Count("H>P MLC_CONFIG_SOCKET "), 4u);
  // The first channel of the machine started the helper's long timer.
  std::vector<MSG> posted = TakeMessages(hHelper_);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, (UINT)HIDDEN_POLL_TIMER);
  EXPECT_EQ(posted[0].wParam, (WPARAM)POLL_TIMER_MAX);

  // A socket asked again reuses its configuration.
  BYTE abInfo[8];
  memset(abInfo, 0xEE, sizeof abInfo);
  EXPECT_EQ(MLCGetSocketInfo(0, 3, abInfo, 4), 1);
  EXPECT_EQ(abInfo[0], 3);
  EXPECT_EQ(abInfo[2], 3);     // the peripheral's revision
  EXPECT_EQ(abInfo[3], 0xEE);  // a field that does not fit whole is left alone
  EXPECT_EQ(MLCGetSocketInfo(0, 3, abInfo, 8), 1);
  WORD wPtoH;
  memcpy(&wPtoH, abInfo + 5, 2);
  EXPECT_EQ(wPtoH, 1024);
  EXPECT_EQ(printer.Count("H>P MLC_CONFIG_SOCKET "), 4u);
  EXPECT_EQ(MLCGetSocketInfo(3, 3, abInfo, 8), MLC_INVALID_PORT);

  // Closing all but one: no MLC_EXIT; a freed slot is taken again first.
  EXPECT_EQ(MLCCloseChannel(handles[0]), 1);
  EXPECT_EQ(MLCCloseChannel(handles[0]), MLC_INVALID_HANDLE);
  WORD hAgain = 0;
  ASSERT_EQ(Open(2, 0, &hAgain, hApp), 1);
  EXPECT_EQ(hAgain, handles[0]);
  EXPECT_EQ(Port().bChannelsAllocated, 4);
  for (WORD h : {hAgain, handles[1], handles[2]}) EXPECT_EQ(MLCCloseChannel(h), 1);
  EXPECT_EQ(printer.Count("H>P MLC_CLOSE_CHANNEL "), 4u);
  EXPECT_EQ(printer.Count("H>P MLC_EXIT"), 0u);
  EXPECT_TRUE(Port().fMlcInitDone);
  // The last one leaves MLC; the client that closed is not told.
  EXPECT_EQ(MLCCloseChannel(handles[3]), 1);
  EXPECT_TRUE(Eventually([&] { return printer.Count("H>P MLC_EXIT") == 1; }));
  EXPECT_FALSE(Port().fMlcInitDone);
  EXPECT_EQ(Port().bSocketInfoCount, 0);
  EXPECT_TRUE(TakeDisconnects(hApp) == 0);
  posted = TakeMessages(hHelper_);
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted[0].wParam, (WPARAM)POLL_TIMER_STOP);

  // The next open brings the link up and configures the socket again.
  StandInHelper();
  WORD hNext = 0;
  ASSERT_EQ(Open(3, 4096, &hNext), 1);
  EXPECT_EQ(hNext, 0x0080);
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 2u);
  EXPECT_EQ(printer.Count("H>P MLC_CONFIG_SOCKET psid=03"), 2u);
  EXPECT_EQ(MLCCloseChannel(hNext), 1);
  ExpectClean(printer);
}

TEST_F(ChanTest, BadArgumentsFailBeforeTheLockAndStaleHandlesAreRefused) {
  Printer printer(PrinterConfig());
  // Another thread holds the port: checks that take no lock still answer.
  HANDLE hHeld = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE hDone = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::thread holder([&] {
    ObtainPPI(0);
    SetEvent(hHeld);
    WaitForSingleObject(hDone, 10000);
    ReleasePPI(0);
  });
  WaitForSingleObject(hHeld, 10000);
  WORD hChannel = 0x4242;
  DWORD dwSize = 4096;
  EXPECT_EQ(MLCOpenChannel(3, 2, 1, &dwSize, &hChannel, NULL, 0, 0, NULL, NULL), MLC_INVALID_PORT);
  EXPECT_EQ(MLCOpenChannel(0x103, 2, 1, &dwSize, &hChannel, NULL, 0, 0, NULL, NULL),
            MLC_INVALID_PORT);
  EXPECT_EQ(MLCOpenChannel(0, 2, 3, &dwSize, &hChannel, NULL, 0, 0, NULL, NULL), MLC_INVALID_TYPE);
  EXPECT_EQ(MLCOpenChannel(0, 2, 0, &dwSize, &hChannel, NULL, 0, 0, NULL, NULL), MLC_INVALID_TYPE);
  EXPECT_EQ(MLCOpenChannel(0, 2, 1, &dwSize, &hChannel, (HWND)(ULONG_PTR)0x7777, 0, 0, NULL, NULL),
            MLC_INVALID_WINDOW);
  EXPECT_EQ(MLCOpenChannel(0, 2, 1, &dwSize, NULL, NULL, 0, 0, NULL, NULL), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCCloseChannel(0x0300), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCCloseChannel(0x007F), MLC_INVALID_HANDLE);
  EXPECT_EQ(hChannel, 0x4242);
  EXPECT_EQ(dwSize, 4096u);
  SetEvent(hDone);
  holder.join();
  for (HANDLE h : {hHeld, hDone}) CloseHandle(h);
  EXPECT_EQ(printer.Count("H>P"), 0u);
  // A handle whose slot was closed, on a link that is down.
  EXPECT_EQ(MLCCloseChannel(0x0080), MLC_INVALID_HANDLE);
}

TEST_F(ChanTest, RefusalsLeaveTheLinkAndOtherChannelsAsTheyWere) {
  Printer printer(PrinterConfig());
  WORD hFirst = 0;
  ASSERT_EQ(Open(2, 2048, &hFirst, hApp), 1);

  // The printer has no socket 9: refused configuration, -5 at once, the
  // link and the open channel stay.
  WORD hChannel = 0;
  EXPECT_EQ(Open(9, 0, &hChannel), MLC_SOCKET_CONFIG_FAILED);
  EXPECT_EQ(Port().bSocketInfoCount, 1);
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 1u);
  EXPECT_TRUE(CheckPortAndHsid(0, (BYTE)hFirst));

  // The printer refuses the channel: -4, the slot is free again, no
  // disconnection is told.
  ASSERT_EQ(printer.runner->AddFault("result=open", nullptr), true);
  EXPECT_EQ(Open(3, 4096, &hChannel, hApp), MLC_NO_CHANNEL);
  EXPECT_EQ(hChannel, 0x0081);
  EXPECT_FALSE(CheckPortAndHsid(0, 0x81));
  EXPECT_EQ(Port().bChannelsUsed, 1);
  EXPECT_TRUE(TakeDisconnects(hApp) == 0);
  // The socket was configured by then and is not configured again.
  WORD hSecond = 0;
  ASSERT_EQ(Open(3, 4096, &hSecond), 1);
  EXPECT_EQ(hSecond, 0x0081);
  EXPECT_EQ(printer.Count("H>P MLC_CONFIG_SOCKET psid=03"), 1u);
  EXPECT_EQ(MLCCloseChannel(hSecond), 1);

  // The printer refuses a close: the channel stays as it was (with the
  // space freed but not granted yet) and the client's: a reset tells it.
  WithStream([](StreamChannel* s) { return s->wAvailBytes = 100; });
  ASSERT_EQ(printer.runner->AddFault("result=close:1", nullptr), true);
  EXPECT_EQ(MLCCloseChannel(hFirst), MLC_CLOSE_FAILED);
  StreamChannel s = Stream(hFirst);
  EXPECT_EQ(+s.fChannelOpen, 1u);
  EXPECT_EQ(+s.fNotifyOnClose, 1u);
  EXPECT_EQ(+s.wAvailBytes, 100);
  EXPECT_TRUE(Port().fMlcInitDone);
  StartAllOverAgain(0, FALSE);
  EXPECT_EQ(TakeDisconnects(hApp), 1u);

  // A refused open of the port's only channel leaves MLC: the next open
  // starts with MLC_INIT again.
  StandInHelper();
  ASSERT_EQ(printer.runner->AddFault("result=open", nullptr), true);
  EXPECT_EQ(Open(2, 0, &hChannel), MLC_NO_CHANNEL);
  EXPECT_FALSE(Port().fMlcInitDone);
  StandInHelper();
  ASSERT_EQ(Open(2, 0, &hChannel), 1);
  EXPECT_EQ(MLCCloseChannel(hChannel), 1);
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 3u);
  EXPECT_EQ(printer.Count("H>P MLC_EXIT"), 2u);
  ExpectClean(printer);
}

// (Results, resets and error codes of every failed exchange are rows of
// the fault matrix; here: what a reset leaves of the port and the machine.)
TEST_F(ChanTest, FailedExchangesResetTheLink) {
  Printer printer(PrinterConfig());
  WORD hOther = 0, hChannel = 0;
  ASSERT_EQ(Open(2, 0, &hOther, hApp), 1);
  // No reply to the open: the link (and the other channel) reset, the table
  // gone, the other channel's client told.
  ASSERT_EQ(printer.runner->AddFault("noreply=open", nullptr), true);
  EXPECT_EQ(Open(3, 4096, &hChannel), MLC_OPEN_FAILED);
  EXPECT_FALSE(Port().fMlcInitDone);
  EXPECT_EQ(Port().hChanPtrArray, 0u);
  EXPECT_EQ(TakeDisconnects(hApp), 1u);

  // No reply to a close: the same, and both channels are counted off the
  // machine (checked after the test).
  StandInHelper();
  ASSERT_EQ(Open(3, 0, &hChannel), 1);
  ASSERT_EQ(Open(2, 0, &hOther, hApp), 1);
  TakeMessages(hApp);
  ASSERT_EQ(printer.runner->AddFault("noreply=close", nullptr), true);
  EXPECT_EQ(MLCCloseChannel(hChannel), MLC_CLOSE_FAILED);
  EXPECT_FALSE(Port().fMlcInitDone);
  EXPECT_EQ(Port().hChanPtrArray, 0u);
  EXPECT_EQ(TakeDisconnects(hApp), 1u);
  EXPECT_EQ(MLCCloseChannel(hChannel), MLC_INVALID_HANDLE);
  ExpectClean(printer);
}

TEST_F(ChanTest, OnePortHas128SlotsUntilItsLinkIsLeft) {
  emu::EmuConfig cfg = Sockets(10, 130);
  cfg.max_channels = 200;
  Printer printer(cfg);
  std::vector<WORD> handles;
  for (int i = 0; i < 128; ++i) {
    WORD hChannel = 0;
    ASSERT_EQ(Open((BYTE)(10 + i), 0, &hChannel), 1) << i;
    handles.push_back(hChannel);
  }
  EXPECT_EQ(handles.back(), 0x00FF);
  WORD hChannel = 0;
  EXPECT_EQ(Open(138, 0, &hChannel), MLC_NO_CHANNEL);
  size_t cbOpens = printer.Count("H>P MLC_OPEN_CHANNEL ");
  // A free slot does not help while the link stays up.
  EXPECT_EQ(MLCCloseChannel(handles[5]), 1);
  EXPECT_EQ(Open(138, 0, &hChannel), MLC_NO_CHANNEL);
  EXPECT_EQ(printer.Count("H>P MLC_OPEN_CHANNEL "), cbOpens);
  for (size_t i = 0; i < handles.size(); ++i)
    if (i != 5) {
      EXPECT_EQ(MLCCloseChannel(handles[i]), 1);
    }
  // Once the link was left, the next one starts with a new table.
  StandInHelper();
  ASSERT_EQ(Open(138, 0, &hChannel), 1);
  EXPECT_EQ(hChannel, 0x0080);
  EXPECT_EQ(Port().bChannelsAllocated, 1);
  EXPECT_EQ(MLCCloseChannel(hChannel), 1);
  ExpectClean(printer);
}

// Sum of the credit the host granted in MLC_CREDIT on host socket 0x80.
long GrantedCredit(Printer& printer) {
  long lSum = 0;
  for (const std::string& line : printer.trace.Matching("H>P MLC_CREDIT hsid=80")) {
    size_t at = line.find("credit=");
    if (at != std::string::npos) lSum += atol(line.c_str() + at + 7);
  }
  return lSum;
}

TEST_F(ChanTest, GrantsReturnExactlyTheSpaceReadersFreed) {
  Printer printer(PrinterConfig());  // socket 4 sends 65536 bytes after the open
  WORD hChannel = 0;
  ASSERT_EQ(Open(4, 8192, &hChannel), 1);
  auto grant = [&] {
    return WithStream([](StreamChannel* s) { return GrantAnyCredits(NULL, s); });
  };
  std::vector<BYTE> received(65536);
  DWORD cbReceived = 0;
  auto read = [&](int cb) {
    int iRead = MLCRead(hChannel, received.data() + cbReceived, cb, 0, 0);
    if (iRead > 0) cbReceived += (DWORD)iRead;
    return iRead;
  };
  // The books: what is stored, what is freed and what the printer may still
  // send always add up to the ring's worth of credit, and the printer's own
  // count of its credit never exceeds ours (packets may be on the wire).
  auto books = [&] {
    StreamChannel s = Stream(hChannel);
    EXPECT_EQ(s.wLength + s.wAvailBytes + 1024 * s.wPeriPtoHCredits, 8192);
    long lEmu = printer.runner->With([](emu::Peripheral& p) {
      const emu::ChannelBook* lpBook = p.channel(0x80);
      return lpBook ? (long)lpBook->peri_credit : -1L;
    });
    EXPECT_LE(lEmu, (long)s.wPeriPtoHCredits);
    return lEmu == (long)s.wPeriPtoHCredits;
  };
  ASSERT_TRUE(PollUntil([&] { return Stream(hChannel).wLength == 8192; }));
  EXPECT_TRUE(books());
  EXPECT_EQ(+Stream(hChannel).wPeriPtoHCredits, 0);
  // Half the ring freed: below the batch of 6 packets, nothing goes back.
  ASSERT_EQ(read(4096), 4096);
  EXPECT_EQ(grant(), 0);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid"), 0u);
  EXPECT_EQ(+Stream(hChannel).wAvailBytes, 4096);
  ASSERT_EQ(read(2048), 2048);
  EXPECT_EQ(grant(), 0);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid=80 psid=04 credit=6"), 1u);
  EXPECT_EQ(+Stream(hChannel).wAvailBytes, 0);

  // The rest in odd pieces: every grant is whole packets of freed space.
  ASSERT_TRUE(PollUntil(
      [&] {
        read(777);
        EXPECT_NE(grant(), MLC_UNRECOVERABLE_ERROR);
        books();
        return cbReceived == received.size();
      },
      20000));
  for (DWORD i = 0; i < cbReceived; ++i) ASSERT_EQ(received[i], (BYTE)i) << i;
  grant();
  StreamChannel s = Stream(hChannel);
  EXPECT_EQ(+s.wLength, 0);
  EXPECT_LT(+s.wAvailBytes, 1024 * 6);
  EXPECT_EQ(GrantedCredit(printer) * 1024 + s.wAvailBytes, 65536);
  EXPECT_TRUE(books());
  EXPECT_EQ(MLCCloseChannel(hChannel), 1);
  ExpectClean(printer);
}

TEST_F(ChanTest, ThePollStopsGrantingAtTheFirstFailedGrant) {
  Printer printer(PrinterConfig());
  WORD hSource = 0, hEcho = 0;
  ASSERT_EQ(Open(4, 8192, &hSource), 1);  // sends 64 KiB after the open
  ASSERT_EQ(Open(3, 8192, &hEcho), 1);
  std::vector<BYTE> job(8192, 0x42), back(8192);
  // Two packets of 4096 come back as eight of 1024: the ring's credit.
  for (int i = 0; i < 2; ++i) ASSERT_EQ(MLCWrite(hEcho, job.data(), 4096, 0, 0), 4096);
  PollUntil([&] { return Stream(hSource).wLength == 8192 && Stream(hEcho).wLength == 8192; });
  for (WORD h : {hSource, hEcho}) ASSERT_EQ(MLCRead(h, back.data(), 8192, 0, 0), 8192);
  // The printer refuses the first grant: the poll reports it and neither
  // grants the other channel nor reads the port.
  ASSERT_EQ(printer.runner->AddFault("result=credit", nullptr), true);
  MLCResetPollStats(0);
  BOOL fIdle = FALSE, fPolled = FALSE;
  EXPECT_EQ(PollOnePort(0, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled), MLC_UNRECOVERABLE_ERROR);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid"), 1u);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid=81"), 0u);
  EXPECT_FALSE(fPolled);
  // The next poll grants both, the refused space included.
  EXPECT_NE(PollOnePort(0, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled), MLC_UNRECOVERABLE_ERROR);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid=80 psid=04 credit=8"), 2u);
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT hsid=81 psid=03 credit=8"), 1u);
  for (WORD h : {hSource, hEcho}) EXPECT_EQ(MLCCloseChannel(h), 1);
  ExpectClean(printer);
}

TEST_F(ChanTest, AWriterOutOfCreditIsWokenByThePrintersGrant) {
  emu::EmuConfig cfg = PrinterConfig();
  std::string error;
  for (emu::ServiceSetup& service : cfg.services)
    if (service.psid == 2) {
      ASSERT_TRUE(emu::ParseService("2:sink:drain=4000,credit=1", &service, &error));
    }
  Printer printer(cfg);
  WORD hChannel = 0;
  ASSERT_EQ(Open(2, 0, &hChannel, hApp), 1);
  std::vector<BYTE> job(4102, 0x5A);
  ASSERT_EQ(MLCWrite(hChannel, job.data(), (int)job.size(), 0, 0), 4102);
  EXPECT_EQ(+Stream(hChannel).wHostHtoPCredits, 0u);
  TakeMessages(hApp);

  // The sink is full: the request brings nothing, the writer waits for
  // MLC_CREDIT, pinging every CreditTimeout (400 ms) while the sink drains
  // its packet (about a second).
  EXPECT_EQ(WithStream([](StreamChannel* s) { return RequestStreamCredits(s); }), 0);
  EXPECT_EQ(+Stream(hChannel).fRequestedCredits, 1u);
  DWORD dwStart = GetTickCount();
  while (Stream(hChannel).wHostHtoPCredits == 0 && GetTickCount() - dwStart < 5000) {
    ASSERT_EQ(WithStream([](StreamChannel* s) { return RequestStreamCredits(s); }), 0);
    Sleep(5);
  }
  StreamChannel s = Stream(hChannel);
  EXPECT_EQ(+s.wHostHtoPCredits, 1u);
  EXPECT_EQ(+s.fRequestedCredits, 0u);
  std::vector<MSG> posted = TakeMessages(hApp);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, kAppMsg);
  EXPECT_EQ(posted[0].lParam, MAKELPARAM(0x101, 0));
  EXPECT_EQ(printer.Count("H>P MLC_CREDIT_REQUEST hsid=80 psid=02 credit=65535"), 1u);
  EXPECT_GE(printer.Count("H>P MLC_CREDIT hsid=80 psid=02 credit=0 "), 1u);
  EXPECT_EQ(MLCCloseChannel(hChannel), 1);
  ExpectClean(printer);
}

TEST_F(ChanTest, LimitsOfTheRecordsAreRefusedOrCutDown) {
  emu::EmuConfig cfg = Sockets(0, 256);
  cfg.max_ptoh = 6 + 16;  // 16-byte packets to the host: one credit is 16 bytes
  Printer printer(cfg);
  // A receive buffer whose credit would not fit the open packet is cut to
  // the largest that does; the caller is told the size.
  WORD hChannel = 0;
  DWORD dwSize = 2 * 1024 * 1024;
  ASSERT_EQ(MLCOpenChannel(0, 7, 1, &dwSize, &hChannel, NULL, 0, 0, NULL, NULL), 1);
  EXPECT_EQ(dwSize, 65535u * 16);
  EXPECT_EQ(printer.Count("MLC_OPEN_CHANNEL hsid=80 psid=07 credit=65535"), 1u);
  EXPECT_EQ(+Stream(hChannel).wPtoHMark, 3 * 65535 / 4);
  // 255 socket configurations fit the count; the next one is refused.
  BYTE abInfo[8];
  for (int i = 0; i < 255; ++i) ASSERT_EQ(MLCGetSocketInfo(0, (DWORD)i, abInfo, 8), 1) << i;
  EXPECT_EQ(Port().bSocketInfoCount, 255);
  EXPECT_EQ(MLCGetSocketInfo(0, 255, abInfo, 8), MLC_NO_MEMORY);
  EXPECT_EQ(abInfo[7], 0xFF);  // the status level it asks for
  EXPECT_EQ(MLCCloseChannel(hChannel), 1);
  ExpectClean(printer);
}

TEST_F(ChanTest, WithoutAPrinterTheOpenFailsAndStopsTheHelper) {
  WORD hChannel = 0;
  EXPECT_EQ(Open(2, 0, &hChannel), MLC_INIT_FAILED);
  EXPECT_EQ(Port().bChannelsUsed, 0);
  EXPECT_EQ(Port().hChanPtrArray, 0u);
  EXPECT_FALSE(SetupDone());  // asked to close
  std::vector<MSG> posted = TakeMessages(hHelper_);
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted.back().message, (UINT)WM_CLOSE);
}

}  // namespace
