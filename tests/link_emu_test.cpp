// The link layer against two far sides: the emulator for whole exchanges
// and its faults, and a raw peripheral for packets the emulator never sends.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "link_emu_support.h"
#include "notify/hidden.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"
#include "vperi.h"

namespace {

const PerPortInfo& Port() { return pPerPortInfo[0]; }

class LinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                  "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=1000\r\n"
                  "MLC_PACKET_TIMEOUT_WHILE_BUSY=1000\r\nMLC_INTER_PACKET_TIME_OUT=60\r\n");
    LoadIniValues();
    MLCSetup(NULL);  // no helper window: nothing to start or stop
  }
  // A bring-up after a reset that cleared the setup starts the real helper:
  // it is stopped here, or it would outlive the test program.
  static void TearDownTestSuite() {
    MLCSetPMLInitDeInitEvent();
    KillHiddenExe();
  }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    ObtainPPI(0)->lLastLinkError = 0;
    ReleasePPI(0);
    g_bDoMlcSync = 0;
  }
  static void ExpectLinkDown() {
    EXPECT_FALSE(Port().fMlcInitDone);
    EXPECT_EQ(Port().hChanPtrArray, 0u);
    EXPECT_EQ(Port().bChannelsAllocated, 0);
    EXPECT_EQ(Port().bLastMlcCommand, NO_COMMAND);
  }
  static void SetLink(BOOL fInitDone, BYTE bLastCommand) {
    PerPortInfo* lpPPI = ObtainPPI(0);
    lpPPI->fMlcInitDone = fInitDone;
    lpPPI->bLastMlcCommand = bLastCommand;
    ReleasePPI(0);
  }
  // A socket entry just made, its MLC_CONFIG_SOCKET outstanding.
  static void ConfigWaiting() {
    PerPortInfo* lpPPI = ObtainPPI(0);
    lpPPI->hSocketInfoArray = AllocMLCCheck(0, sizeof(SocketInfo));
    auto* lpSocket = (SocketInfo*)LockMLCCheck(0, lpPPI->hSocketInfoArray);
    memset(lpSocket, 0, sizeof *lpSocket);
    lpSocket->bPsid = 2;
    UnlockMLCCheck(0, lpPPI->hSocketInfoArray);
    lpPPI->bSocketInfoCount = 1;
    ReleasePPI(0);
    SetLink(TRUE, MLC_CONFIG_SOCKET);
  }
  static int Poll(BYTE bContext = 0) {
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    return PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, bContext);
  }
};

TEST_F(LinkTest, BringUpOverTheEmulatorHappensOnce) {
  Printer printer(PrinterConfig());
  ASSERT_TRUE(printer.runner);
  EXPECT_EQ(MLCInit(0), 1);
  EXPECT_TRUE(Port().fMlcInitDone);
  EXPECT_EQ(Port().bPeerRevision, 3);
  EXPECT_EQ(Port().bLastMlcCommand, NO_COMMAND);
  EXPECT_EQ(MLCInit(0), 1);
  EXPECT_EQ(MLCInit(3), MLC_INVALID_PORT);
  Sleep(50);
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 1u);
  EXPECT_EQ(MLCCompareDevID(0, "COMMAND SET", "CMD", "PJL"), 0);
  EXPECT_EQ(MLCCompareDevID(0, "COMMAND SET", "CMD", "mlc"), MLC_DEVICE_ID_MISMATCH);
  EXPECT_TRUE(printer.Violations().empty());
}

TEST_F(LinkTest, BringUpRefusesWhatCannotCarryMlc) {
  struct Case {
    const char* lpszId;
    int iIdLength;  // -1: the truth
    DWORD dwCaps;
    int iResult;
    LONG lLastError;  // checked when not 1
  } cases[] = {
      {"MFG:X;CMD:PCL,MLC;", -1, 4, 1, 1},
      {"MFG:X;COMMAND SET:MLC;", -1, 4, 1, 1},
      {"MFG:X;CMD:PCL;", -1, 4, MLC_INIT_FAILED, 1},
      {"MFG:X;CMD:PCL;COMMAND SET:MLC;", -1, 4, MLC_INIT_FAILED, 1},  // first key decides
      {"MFG:X;CMD:MLC;", 300, 4, MLC_PHYSICAL_LINK_FAILURE, 1},       // claims more than came
      {"MFG:X;CMD:MLC;", 2, 4, MLC_INIT_FAILED, 1},                   // no text at all
      {"MFG:X;CMD:MLC;", -1, 0, MLC_INIT_FAILED, -72},                // no ECP
      {"MFG:X,CMD:MLC", -1, 4, MLC_INIT_FAILED, 1},                   // keys end at ';' only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpszId);
    emu::EmuConfig cfg = PrinterConfig();
    cfg.device_id = c.lpszId;
    cfg.id_length = c.iIdLength;
    cfg.capabilities = c.dwCaps;
    Printer printer(cfg);
    EXPECT_EQ(MLCInit(0), c.iResult);
    EXPECT_EQ(Port().fMlcInitDone, c.iResult == 1);
    if (c.lLastError != 1) {
      EXPECT_EQ(MLCGetLastLinkError(0, 0), c.lLastError);
    }
    EXPECT_TRUE(printer.Violations().empty());
    StartAllOverAgain(0, FALSE);
  }
}

TEST_F(LinkTest, FailedInitLeavesTheLinkDownAndTheNextSucceeds) {
  for (const char* lpszFault : {"noreply=init", "result=init:1", "late=init:1500"}) {
    SCOPED_TRACE(lpszFault);
    Printer printer(PrinterConfig(lpszFault));
    EXPECT_EQ(MLCInit(0), MLC_INIT_FAILED);
    EXPECT_FALSE(Port().fMlcInitDone);
    if (strncmp(lpszFault, "late", 4) == 0) Sleep(600);  // let the late reply pass
    EXPECT_EQ(MLCInit(0), 1);
    EXPECT_TRUE(Port().fMlcInitDone);
    EXPECT_TRUE(printer.Violations().empty());
    StartAllOverAgain(0, FALSE);
  }
}

// A process that dies inside an exchange leaves its command outstanding (and
// perhaps a busy mark): the next bring-up must not trust that link.
TEST_F(LinkTest, BringUpAfterAnInterruptedExchangeStartsClean) {
  Printer printer(PrinterConfig());
  ASSERT_EQ(MLCInit(0), 1);
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->bLastMlcCommand = MLC_OPEN_CHANNEL;
  lpPPI->dwBusyFlags = BUSY_START_ALL_OVER;
  ReleasePPI(0);
  EXPECT_EQ(MLCInit(0), 1);
  EXPECT_EQ(Port().dwBusyFlags, 0u);
  EXPECT_EQ(Port().bLastMlcCommand, NO_COMMAND);
  Sleep(50);
  EXPECT_EQ(printer.Count("H>P MLC_INIT "), 2u);
  EXPECT_TRUE(printer.Violations().empty());
}

TEST_F(LinkTest, SynchBytesGoFirstOnTheirOwnChannel) {
  RawPeripheral peri;
  g_bDoMlcSync = 1;
  int iResult = 0;
  std::thread init([&] { iResult = MLCInit(0); });
  std::vector<BYTE> addresses;
  Bytes wire = peri.Take(2000, &addresses, 12);
  peri.Send(CommandPacket({0x80, 0x00, 0x03}));
  init.join();
  EXPECT_EQ(iResult, 1);
  EXPECT_EQ(wire, (Bytes{0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0x00, 0x03}));
  EXPECT_EQ(addresses,
            (Bytes{0x4E, 0x4E, 0x4E, 0x4E, 0x4D, 0x4D, 0x4D, 0x4D, 0x4D, 0x4D, 0x4D, 0x4D}));
}

// Every protocol error the link can see without the data paths: the host
// sends MLC_ERROR with the code, drops the link and keeps no block.
TEST_F(LinkTest, ProtocolErrorsAreReportedAndResetTheLink) {
  struct Case {
    const char* lpszWhat;
    void (*pfnSetUp)();
    Bytes bytes;
    BYTE bContext;
    BYTE bCode;
  } cases[] = {
      {"no command byte", [] { SetLink(TRUE, NO_COMMAND); }, CommandPacket({}), 0, 0},
      {"message credit past 65535", [] { MakeMessageChannel(2, 65530); },
       CommandPacket({0x03, 0x80, 2, 0x01, 10}), 0, 3},
      {"message header credit past 65535",
       [] { MakeMessageChannel(2, 65535, 8); },
       {0x80, 2, 0, 7, 1, 0, 'x'},
       0,
       3},
      {"credit for no channel", [] { SetLink(TRUE, NO_COMMAND); },
       CommandPacket({0x03, 0x81, 2, 0, 1}), 0, 7},
      {"data for no channel", [] { SetLink(TRUE, NO_COMMAND); }, {0x81, 2, 0, 7, 0, 0, 'x'}, 0, 7},
      {"data longer than the socket's packets",
       [] { MakeStreamChannel(2, 0, 32, 8); },
       {0x80, 2, 0, 15, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
       0,
       5},
      {"data without room in the ring",
       [] { MakeStreamChannel(2, 0, 32, 8, 30); },
       {0x80, 2, 0, 9, 0, 0, 1, 2, 3},
       0,
       1},
      {"data past the peripheral's credit",
       [] {
         MakeStreamChannel(2, 0, 32, 8);
         auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
         lpStream->wPeriPtoHCredits = 0;
         UnlockChannelIdx(0, 0);
       },
       {0x80, 2, 0, 7, 0, 0, 1},
       0,
       1},
      {"data on a channel without a ring",
       [] { MakeStreamChannel(2, 0, 0, 8); },
       {0x80, 2, 0, 7, 0, 0, 1},
       0,
       1},
      {"data from the wrong peripheral socket",
       [] { MakeStreamChannel(2, 0, 32, 8); },
       {0x80, 3, 0, 7, 0, 0, 1},
       0,
       7},
      {"data cut short",
       [] { MakeStreamChannel(2, 0, 32, 8); },
       {0x80, 2, 0, 10, 0, 0, 1, 2},
       0,
       6},
      {"socket sizes without room for a payload byte", [] { ConfigWaiting(); },
       CommandPacket({0x87, 0, 0, 6, 0, 10, 0}), 0, 0},
      {"socket sizes above the host's proposal", [] { ConfigWaiting(); },
       CommandPacket({0x87, 0, 0x10, 0x0D, 0, 10, 0}), 0, 0},
      {"waiting channel has no record", [] { SetLink(TRUE, MLC_CREDIT); }, CommandPacket({0x83, 0}),
       0x85, 13},
      {"credit request reply for no channel", [] { SetLink(TRUE, MLC_CREDIT_REQUEST); },
       CommandPacket({0x84, 0, 0, 5}), 0, 255},
  };
  RawPeripheral peri;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpszWhat);
    DWORD dwBlocks = PortAreaBlocks();
    c.pfnSetUp();
    peri.Send(c.bytes);
    EXPECT_EQ(Poll(c.bContext), MLC_UNRECOVERABLE_ERROR);
    EXPECT_EQ(peri.Take(), CommandPacket({0x7F, c.bCode}));
    ExpectLinkDown();
    EXPECT_LE(PortAreaBlocks(), dwBlocks);
  }
}

TEST_F(LinkTest, OnlyOneErrorPerLink) {
  RawPeripheral peri;
  SetLink(TRUE, NO_COMMAND);
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->dwBusyFlags |= BUSY_START_ALL_OVER;  // keep the link: look at the second error
  EXPECT_TRUE(SendErrorPacket(0, 6, FALSE));
  EXPECT_TRUE(SendErrorPacket(0, 2, FALSE));
  lpPPI->dwBusyFlags &= ~(DWORD)BUSY_START_ALL_OVER;
  ReleasePPI(0);
  EXPECT_EQ(peri.Take(), CommandPacket({0x7F, 6}));
  EXPECT_EQ(Port().bLastMlcCommand, MLC_ERROR);
}

TEST_F(LinkTest, PeripheralCommandsAreAnswered) {
  RawPeripheral peri;
  DWORD dwBlocks = PortAreaBlocks();
  MakeStreamChannel(2, 4);
  ASSERT_EQ(PortAreaBlocks(), dwBlocks + 2);  // the count sees the table and the record
  auto credits = [] {
    auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
    DWORD dwCredits = lpStream->wHostHtoPCredits;
    UnlockChannelIdx(0, 0);
    return dwCredits;
  };
  peri.Send(CommandPacket({0x03, 0x80, 2, 0, 3}));
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(peri.Take(), CommandPacket({0x83, 0}));
  EXPECT_EQ(credits(), 7u);

  peri.Send(CommandPacket({0x03, 0x80, 5, 0, 3}));  // not the channel's socket
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(peri.Take(), CommandPacket({0x83, 3}));
  EXPECT_EQ(credits(), 7u);

  peri.Send(CommandPacket({0x05, 0x80, 2, 0, 10}));  // takes what there is
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(peri.Take(), CommandPacket({0x86, 0, 0, 7}));
  EXPECT_EQ(credits(), 0u);

  peri.Send(CommandPacket({0x05, 0x81, 2, 0, 10}));  // no such channel: refused, no error
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(peri.Take(), CommandPacket({0x86, 1, 0, 0}));

  peri.Send(CommandPacket({0x04, 0x80, 2, 0, 9}));
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(peri.Take(), CommandPacket({0x84, 0, 0, 0}));

  peri.Send(CommandPacket({0x06}));
  EXPECT_EQ(Poll(), MLC_PACKET_REFUSED);
  EXPECT_EQ(peri.Take(), CommandPacket({0x86, 0xFF}));
  EXPECT_TRUE(Port().fMlcInitDone);

  peri.Send(CommandPacket({0x7F, 6}));  // the peripheral gives up: no answer, link dropped
  EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR);
  EXPECT_TRUE(peri.Take().empty());
  ExpectLinkDown();
  EXPECT_EQ(PortAreaBlocks(), dwBlocks);
}

TEST_F(LinkTest, StreamDataWrapsAroundTheRingAndEveryPacketSpendsACredit) {
  RawPeripheral peri;
  DWORD dwBlocks = PortAreaBlocks();
  MakeStreamChannel(2, 0, 8, 6, 6);  // 6 bytes waiting, the next store starts at 6
  struct Books {
    LONG lWritePos, lLength, lAvail, lPeriCredits;
    DWORD dwHostCredits;
    std::string tail;
  };
  auto books = [] {
    auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
    const BYTE* lpRing = (const BYTE*)LockMLCCheck(0, lpStream->hBuffer);
    Books b{lpStream->lWritePos,        lpStream->wLength,
            lpStream->wAvailBytes,      lpStream->wPeriPtoHCredits,
            lpStream->wHostHtoPCredits, std::string((const char*)lpRing + 6, 2)};
    UnlockMLCCheck(0, lpStream->hBuffer);
    UnlockChannelIdx(0, 0);
    return b;
  };
  auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
  lpStream->wPeriPtoHCredits = 2;
  UnlockChannelIdx(0, 0);
  peri.Send({0x80, 2, 0, 6 + 2, 1, 0, 'a', 'b'});  // fills the ring to its end
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  Books b = books();
  EXPECT_EQ(b.lWritePos, 0);
  EXPECT_EQ(b.lLength, 8);
  EXPECT_EQ(b.lAvail, 6 - 2);  // the unused part of the packet's credit
  EXPECT_EQ(b.lPeriCredits, 1);
  EXPECT_EQ(b.dwHostCredits, 1u);  // piggy-backed
  EXPECT_EQ(b.tail, "ab");
  EXPECT_TRUE(peri.Take(20).empty());

  // An empty packet stores nothing but spends its credit (the whole packet's
  // space is free for the next grant) and brings its piggy-backed credit.
  peri.Send({0x80, 2, 0, 6, 2, 0});
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  b = books();
  EXPECT_EQ(b.lLength, 8);
  EXPECT_EQ(b.lAvail, 4 + 6);
  EXPECT_EQ(b.lPeriCredits, 0);
  EXPECT_EQ(b.dwHostCredits, 3u);
  EXPECT_TRUE(peri.Take(20).empty());
  StartAllOverAgain(0, FALSE);
  EXPECT_EQ(PortAreaBlocks(), dwBlocks);
}

TEST_F(LinkTest, ASocketReplyGoesToTheNewestSocketEntry) {
  RawPeripheral peri;
  ConfigWaiting();  // sizes less the header
  peri.Send(CommandPacket({0x87, 0, 0x04, 0x06, 0x01, 0x06, 7}));
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CONFIG_SOCKET_REPLY, TRUE, 1000), 0);
  auto* lpSocket = (const SocketInfo*)LockMLCCheck(0, Port().hSocketInfoArray);
  SocketInfo socket = *lpSocket;
  UnlockMLCCheck(0, Port().hSocketInfoArray);
  EXPECT_EQ((int)socket.wHtoPPacketSize, 0x400);
  EXPECT_EQ((int)socket.wPtoHPacketSize, 0x100);
  EXPECT_EQ((int)socket.bStatusLevel, 7);
  EXPECT_TRUE(peri.Take(20).empty());
}

TEST_F(LinkTest, PingAndLastErrorCheckTheirArguments) {
  Printer printer(PrinterConfig());
  ASSERT_EQ(MLCInit(0), 1);
  EXPECT_EQ(MLCPingVcomm(0x0080), MLC_INVALID_HANDLE);  // no channel yet
  EXPECT_EQ(MLCPingVcomm(0x0380), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCGetLastLinkError(5, 0), 0);
  EXPECT_EQ(MLCGetLastLinkError(0, 0x007F), MLC_INVALID_HANDLE);
  EXPECT_TRUE(PingVcomm(0));
  EXPECT_TRUE(Port().fMlcInitDone);
  EXPECT_FALSE(PingVcomm(3));

  printer.runner->Stop();  // the connection breaks
  EXPECT_TRUE(PingVcomm(0));
  EXPECT_NE(MLCGetLastLinkError(0, 0), 0);
  ExpectLinkDown();
}

TEST_F(LinkTest, PingMlcProbesWithAGrantOfNoCredit) {
  RawPeripheral peri;
  MakeStreamChannel(2, 0);
  EXPECT_EQ(MLCPingMlc(0x0081), MLC_INVALID_HANDLE);
  EXPECT_EQ(MLCPingMlc(0x0380), MLC_INVALID_HANDLE);

  SetLink(TRUE, MLC_OPEN_CHANNEL);  // another command awaits its reply: nothing sent
  EXPECT_EQ(MLCPingMlc(0x0080), 0);
  EXPECT_TRUE(peri.Take(20).empty());

  SetLink(TRUE, NO_COMMAND);
  peri.Send(CommandPacket({0x83, 0}));  // read only after the probe went out
  EXPECT_EQ(MLCPingMlc(0x0080), 1);
  EXPECT_EQ(peri.Take(), CommandPacket({0x03, 0x80, 2, 0, 0}));
  EXPECT_TRUE(Port().fMlcInitDone);
  EXPECT_EQ(Port().bLastMlcCommand, NO_COMMAND);

  EXPECT_EQ(MLCPingMlc(0x0080), 1);  // silence: MLC_ERROR 6 and the link dropped
  Bytes expected = CommandPacket({0x03, 0x80, 2, 0, 0});
  Bytes error = CommandPacket({0x7F, 6});
  expected.insert(expected.end(), error.begin(), error.end());
  EXPECT_EQ(peri.Take(), expected);
  ExpectLinkDown();
}

TEST_F(LinkTest, DeviceIdNeverOverrunsTheCallersBuffer) {
  const std::string text = "MFG:X;CMD:MLC;";
  RawPeripheral peri(text);
  const int iText = (int)text.size();
  struct Case {
    int iLength;
    int iResult;
    std::string expect;
  } cases[] = {
      {1, MLC_BUFFER_TOO_SMALL, ""},
      {2, MLC_BUFFER_TOO_SMALL, ""},
      {iText, MLC_BUFFER_TOO_SMALL, text.substr(0, iText - 2)},
      {iText + 1, iText, text},
  };
  // Without a handle of the port the ID is read by name; the text alone is
  // kept for later callers.
  DWORD hPort = GetHportVal(0);
  ASSERT_TRUE(MLCReleasePortHandle(hPort));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iLength);
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(MLCGetDeviceId(0, buffer, c.iLength), c.iResult);
    EXPECT_EQ(std::string(buffer), c.expect);
    EXPECT_EQ(buffer[c.iLength], 'Z');
  }
  char sentinel = 'Z';
  EXPECT_EQ(MLCGetDeviceId(0, &sentinel, 0), MLC_BUFFER_TOO_SMALL);
  EXPECT_EQ(sentinel, 'Z');
  EXPECT_EQ(MLCGetDeviceId(0, NULL, 10), MLC_BUFFER_TOO_SMALL);
  EXPECT_EQ(MLCGetDeviceId(3, &sentinel, 1), MLC_INVALID_PORT);
  EXPECT_EQ(MLCCompareDevID(0, "CMD", NULL, "MLC"), 0);  // opened just for the call
  ASSERT_NE(MLCGetPortHandle(0), 0u);

  // With a handle the stored text is handed out.
  char buffer[64];
  EXPECT_EQ(MLCGetDeviceId(0, buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), text);
  EXPECT_EQ(MLCGetDeviceId(0, buffer, iText), MLC_BUFFER_TOO_SMALL);

  // A handle but nothing read yet: read from the device, not an empty answer.
  PerPortInfo* lpPPI = ObtainPPI(0);
  FreeMLCCheck(0, lpPPI->hDeviceID);
  lpPPI->hDeviceID = 0;
  ReleasePPI(0);
  EXPECT_EQ(MLCGetDeviceId(0, buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), text);

  // Length bytes that count less than themselves and one character: no ID.
  const BYTE abShort[] = {0, 2, 'x'};
  VPERI_SetDeviceId(peri.hPeri, abShort, sizeof abShort);
  lpPPI = ObtainPPI(0);
  FreeMLCCheck(0, lpPPI->hDeviceID);
  lpPPI->hDeviceID = 0;
  ReleasePPI(0);
  EXPECT_EQ(MLCGetDeviceId(0, buffer, sizeof buffer), MLC_NO_DEVICE_ID);
  EXPECT_EQ(MLCCompareDevID(0, "CMD", NULL, "MLC"), MLC_PHYSICAL_LINK_FAILURE);
}

}  // namespace
