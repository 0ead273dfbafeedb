// The link layer against two far sides: the emulator for whole bring-ups,
// and the scripted peripheral for packets the emulator never sends.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <thread>

#include "channel/chanrec.h"
#include "link_emu_support.h"
#include "link_testbed.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

class LinkEmu : public LinkTest {
 protected:
  LinkEmu() { fScript_ = false; }
};

void SetLink(BOOL fInitDone, BYTE bLastCommand) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->fMlcInitDone = fInitDone;
  lpPPI->bLastMlcCommand = bLastCommand;
  ReleasePPI(0);
}

void SetPeriCredits(WORD wCredits) {
  ((StreamChannel*)LockChannelIdx(0, 0))->wPeriPtoHCredits = wCredits;
  UnlockChannelIdx(0, 0);
}

// A socket entry just made for socket 2, its MLC_CONFIG_SOCKET outstanding.
void ConfigWaiting() {
  MakeStreamChannel(2, 0, 0, 8);
  SetLink(TRUE, MLC_CONFIG_SOCKET);
}

}  // namespace

// A second MLC_INIT would fail.
TEST_F(LinkEmu, BringUpHappensOnceAndOnlyForADeviceIdThatAnnouncesMlc) {
  const struct {
    const char* lpszId;  // NULL: the emulator's own
    int iIdLength;       // -1: the truth
    int iResult;
  } kCases[] = {
      {NULL, -1, 1},
      {"MFG:X;COMMAND SET:MLC;", -1, 1},
      {"MFG:X;CMD:PCL;COMMAND SET:MLC;", -1, MLC_INIT_FAILED},  // the first key decides
      {"MFG:X;CMD:MLC;", 2, MLC_INIT_FAILED},                   // no text at all
      {"MFG:X,CMD:MLC", -1, MLC_INIT_FAILED},                   // keys end at ';' only
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lpszId ? c.lpszId : "emulator");
    emu::EmuConfig cfg = PrinterConfig("noreply=init#2");
    if (c.lpszId) cfg.device_id = c.lpszId;
    cfg.id_length = c.iIdLength;
    Printer printer(cfg);
    EXPECT_EQ(MLCInit(0), c.iResult);
    EXPECT_EQ(MLCInit(0), c.iResult);
    EXPECT_EQ(pPerPortInfo[0].fMlcInitDone, c.iResult == 1);
    EXPECT_TRUE(printer.Violations().empty());
    if (!c.lpszId) {
      EXPECT_EQ(MLCCompareDevID(0, "COMMAND SET", "CMD", "PJL"), 0);
      EXPECT_EQ(MLCCompareDevID(0, "COMMAND SET", "CMD", "mlc"), MLC_DEVICE_ID_MISMATCH);
    }
    StartAllOverAgain(0, FALSE);
  }
}

// A process that died inside an exchange left its command and a busy mark:
// the next bring-up does not trust that link.
TEST_F(LinkEmu, BringUpAfterAnInterruptedExchangeStartsClean) {
  Printer printer(PrinterConfig("result=init#2:1"));  // only a new MLC_INIT sees the refusal
  ASSERT_EQ(MLCInit(0), 1);
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->bLastMlcCommand = MLC_OPEN_CHANNEL;
  lpPPI->dwBusyFlags = BUSY_START_ALL_OVER;
  ReleasePPI(0);
  EXPECT_EQ(MLCInit(0), MLC_INIT_FAILED);
  EXPECT_EQ(pPerPortInfo[0].dwBusyFlags, 0u);
  EXPECT_EQ(pPerPortInfo[0].bLastMlcCommand, NO_COMMAND);
  EXPECT_TRUE(printer.Violations().empty());
}

TEST_F(LinkTest, SynchBytesGoFirstOnTheirOwnChannel) {
  g_bDoMlcSync = 1;
  int iResult = 0;
  std::thread init([&] { iResult = MLCInit(0); });
  EXPECT_TRUE(peri_.Expect(Bytes(4, 0), peri::kSynchAddress));
  EXPECT_TRUE(peri_.AnswerInit());
  init.join();
  g_bDoMlcSync = 0;
  EXPECT_EQ(iResult, 1);
}

// Errors the emulator does not commit: MLC_ERROR with the code, the link
// dropped, no block kept.
TEST_F(LinkTest, ProtocolErrorsAreReportedAndResetTheLink) {
  BringUp();  // the port selects the MLC address
  struct Case {
    const char* lpszWhat;
    void (*pfnSetUp)();
    Bytes bytes;
    BYTE bContext;
    BYTE bCode;
  } cases[] = {
      // clang-format off
      {"message credit past 65535", [] { MakeMessageChannel(2, 65530); }, peri::Command({0x03, 0x80, 2, 0x01, 10}), 0, 3},
      {"message header credit past 65535", [] { MakeMessageChannel(2, 65535, 8); }, {0x80, 2, 0, 7, 1, 0, 'x'}, 0, 3},
      {"data for no channel", [] { SetLink(TRUE, NO_COMMAND); }, {0x81, 2, 0, 7, 0, 0, 'x'}, 0, 7},
      {"data without room in the ring", [] { MakeStreamChannel(2, 0, 32, 8, 30); }, {0x80, 2, 0, 9, 0, 0, 1, 2, 3}, 0, 1},
      {"data on a channel without a ring", [] { MakeStreamChannel(2, 0, 0, 8); }, {0x80, 2, 0, 7, 0, 0, 1}, 0, 1},
      {"socket sizes without room for a payload byte", ConfigWaiting, peri::Command({0x87, 0, 0, 6, 0, 10, 0}), 0, 0},
      {"socket sizes above the host's proposal", ConfigWaiting, peri::Command({0x87, 0, 0x10, 0x0D, 0, 10, 0}), 0, 0},
      {"waiting channel has no record", [] { SetLink(TRUE, MLC_CREDIT); }, peri::Command({0x83, 0}), 0x85, 13},
      {"credit request reply for no channel", [] { SetLink(TRUE, MLC_CREDIT_REQUEST); }, peri::Command({0x84, 0, 0, 5}), 0, 255},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpszWhat);
    DWORD dwBlocks = PortAreaBlocks();
    c.pfnSetUp();
    peri_.Send(c.bytes);
    EXPECT_EQ(Poll(c.bContext), MLC_UNRECOVERABLE_ERROR);
    EXPECT_TRUE(peri_.Expect(peri::Command({0x7F, c.bCode})));
    ExpectLinkDown(0);
    EXPECT_LE(PortAreaBlocks(), dwBlocks);
  }
}

TEST_F(LinkTest, StreamDataWrapsAroundTheRingAndEveryPacketSpendsACredit) {
  MakeStreamChannel(2, 0, 8, 6, 6);  // 6 bytes waiting, the next store starts at 6
  SetPeriCredits(2);
  auto books = [] {
    auto* lpStream = (StreamChannel*)LockChannelIdx(0, 0);
    std::vector<LONG> b = {lpStream->lWritePos, lpStream->wLength, lpStream->wAvailBytes,
                           lpStream->wPeriPtoHCredits, (LONG)lpStream->wHostHtoPCredits};
    UnlockChannelIdx(0, 0);
    return b;
  };
  peri_.Send({0x80, 2, 0, 6 + 2, 1, 0, 'a', 'b'});  // fills the ring to its end
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  // Write position, stored, free (the packet's unused credit too), credits.
  EXPECT_EQ(books(), (std::vector<LONG>{0, 8, 6 - 2, 1, 1}));
  // An empty packet spends a credit (its space freed) and brings credit.
  peri_.Send({0x80, 2, 0, 6, 2, 0});
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_EQ(books(), (std::vector<LONG>{0, 8, 4 + 6, 0, 3}));
  char abRing[8];
  EXPECT_EQ(MLCRead(0x0080, abRing, 8, FALSE, 0), 8);
  EXPECT_EQ(std::string(abRing + 6, 2), "ab");
  EXPECT_TRUE(peri_.ExpectSilence(20));
}

TEST_F(LinkTest, DeviceIdNeverOverrunsTheCallersBuffer) {
  const std::string text = "MFG:X;CMD:MLC;";
  const int iText = (int)text.size();
  ASSERT_TRUE(peri_.SetDeviceId(text));
  // Without a port handle, read by name; only whole with its zero.
  ASSERT_TRUE(MLCReleasePortHandle(GetHportVal(0)));
  char buffer[64];
  for (int iLength : {2, iText, iText + 1}) {
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(MLCGetDeviceId(0, buffer, iLength), iLength > iText ? iText : MLC_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(buffer), text.substr(0, iLength > iText ? iText : iLength - 2));
    EXPECT_EQ(buffer[iLength], 'Z');
  }
  for (int iLength : {0, INT_MIN})
    EXPECT_EQ(MLCGetDeviceId(0, buffer, iLength), MLC_BUFFER_TOO_SMALL);
  EXPECT_EQ(MLCGetDeviceId(0, NULL, 10), MLC_BUFFER_TOO_SMALL);
  EXPECT_EQ(MLCCompareDevID(0, "CMD", NULL, "MLC"), 0);  // opened just for the call
  // An empty block is read again; length bytes counting too little: no ID.
  ASSERT_NE(MLCGetPortHandle(0), 0u);
  for (const Bytes& raw : {Bytes{}, Bytes{0, 2, 'x'}}) {
    ASSERT_TRUE(raw.empty() || peri_.SetRawDeviceId(raw));
    PerPortInfo* lpPPI = ObtainPPI(0);
    FreeMLCCheck(0, lpPPI->hDeviceID), lpPPI->hDeviceID = AllocMLCCheck(0, 259);
    ReleasePPI(0);
    EXPECT_EQ(MLCGetDeviceId(0, buffer, sizeof buffer), raw.empty() ? 1 : MLC_NO_DEVICE_ID);
    EXPECT_EQ(std::string(buffer), raw.empty() ? text : "");
  }
  EXPECT_EQ(MLCCompareDevID(0, "CMD", NULL, "MLC"), MLC_PHYSICAL_LINK_FAILURE);
}
