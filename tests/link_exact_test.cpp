// The link layer against a scripted peripheral, for the cases that need
// exact bytes and timing (the emulator tests are link_emu_test.cpp): packets
// in pieces, cut short or with impossible lengths, replies that answer
// something else or come before bring-up, a wait kept alive by packets, an
// exit outstanding, stalled writes and cut stream packets, two ports reset
// at once, how quietly a reply is waited for, device-ID length bytes, and the
// command channel acting on channel records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/channel.h"
#include "data/stream.h"
#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/packet.h"
#include "link_testbed.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"

using peri::Bytes;
using peri::Command;

// ---- Reception: packets in pieces, cut short, too long or shorter than a header

using LinkReception = LinkTest;

TEST_F(LinkReception, APacketTricklingInByteByByteIsOnePacket) {
  BringUp();
  // Slower in all than the inter-packet time, but never silent that long;
  // the header comes in pieces too.
  Bytes request = Command({0x04, 0x80, 0x01, 0x00, 0x01});
  ASSERT_TRUE(peri_.Send({request[0]}));
  peri_.StartFn([request](peri::Peripheral& p) {
    for (size_t i = 1; i < request.size(); ++i) {
      Sleep(kInterPacketMs / 5);
      if (!p.Send({request[i]})) return false;
    }
    return true;
  });
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  ASSERT_TRUE(peri_.Join());
  EXPECT_TRUE(peri_.Expect(Command({0x84, 0x00, 0x00, 0x00})));
}

TEST_F(LinkReception, APacketCutShortEndsInErrorSixAfterTheInterPacketTime) {
  const struct {
    Bytes sent;
    const char* what;
  } kCases[] = {
      {Bytes{0x00, 0x00, 0x00}, "half a header"},
      {Bytes{0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x03, 0x80, 0x01},
       "MLC_CREDIT without its credit"},
  };
  for (const auto& c : kCases) {
    BringUp();
    ASSERT_TRUE(peri_.Send(c.sent));
    DWORD dwStart = GetTickCount();
    EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR) << c.what;
    EXPECT_GE(GetTickCount() - dwStart, kInterPacketMs - 20) << c.what;
    EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_SHORT_PACKET))) << c.what;
    ExpectLinkDown(0);
  }
}

TEST_F(LinkReception, CommandPayloadsOfMoreThan64BytesAndLengthsBelow6AreErrorZero) {
  Bytes longest = Command(Bytes(64, 0x00));
  longest[6] = 0x06;  // a command the host does not serve, 63 bytes of padding
  BringUp();
  ASSERT_TRUE(peri_.Send(longest));
  EXPECT_EQ(Poll(), MLC_PACKET_REFUSED);
  EXPECT_TRUE(peri_.Expect(Command({0x86, 0xFF})));
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1) << "64 payload bytes are allowed";

  Bytes tooLong = Command(Bytes(65, 0x00));
  tooLong[6] = 0x06;
  const struct {
    Bytes sent;
    const char* what;
  } kCases[] = {
      {tooLong, "65 payload bytes"},
      {Bytes{0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x03}, "length 5 wraps to 65535"},
      {Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}, "length 0"},
  };
  for (const auto& c : kCases) {
    if (!PortRecord(0).fMlcInitDone) BringUp();
    ASSERT_TRUE(peri_.Send(c.sent));
    EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR) << c.what;
    EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_BAD_LENGTH))) << c.what;
    EXPECT_TRUE(peri_.ExpectSilence(50)) << c.what << ": the rest is never taken for a packet";
    ExpectLinkDown(0);
  }
}

// ---- Command channel: replies that answer something else or come before
// bring-up, a wait kept alive by arriving packets, an exit outstanding

using LinkCommands = LinkTest;

TEST_F(LinkCommands, RepliesThatAnswerAnotherCommandOrNoChannelAreRefused) {
  const struct {
    BYTE bOutstanding;
    Bytes reply;
    BYTE bCode;
  } kCases[] = {
      {MLC_CREDIT, Command({0x84, 0x00, 0x00, 0x01}), MLC_ERROR_UNEXPECTED_REPLY},  // another's
      {MLC_CREDIT, Command({0x89, 0x00}), MLC_ERROR_UNEXPECTED_REPLY},  // no reply at all
      {MLC_CREDIT, Command({0x83, 0x00, 0x00}), MLC_ERROR_BAD_LENGTH},  // right reply, 9 bytes
      // Replies for a channel, awaited by nobody who names one.
      {MLC_OPEN_CHANNEL, Command({0x81, 0x00, 0x00, 0x01}), MLC_ERROR_UNEXPECTED_REPLY},
      {MLC_CLOSE_CHANNEL, Command({0x82, 0x00}), MLC_ERROR_UNEXPECTED_REPLY},
  };
  for (const auto& c : kCases) {
    BringUp();
    SetLastCommand(0, c.bOutstanding);
    ASSERT_TRUE(peri_.Send(c.reply));
    EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR) << peri::ToHex(c.reply);
    EXPECT_TRUE(peri_.Expect(ErrorPacket(c.bCode))) << peri::ToHex(c.reply);
    ExpectLinkDown(0);
  }
}

TEST_F(LinkCommands, AWaitGoesOnWhilePacketsKeepComing) {
  BringUp();
  // Ten commands of the printer queued up, then the awaited reply: each
  // poll handles a packet, so the wait outlasts its time-out of 0 (by at
  // most the inter-packet time in all: few enough that a slow build keeps
  // within it).
  Bytes flood;
  for (int i = 0; i < 10; ++i) {
    Bytes request = Command({0x04, 0x80, 0x01, 0x00, 0x01});
    flood.insert(flood.end(), request.begin(), request.end());
  }
  Bytes reply = Command({0x83, 0x00});
  flood.insert(flood.end(), reply.begin(), reply.end());
  ASSERT_TRUE(peri_.Send(flood));
  SetLastCommand(0, MLC_CREDIT);
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CREDIT_REPLY, FALSE, 0), 0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(peri_.Expect(Command({0x84, 0x00, 0x00, 0x00}))) << i;
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
}

TEST_F(LinkCommands, BeforeBringUpRepliesAreUnexpectedAndCommandsErrorFour) {
  // The printer answers MLC_INIT with a socket reply: the init fails.
  peri_.Start("expect cmd 00 03\nsend cmd 87 00 10 0C 04 06 00");
  EXPECT_EQ(MLCInit(0), MLC_INIT_FAILED);
  EXPECT_TRUE(peri_.Join());
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_UNEXPECTED_REPLY)));
  ExpectLinkDown(0);

  // A command of the printer's while the link is down.
  ASSERT_TRUE(peri_.Send(Command({0x03, 0x80, 0x01, 0x00, 0x01})));
  EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR);
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_NOT_INITIALISED)));
  ExpectLinkDown(0);

  BringUp();  // and the next attempt succeeds
}

TEST_F(LinkCommands, WhileAnExitIsOutstandingSilenceResetsNothing) {
  BringUp();
  SetLastCommand(0, MLC_EXIT);
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_EXIT_REPLY, FALSE, 200), -1);
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1) << "a silent printer is what an exit expects";
  EXPECT_EQ(PortRecord(0).bLastMlcCommand, MLC_EXIT);

  ASSERT_TRUE(peri_.Send(Command({0x88, 0x00, 0x00})));  // any length will do
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_EXIT_REPLY, FALSE, 1000), 0);
  EXPECT_EQ(PortRecord(0).bLastMlcCommand, NO_COMMAND);
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
}

// ---- Sending to a port that stopped taking bytes (LPT3: small ring, short
// write time-out of the port I/O library)

class LinkSend : public LinkTest {
 protected:
  void SetUp() override {
    bPort_ = 2;
    lpszPort_ = "LPT3";
    LinkTest::SetUp();
  }
  // Fills the wire towards the printer, which reads no more.
  void Stall() {
    DWORD hPort = VCOMM_OpenCommA("LPT3", 1);
    Bytes junk(256, 0x55);
    DWORD cbWritten = 0;
    VCOMM_WriteComm(hPort, junk.data(), (DWORD)junk.size(), &cbWritten);
    VCOMM_CloseComm(hPort);
  }
};

// MLC_RESENT_STREAM_PACKET for the length of a test.
struct ResendStreamPackets {
  ResendStreamPackets() { gRetry_Resent_Stream_Packet = 1; }
  ~ResendStreamPackets() { gRetry_Resent_Stream_Packet = 0; }
};

TEST_F(LinkSend, AStalledWriteFailsAtTheSecondTimeOutPastTheDeadline) {
  ResendStreamPackets resend;  // which changes nothing for a command
  BringUp();
  Stall();
  Bytes exitPacket = Command({MLC_EXIT});  // 7 bytes: a 50 ms deadline
  DWORD dwStart = GetTickCount();
  EXPECT_FALSE(SendPacket(2, exitPacket.data(), (WORD)exitPacket.size(), NULL));
  DWORD dwSpent = GetTickCount() - dwStart;
  // One time-out of the port is already past the deadline; the send gives
  // up at the second.
  EXPECT_GE(dwSpent, 2 * kStalledWriteMs - 20);
  EXPECT_EQ(MLCGetLastLinkError(2, 0), CE_PTO);
  ExpectLinkDown(2);

  peri_.Drain(50);
  BringUp();
  Stall();
  Bytes payload(1000, 0x11);  // a 1000 ms deadline: time-outs within it do not count
  PacketHeader header = SendHeaderPacket(2, 0x80, 0x02, (WORD)(payload.size() + 6), 0, 0);
  dwStart = GetTickCount();
  EXPECT_FALSE(SendPacket(2, payload.data(), (WORD)payload.size(), &header));
  EXPECT_GE(GetTickCount() - dwStart, 1000 + kStalledWriteMs - 20);
  EXPECT_EQ(MLCGetLastLinkError(2, 0), CE_PTO);
  ExpectLinkDown(2);
  peri_.Drain(0);
}

TEST_F(LinkSend, AStreamPacketCutByATimeOutIsFinishedWithoutRepeatingAByte) {
  ResendStreamPackets resend;
  BringUp();
  Bytes payload(600);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = (BYTE)(i * 7);
  PacketHeader header = SendHeaderPacket(2, 0x80, 0x02, (WORD)(payload.size() + 6), 1, 0);
  DWORD cbOnWire = 0;
  // The printer reads nothing: the port takes what fits and times out.
  EXPECT_TRUE(SendStreamPacket(2, payload.data(), (WORD)payload.size(), &header, &cbOnWire));
  EXPECT_EQ(MLCGetLastLinkError(2, 0), CE_PTO);
  EXPECT_GT(cbOnWire, 0u);
  EXPECT_LT(cbOnWire, payload.size() + 6);
  EXPECT_EQ(PortRecord(2).fMlcInitDone, 1) << "a cut stream packet resets nothing";

  Bytes whole = peri::Packet(0x80, 0x02, payload, 1);
  peri_.StartFn([whole](peri::Peripheral& p) { return p.Expect(whole) && p.ExpectSilence(100); });
  EXPECT_TRUE(SendStreamPacket(2, payload.data(), (WORD)payload.size(), &header, &cbOnWire));
  EXPECT_EQ(cbOnWire, payload.size() + 6);
  EXPECT_TRUE(peri_.Join()) << "the packet exactly once";
}

TEST_F(LinkSend, AStreamWriteGivesUpAtTheThirdResendOfOnePacket) {
  ResendStreamPackets resend;
  BringUp();
  BYTE bHsid = AddChannel(2, MLC_STREAM_CHANNEL, 0x02, 5);
  PerPortInfo* lpPPI = ObtainPPI(2);
  lpPPI->hSocketInfoArray = AllocMLCCheck(2, sizeof(SocketInfo));
  auto* lpSocket = (SocketInfo*)LockMLCCheck(2, lpPPI->hSocketInfoArray);
  *lpSocket = SocketInfo{};
  lpSocket->bPsid = 0x02;
  lpSocket->wHtoPPacketSize = lpSocket->wPtoHPacketSize = 1024;
  UnlockMLCCheck(2, lpPPI->hSocketInfoArray);
  lpPPI->bSocketInfoCount = 1;
  ReleasePPI(2);
  Stall();
  // Every attempt ends at the port's write time-out with the packet still
  // cut: the first send and three resends, then -17 and the link is reset
  // (a writer is never held in the loop while the printer takes nothing).
  Bytes job(1000, 0x33);
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(WriteStreamData(MLC_MAKE_CHANNEL(2, bHsid), job.data(), (WORD)job.size(), FALSE, 0),
            MLC_WRITE_FAILURE);
  EXPECT_GE(GetTickCount() - dwStart, 4 * kStalledWriteMs - 20);
  ExpectLinkDown(2);
  peri_.Drain(0);
}

// ---- Resets of two ports at once

TEST(LinkResets, TwoPortsResetAtOnceEachHoldingItsOwnMutexDoNotDeadlock) {
  WriteLinkIni();
  FakeHelper helper;
  ASSERT_TRUE(helper.ok());
  EXPECT_TRUE(ResetTwoPortsAtOnce()) << "the two resets wait for each other";
}

// ---- Waiting for a reply from a silent printer must not spin

using LinkWait = LinkTest;

TEST_F(LinkWait, AReplyWaitSleepsBetweenEmptyPolls) {
  BringUp();
  SetLastCommand(0, MLC_CREDIT);
  const DWORD kWaitMs = 1000;
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CREDIT_REPLY, FALSE, kWaitMs), -1);
  DWORD dwSpent = GetTickCount() - dwStart;
  EXPECT_GE(dwSpent, kWaitMs);
  // A loop that spins polls many times a millisecond even when a crowded
  // machine gives it little processor time; one that sleeps between empty
  // polls stays far below two a millisecond, however loaded the machine.
  DWORD dwEmptyPolls = PortRecord(0).dwIdlePolls;
  EXPECT_LT(dwEmptyPolls, 2 * dwSpent) << "empty polls in " << dwSpent << " ms";
  ExpectLinkDown(0);
  EXPECT_TRUE(peri_.ExpectSilence(50)) << "this wait sends no error";

  // A wait that is to report its time-out to the printer.
  BringUp();
  SetLastCommand(0, MLC_CONFIG_SOCKET);
  EXPECT_EQ(ReceivePacket(0, 0, 0, MLC_CONFIG_SOCKET_REPLY, TRUE, 100), -1);
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_SHORT_PACKET)));
  ExpectLinkDown(0);
}

// ---- Bring-up on the wire

using LinkBringUp = LinkTest;

// Length bytes that count nothing, or cut the text after two characters:
// the zero that ends those two is no gap to close up.
TEST_F(LinkBringUp, ADeviceIdIsTakenNoFurtherThanItsLengthBytesSay) {
  for (BYTE bLength : {0x00, 0x04}) {
    ASSERT_TRUE(peri_.SetRawDeviceId({0x00, bLength, 'C', 'M', 'D', ':', 'M', 'L', 'C', ';'}));
    EXPECT_EQ(MLCInit(0), MLC_INIT_FAILED) << (int)bLength;
    EXPECT_TRUE(peri_.ExpectSilence(50)) << "no MLC_INIT";
    EXPECT_EQ(PortRecord(0).fMlcInitDone, 0);
  }
}

TEST_F(LinkBringUp, WhatWaitsOnTheLineBeforeBringUpIsDiscarded) {
  ASSERT_TRUE(peri_.Run("send 00 00 00 0B 00 00 03 80 01 00 01 55 55 55 55 55 55 55 55 55 55"));
  peri_.Start("init");
  EXPECT_EQ(MLCInit(0), 1);
  EXPECT_TRUE(peri_.Join());
  EXPECT_TRUE(peri_.ExpectSilence(50));
}

// ---- The command channel acting on channel records (made by hand here;
// opening channels comes with the channels)

using LinkChannels = LinkTest;

TEST_F(LinkChannels, CreditAndDebitOnAPacketChannelCountAllSixteenBits) {
  BringUp();
  BYTE bPacket = AddChannel(0, MLC_PACKET_CHANNEL, 0x03, 1);
  const struct {
    Bytes command, reply;
    DWORD dwCreditsAfter;
  } kSteps[] = {
      {Command({0x03, bPacket, 0x03, 0x01, 0x2C}), Command({0x83, 0x00}), 301},
      {Command({0x05, bPacket, 0x03, 0x01, 0x0A}), Command({0x86, 0x00, 0x01, 0x0A}), 35},
      // A debit past what is held gives up what is held, and says so.
      {Command({0x05, bPacket, 0x03, 0x00, 0x30}), Command({0x86, 0x00, 0x00, 0x23}), 0},
      {Command({0x03, bPacket, 0x03, 0x00, 0x23}), Command({0x83, 0x00}), 35},
      {Command({0x05, bPacket, 0x09, 0x00, 0x01}), Command({0x86, 0x01, 0x00, 0x00}), 35},  // psid
  };
  for (const auto& step : kSteps) {
    ASSERT_TRUE(peri_.Send(step.command));
    EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL) << peri::ToHex(step.command);
    EXPECT_TRUE(peri_.Expect(step.reply)) << peri::ToHex(step.command);
    EXPECT_EQ(HostCredits(0, bPacket), step.dwCreditsAfter) << peri::ToHex(step.command);
  }
}

TEST_F(LinkChannels, RepliesForAChannelChangeItsRecord) {
  BringUp();
  BYTE bStream = AddChannel(0, MLC_STREAM_CHANNEL, 0x02, 0);
  BYTE bPacket = AddChannel(0, MLC_PACKET_CHANNEL, 0x03, 1);
  SetChannelOpen(0, bStream, FALSE);
  const struct {
    BYTE bCommand, bHsid;
    Bytes reply;
    int iWait;
  } kSteps[] = {
      {MLC_OPEN_CHANNEL, bStream, Command({0x81, 0x01, 0x00, 0x00}), 1},  // maxed out
      {MLC_OPEN_CHANNEL, bStream, Command({0x81, 0x00, 0x00, 0x08}), 0},
      {MLC_CREDIT_REQUEST, bPacket, Command({0x84, 0x00, 0x01, 0x05}), 0},  // all 16 bits
      {MLC_CLOSE_CHANNEL, bStream, Command({0x82, 0x00}), 0},
  };
  for (const auto& step : kSteps) {
    SetLastCommand(0, step.bCommand);
    ASSERT_TRUE(peri_.Send(step.reply));
    EXPECT_EQ(ReceivePacket(0, 0, step.bHsid, (BYTE)(step.bCommand | 0x80), FALSE, 1000),
              step.iWait)
        << peri::ToHex(step.reply);
    EXPECT_EQ(PortRecord(0).bLastMlcCommand, NO_COMMAND) << peri::ToHex(step.reply);
    if (step.bCommand == MLC_OPEN_CHANNEL) {
      EXPECT_EQ(ChannelOpen(0, bStream), step.iWait == 0);
      EXPECT_EQ(HostCredits(0, bStream), step.iWait == 0 ? 8u : 0u);
    }
  }
  EXPECT_EQ(HostCredits(0, bPacket), 1u + 0x105);
  EXPECT_FALSE(ChannelOpen(0, bStream));
  EXPECT_TRUE(peri_.ExpectSilence(50)) << "no error on the way";
}

TEST_F(LinkChannels, CreditPastTheLimitIsErrorThreeAndTheResetClosesEveryChannel) {
  HWND hClient = MakeWindow("LinkTestClient");
  ASSERT_TRUE(hClient);

  BringUp();
  BYTE bFull = AddChannel(0, MLC_STREAM_CHANNEL, 0x02, 65530, hClient);
  AddChannel(0, MLC_PACKET_CHANNEL, 0x03, 0, hClient);
  AddChannel(0, MLC_STREAM_CHANNEL, 0x04, 0, hClient);
  ASSERT_TRUE(peri_.Send(Command({0x03, bFull, 0x02, 0x00, 0x06})));
  EXPECT_EQ(Poll(), MLC_UNRECOVERABLE_ERROR);
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_CREDIT_OVERFLOW)));
  EXPECT_TRUE(peri_.ExpectSilence(100)) << "no reply, and the reset sends nothing";
  ExpectLinkDown(0);  // and the records, ring and slots are gone: see TearDown
  std::vector<MSG> told = TakeMessages(hClient, kChannelMsg, kChannelMsg);
  EXPECT_EQ(told.size(), 3u);
  for (const MSG& m : told) EXPECT_EQ(LOWORD(m.lParam), MLC_DISCONNECT);

  // The same for a packet channel, through the reply to a credit request.
  BringUp();
  BYTE bPacket = AddChannel(0, MLC_PACKET_CHANNEL, 0x03, 0xFFFF);
  SetLastCommand(0, MLC_CREDIT_REQUEST);
  ASSERT_TRUE(peri_.Send(Command({0x84, 0x00, 0x00, 0x01})));
  EXPECT_EQ(Poll(bPacket), MLC_UNRECOVERABLE_ERROR);
  EXPECT_TRUE(peri_.Expect(ErrorPacket(MLC_ERROR_CREDIT_OVERFLOW)));
  ExpectLinkDown(0);
  DestroyWindow(hClient);
}
