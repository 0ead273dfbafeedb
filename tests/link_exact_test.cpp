// The link layer against two far sides: the emulator for whole bring-ups,
// and the scripted peripheral for the cases that need exact bytes and timing:
// packets in pieces or with impossible lengths, replies out of turn or for no
// channel, exits outstanding, stalled writes and resends, channel records.
#include <limits.h>
#include <string.h>

#include "channel/chanrec.h"
#include "data/stream.h"
#include "krzcom15.h"
#include "link/packet.h"
#include "link_testbed.h"
#include "shared/sharedmem.h"

using peri::Bytes;
using peri::Command;

namespace {
const Bytes kCreditGrant = Command({0x04, 0x80, 0x01, 0x00, 0x01});  // the printer asks
const Bytes kNoCredit = Command({0x84, 0x00, 0x00, 0x00});           // the host's answer

class LinkEmu : public LinkTest {
 protected:
  LinkEmu() { fScript_ = false; }
};

// A socket entry just made for socket 2, its MLC_CONFIG_SOCKET outstanding.
void ConfigWaiting() {
  MakeStreamChannel(2, 0, 0, 8);
  SetLink(TRUE, MLC_CONFIG_SOCKET);
}

}  // namespace

using LinkReception = LinkTest;

TEST_F(LinkReception, APacketTricklingInIsOnePacketAndA64ByteCommandIsNoError) {
  BringUp();
  // Slower in all than the inter-packet time, but never silent that long.
  ASSERT_TRUE(peri_.Send({kCreditGrant[0]}));
  peri_.StartFn([](peri::Peripheral& p) {
    for (size_t i = 1; i < kCreditGrant.size(); ++i)
      if (Sleep(kInterPacketMs / 5), !p.Send({kCreditGrant[i]})) return false;
    return true;
  });
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  ASSERT_TRUE(peri_.Join());
  EXPECT_TRUE(peri_.Expect(kNoCredit));
  // An unserved command of 64 payload bytes is refused, not an error (65 and
  // lengths below 6: the protocol-error table).
  Bytes longest = Command(Bytes(64, 0x00));
  longest[6] = 0x06;
  ASSERT_TRUE(peri_.Send(longest));
  EXPECT_EQ(Poll(), MLC_PACKET_REFUSED);
  EXPECT_TRUE(peri_.Expect(Command({0x86, 0xFF})));
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
}

using LinkCommands = LinkTest;

TEST_F(LinkCommands, ABringUpAnsweredOutOfTurnFailsAndTheNextSucceeds) {
  peri_.StartFn([](peri::Peripheral& p) {
    return p.Expect(Command({0x00, 0x03})) && p.Send(Command({0x87, 0x00, 0x10, 0x0C, 0x04, 6, 0}));
  });
  EXPECT_EQ(MLCInit(0), MLC_INIT_FAILED);
  EXPECT_TRUE(peri_.Join());
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_UNEXPECTED_REPLY)));
  ExpectLinkDown(0);
  BringUp();  // and the next attempt succeeds
}

TEST_F(LinkCommands, AWaitGoesOnWhilePacketsComeAndEndsWhenThePrinterIsSilent) {
  BringUp();
  // Ten commands, then the awaited reply: each poll handles a packet, so the
  // wait outlasts its time-out of 0.
  Bytes flood;
  for (int i = 0; i < 10; ++i) flood.insert(flood.end(), kCreditGrant.begin(), kCreditGrant.end());
  Bytes reply = Command({0x83, 0x00});
  flood.insert(flood.end(), reply.begin(), reply.end());
  ASSERT_TRUE(peri_.Send(flood));
  SetLink(TRUE, MLC_CREDIT);
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CREDIT_REPLY, FALSE, 0), 0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(peri_.Expect(kNoCredit)) << i;
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
  // Silence while an exit is outstanding resets nothing; any other reply wait
  // from a silent printer ends the link, sleeping between empty polls.
  SetLink(TRUE, MLC_EXIT);
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_EXIT_REPLY, FALSE, 200), -1);
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1) << "a silent printer is what an exit expects";
  EXPECT_EQ(PortRecord(0).bLastMlcCommand, MLC_EXIT);
  ASSERT_TRUE(peri_.Send(Command({0x88, 0x00, 0x00})));  // any length will do
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_EXIT_REPLY, FALSE, 1000), 0);
  EXPECT_EQ(PortRecord(0).bLastMlcCommand, NO_COMMAND);
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
  SetLink(TRUE, MLC_CREDIT);
  DWORD dwStart = GetTickCount(), dwIdle = PortRecord(0).dwIdlePolls;
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CREDIT_REPLY, FALSE, 1000), -1);
  DWORD dwSpent = GetTickCount() - dwStart;
  EXPECT_GE(dwSpent, 1000u);
  // A spinning loop polls many times a millisecond even on a crowded machine.
  EXPECT_LT(PortRecord(0).dwIdlePolls - dwIdle, 2 * dwSpent) << "empty polls in " << dwSpent;
  ExpectLinkDown(0);
  EXPECT_TRUE(peri_.ExpectSilence(50)) << "this wait sends no error";
}

// Sending to a port that stopped taking bytes (LPT3: small ring, short write
// time-out), and stream packets resent after it.

class LinkSend : public LinkTest {
 protected:
  void SetUp() override {
    bPort_ = 2;
    lpszPort_ = "LPT3";
    LinkTest::SetUp();
    gRetry_Resent_Stream_Packet = 1;  // which changes nothing for a command
  }
  void TearDown() override {
    gRetry_Resent_Stream_Packet = 0;
    LinkTest::TearDown();
  }
  static void Stall() {  // fills the wire towards the printer, which reads no more
    DWORD hPort = VCOMM_OpenCommA("LPT3", 1);
    Bytes junk(256, 0x55);
    DWORD cbWritten = 0;
    VCOMM_WriteComm(hPort, junk.data(), (DWORD)junk.size(), &cbWritten);
    VCOMM_CloseComm(hPort);
  }
  static Bytes Job(size_t n) {
    Bytes job(n);
    for (size_t i = 0; i < n; ++i) job[i] = (BYTE)(i * 7);
    return job;
  }
};

TEST_F(LinkSend, AStalledWriteFailsAtTheSecondTimeOutPastTheDeadline) {
  // 7 bytes have a 50 ms deadline, 1000 bytes 1000 ms; the send gives up at
  // the port's second time-out past it.
  const struct {
    Bytes payload;
    bool fCommand;
    DWORD dwAtLeastMs;
  } kCases[] = {{Command({MLC_EXIT}), true, 2 * kStalledWriteMs - 20},
                {Bytes(1000, 0x11), false, 1000 + kStalledWriteMs - 20}};
  for (const auto& c : kCases) {
    BringUp();
    Stall();
    PacketHeader header = SendHeaderPacket(2, 0x80, 0x02, (WORD)(c.payload.size() + 6), 0, 0);
    DWORD dwStart = GetTickCount();
    EXPECT_FALSE(
        SendPacket(2, c.payload.data(), (WORD)c.payload.size(), c.fCommand ? NULL : &header));
    EXPECT_GE(GetTickCount() - dwStart, c.dwAtLeastMs);
    EXPECT_EQ(MLCGetLastLinkError(2, 0), CE_PTO);
    ExpectLinkDown(2);
    peri_.Drain(50);
  }
}

TEST_F(LinkSend, AStreamWriteGivesUpAtTheThirdResendOfOnePacket) {
  BringUp();
  BYTE bHsid = AddChannel(2, MLC_STREAM_CHANNEL, 0x02, 5, 1024);
  Stall();  // the first send and three resends time out, then -17 and a reset
  Bytes job(1000, 0x33);
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(WriteStreamData(MLC_MAKE_CHANNEL(2, bHsid), job.data(), (WORD)job.size(), FALSE, 0),
            MLC_WRITE_FAILURE);
  EXPECT_GE(GetTickCount() - dwStart, 4 * kStalledWriteMs - 20);
  ExpectLinkDown(2);
  peri_.Drain(0);
}

// Three resends per packet, not per write: a printer that pauses now and then
// during a long job (longer than the write time-out after each packet) keeps
// it, and each packet cut by a time-out is finished without repeating a byte.
TEST_F(LinkSend, EveryPacketOfALongWriteHasItsOwnResends) {
  BringUp();
  BYTE bHsid = AddChannel(2, MLC_STREAM_CHANNEL, 0x02, 6, 1000);  // no credit request
  Bytes job = Job(5000);
  peri_.StartFn([&](peri::Peripheral& p) {
    for (size_t k = 0; k < 5; ++k) {
      if (k) Sleep(2 * kStalledWriteMs - 100);
      Bytes payload(job.begin() + 1000 * k, job.begin() + 1000 * (k + 1));
      if (!p.Expect(peri::Packet(bHsid, 0x02, payload))) return false;
    }
    return true;
  });
  EXPECT_EQ(WriteStreamData(MLC_MAKE_CHANNEL(2, bHsid), job.data(), 5000, FALSE, 0), 5000);
  EXPECT_TRUE(peri_.Join()) << peri_.failures();
  EXPECT_EQ(PortRecord(2).fMlcInitDone, 1);
}

using LinkChannels = LinkTest;

// Credit or debit arriving while an open is unanswered crossed it on the wire
// (meant for a socket pair not open then) and must not count.
TEST_F(LinkChannels, CreditAndDebitCountOnlyOnceTheOpenIsAnswered) {
  BringUp();
  BYTE bStream = AddChannel(0, MLC_STREAM_CHANNEL, 0x03, 0);
  BYTE bPacket = AddChannel(0, MLC_PACKET_CHANNEL, 0x04, 0);
  for (BYTE bHsid : {bStream, bPacket}) {
    SetChannelOpen(0, bHsid, FALSE);
    BYTE bPsid = bHsid == bStream ? 0x03 : 0x04;
    const Bytes kStale[][2] = {
        {Command({0x03, bHsid, bPsid, 0x00, 0x01}), Command({0x83, 0x03})},
        {Command({0x05, bHsid, bPsid, 0x00, 0x01}), Command({0x86, 0x03, 0x00, 0x00})}};
    for (const auto& step : kStale) {
      ASSERT_TRUE(peri_.Send(step[0]));
      EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL) << peri::ToHex(step[0]);
      EXPECT_TRUE(peri_.Expect(step[1])) << peri::ToHex(step[0]);
      EXPECT_EQ(HostCredits(0, bHsid), 0u) << peri::ToHex(step[0]);
    }
  }
  // The open's reply grants 2; credit after it counts.
  SetLink(TRUE, MLC_OPEN_CHANNEL);
  ASSERT_TRUE(peri_.Send(Command({0x81, 0x00, 0x00, 0x02})));
  EXPECT_EQ(ReceivePacket(0, 0, bStream, MLC_OPEN_CHANNEL_REPLY, FALSE, 1000), 0);
  ASSERT_TRUE(peri_.Send(Command({0x03, bStream, 0x03, 0x00, 0x01})));
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_TRUE(peri_.Expect(Command({0x83, 0x00})));
  EXPECT_EQ(HostCredits(0, bStream), 3u);
}

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

// Errors the emulator does not commit: MLC_ERROR with the code and nothing
// more, the link dropped, no block kept.
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
      {"credit request reply past 65535", [] { SetLink(TRUE, MLC_CREDIT_REQUEST), AddChannel(0, MLC_PACKET_CHANNEL, 3, 0xFFFF); }, peri::Command({0x84, 0, 0, 1}), 0x80, 3},
      {"another command's reply", [] { SetLink(TRUE, MLC_CREDIT); }, peri::Command({0x84, 0, 0, 1}), 0, 2},
      {"a channel's reply naming none", [] { SetLink(TRUE, MLC_OPEN_CHANNEL); }, peri::Command({0x81, 0, 0, 1}), 0, 2},
      {"a close's reply naming none", [] { SetLink(TRUE, MLC_CLOSE_CHANNEL); }, peri::Command({0x82, 0}), 0, 2},
      {"a command before bring-up", [] { SetLink(FALSE, NO_COMMAND); }, peri::Command({0x03, 0x80, 1, 0, 1}), 0, 4},
      {"a command of 65 payload bytes", [] { SetLink(TRUE, NO_COMMAND); }, [] { Bytes b = peri::Command(Bytes(65, 0)); return b[6] = 6, b; }(), 0, 0},
      {"a length of 5", [] { SetLink(TRUE, NO_COMMAND); }, {0, 0, 0, 5, 0, 0, 3}, 0, 0},
      {"a length of 0", [] { SetLink(TRUE, NO_COMMAND); }, {0, 0, 0, 0, 0, 0, 3}, 0, 0},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpszWhat);
    DWORD dwBlocks = PortAreaBlocks();
    c.pfnSetUp();
    peri_.Send(c.bytes);
    EXPECT_EQ(Poll(c.bContext), MLC_UNRECOVERABLE_ERROR);
    EXPECT_TRUE(peri_.Expect(peri::Command({0x7F, c.bCode})));
    EXPECT_TRUE(peri_.ExpectSilence(50)) << "nothing more, the rest taken for no packet";
    ExpectLinkDown(0);
    EXPECT_LE(PortAreaBlocks(), dwBlocks);
  }
}

TEST_F(LinkTest, StreamDataWrapsAroundTheRingAndEveryPacketSpendsACredit) {
  MakeStreamChannel(2, 0, 8, 6, 6);  // 6 bytes waiting, the next store starts at 6
  ((StreamChannel*)LockChannelIdx(0, 0))->wPeriPtoHCredits = 2;
  UnlockChannelIdx(0, 0);
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
