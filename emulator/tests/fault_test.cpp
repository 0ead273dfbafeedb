// Every fault produces exactly the bytes it promises, at the moment it names.
#include <gtest/gtest.h>

#include "core_test_util.h"

namespace emu {
namespace {

// Init + config of socket 2 (sink) and socket 4 (source, nothing to send).
Harness Ready(const std::vector<std::string>& faults) {
  return Harness(ConfigWith({"2:sink:credit=2", "4:source:bytes=0"}, faults));
}

TEST(Faults, ReplyFaultsChangeExactlyTheChosenReply) {
  struct Case {
    const char* fault;
    Bytes open_reply;  // what the open (the first one) gets
  } cases[] = {
      {"noreply=open", {}},
      {"badlen=open", Hex("00 00 00 0B 00 00 81 00 00 02 00")},
      {"badlen=open:-2", Hex("00 00 00 08 00 00 81 00")},
      {"result=open", Hex("00 00 00 0A 00 00 81 01 00 00")},
      {"result=open:7", Hex("00 00 00 0A 00 00 81 07 00 00")},
      {"unknown=open", Hex("00 00 00 0A 00 00 89 00 00 02")},
      {"half=open", Hex("00 00 00 0A 00")},
  };
  for (const Case& c : cases) {
    Harness h = Ready({c.fault});
    EXPECT_EQ(h.Open(0x80, 2, 1), c.open_reply) << c.fault;
    EXPECT_EQ(h.p.channel(0x80) != nullptr, std::string(c.fault).rfind("result", 0) != 0)
        << c.fault;
    EXPECT_EQ(h.trace.Matching(std::string("** fault ") + c.fault).size(), 1u) << c.fault;
    // Only the first open is touched.
    h.Send(ConfigSocketCommand(4, 0x100C, 0x0406, 0));
    Bytes next = h.Send(OpenChannelCommand(0x81, 4, 1));
    if (std::string(c.fault) == "half=open") {
      EXPECT_TRUE(next.empty());  // silent until the next MLC_INIT
      EXPECT_EQ(h.Open(0x81, 4, 1), Hex("00 00 00 0A 00 00 81 00 00 01"));
    } else {
      EXPECT_EQ(next, Hex("00 00 00 0A 00 00 81 00 00 01")) << c.fault;
    }
  }
}

TEST(Faults, ReplyFaultsOnOtherCommandsAndOccurrences) {
  Harness h = Ready({"late=config:500", "result=config#2:1", "result=close", "unknown=exit:0x9A",
                     "noreply=credit#2", "badlen=creditreq:1", "half=init#3"});
  h.Send(InitCommand(3));
  EXPECT_TRUE(h.Send(ConfigSocketCommand(2, 0x100C, 0x0406, 0)).empty());
  EXPECT_TRUE(h.Advance(499).empty());
  EXPECT_EQ(h.Advance(1), Hex("00 00 00 0D 00 00 87 00 10 0C 04 06 00"));
  EXPECT_EQ(h.Send(ConfigSocketCommand(4, 0x100C, 0x0406, 0)),
            Hex("00 00 00 0D 00 00 87 01 00 00 00 00 00"));
  EXPECT_EQ(h.p.socket(4), nullptr);
  h.Send(OpenChannelCommand(0x80, 2, 0));
  EXPECT_EQ(h.Send(CreditCommand(0x80, 2, 1)), CreditReply(0));
  EXPECT_TRUE(h.Send(CreditCommand(0x80, 2, 1)).empty());
  EXPECT_EQ(h.p.channel(0x80)->peri_credit, 2u);  // applied, just not answered
  EXPECT_EQ(h.Send(CreditRequestCommand(0x80, 2, 1)), Hex("00 00 00 0B 00 00 84 00 00 00 00"));
  // A refused close leaves the channel open.
  EXPECT_EQ(h.Send(CloseChannelCommand(0x80, 2)), Hex("00 00 00 08 00 00 82 01"));
  EXPECT_NE(h.p.channel(0x80), nullptr);
  EXPECT_EQ(h.Send(ExitCommand()), Hex("00 00 00 08 00 00 9A 00"));
  EXPECT_EQ(h.Send(InitCommand(3)), InitReply(0, 3));
  EXPECT_EQ(h.Send(InitCommand(3)), Hex("00 00 00 09"));
  EXPECT_EQ(h.violations(), 0u);
}

// oversize and badpsid: the library's fault matrix (and badpsid's bytes in
// FaultsAddedWhileRunningCountFromThen below).
TEST(Faults, DataFaultsBreakTheRulesByExactlyOnePacket) {
  {  // Past the credit: one full packet more than the host granted.
    Harness h = Ready({"nocredit@open"});
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 4, 2));
    ASSERT_EQ(out.size(), 4u);
    for (int i = 1; i <= 3; ++i) {
      EXPECT_EQ(out[i].size(), 1030u);
      EXPECT_EQ(Bytes(out[i].begin(), out[i].begin() + 6), Hex("80 04 04 06 00 00"));
    }
    EXPECT_EQ(h.p.channel(0x80)->peri_credit, 0u);
  }
  {  // Half a data packet, then nothing at all.
    EmuConfig cfg = ConfigWith({"4:source:bytes=10"}, {"half=data"});
    Harness h(cfg);
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 4, 3));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], Hex("80 04 00 10 00 00 00 01"));
    EXPECT_TRUE(h.p.silent());
    EXPECT_TRUE(h.Send(CreditCommand(0x80, 4, 1)).empty());
  }
}

TEST(Faults, CommandFaultsStartExchangesOfTheirOwn) {
  {  // A grant that takes the host's credit past 65535 (it holds one already).
    Harness h = Ready({"overflow@open"});
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 2, 0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], CreditCommand(0x80, 2, 0xFFFF));
  }
  {  // With no credit on the host's side a grant of 1 goes first.
    Harness h(ConfigWith({"4:source:bytes=0,credit=1"}, {"overflow@bytes=1"}));
    h.Open(0x80, 4, 0);
    EXPECT_EQ(h.Send(MakePacket(0x80, 4, 0, 0, {9})), CreditCommand(0x80, 4, 1));
    EXPECT_EQ(h.Send(CreditReply(0)), CreditCommand(0x80, 4, 0xFFFF));
  }
  {  // MLC_DEBIT, and the host's answer takes the credit back from the books.
    Harness h = Ready({"debit=2@open"});
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 2, 0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], Hex("00 00 00 0B 00 00 05 80 02 00 02"));
    // The debit sticks: the freed room is neither granted back nor given on request.
    EXPECT_TRUE(h.Send(DebitReplyFromHost(0, 2)).empty());
    EXPECT_TRUE(h.Advance(2000).empty());
    EXPECT_EQ(h.Send(CreditRequestCommand(0x80, 2, 0xFFFF)), CreditRequestReply(0, 0));
    EXPECT_EQ(h.p.channel(0x80)->host_credit, 0u);
  }
  {  // MLC_CREDIT_REQUEST, and MLC_ERROR after the second open, which forgets the link.
    Harness h = Ready({"creditreq=3@open", "error=6@open#2"});
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 2, 0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], CreditRequestCommand(0x80, 2, 3));
    h.Send(CreditRequestReply(0, 0));
    h.Send(ConfigSocketCommand(4, 0x100C, 0x0406, 0));
    out = SplitPackets(h.Send(OpenChannelCommand(0x81, 4, 0)));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], Hex("00 00 00 08 00 00 7F 06"));
    EXPECT_FALSE(h.p.link_up());
    // A write of the host in progress crosses the error on the wire: not a
    // violation; a host still sending a second later ignored the error.
    h.Send(MakePacket(0x80, 2, 0, 0, Bytes(10)));
    h.Send(CreditRequestCommand(0x80, 2, 1));
    EXPECT_EQ(h.violations(), 0u);
    h.Advance(1000);
    h.Send(MakePacket(0x80, 2, 0, 0, Bytes(10)));
    EXPECT_EQ(h.violations(), 1u);
  }
}

TEST(Faults, TimedFaultsStopDrainingStallAndDetach) {
  Harness h(ConfigWith({"2:sink:credit=1,drain=1000"},
                       {"nodrain@bytes=2000", "stall@t=3000", "detach@t=4000"}));
  h.Open(0x80, 2, 0);
  h.Send(MakePacket(0x80, 2, 0, 0, Bytes(1000)));
  EXPECT_EQ(h.Advance(1000), CreditCommand(0x80, 2, 1));  // drained at 1000 bytes/s
  h.Send(CreditReply(0));
  h.Send(MakePacket(0x80, 2, 0, 0, Bytes(1000)));  // 2000 bytes in: draining stops
  EXPECT_TRUE(h.Advance(1500).empty());
  EXPECT_FALSE(h.p.stalled());
  h.Advance(500);
  EXPECT_TRUE(h.p.stalled());
  EXPECT_FALSE(h.p.detach_requested());
  h.Advance(1000);
  EXPECT_TRUE(h.p.detach_requested());
  EXPECT_EQ(h.trace.Matching("** fault").size(), 3u);
}

TEST(Faults, FaultsAddedWhileRunningCountFromThen) {
  Harness h = Ready({});
  h.Open(0x80, 2, 0);
  h.Advance(1000);
  const char* specs[] = {"noreply=open", "error=4@t=500", "badpsid@bytes=2"};
  for (const char* text : specs) {
    Fault f;
    std::string err;
    ASSERT_TRUE(ParseFault(text, &f, &err)) << err;
    h.p.AddFault(f);
  }
  h.Send(ConfigSocketCommand(4, 0x100C, 0x0406, 0));
  EXPECT_TRUE(h.Send(OpenChannelCommand(0x81, 4, 1)).empty());  // the next open, not the first
  EXPECT_EQ(h.Send(MakePacket(0x80, 2, 0, 0, {1})), CreditCommand(0x80, 2, 1));
  // Two data bytes after the fault was added: on the channel opened last.
  EXPECT_EQ(h.Send(MakePacket(0x80, 2, 0, 0, {2})), Hex("81 05 00 0A 00 00 00 01 02 03"));
  EXPECT_TRUE(h.Advance(499).empty());
  EXPECT_EQ(h.Advance(1), ErrorCommand(4));
}

// The host's answer to each stray or unsupported command, and whether it is a violation.
TEST(Faults, CommandsTheHostMustRefuseAndTheAnswersWeCheck) {
  struct Case {
    const char* fault;
    Bytes sent;    // what follows the open reply
    Bytes answer;  // the host's answer
    bool violation;
  } cases[] = {
      {"unsupported@open", Hex("00 00 00 07 00 00 06"), Hex("00 00 00 08 00 00 86 FF"), false},
      {"unsupported=0x10@open", MakeCommand({0x10}), Hex("00 00 00 08 00 00 90 00"), true},
      // An answer shaped like the reply to MLC_DEBIT is not the 8-byte refusal.
      {"unsupported@open", MakeCommand({0x06}), DebitReplyFromHost(0xFF, 0), true},
      {"badcredit@open", CreditCommand(0x81, 2, 1), CreditReply(3), false},
      {"badcredit=hsid@open", CreditCommand(0x81, 2, 1), CreditReply(0), true},
      {"badcredit=psid@open", CreditCommand(0x80, 3, 1), CreditReply(3), false},
      {"badcredit=psid:9@open", CreditCommand(0x80, 9, 1), CreditReply(0), true},
      {"baddebit=hsid:0x90@open", DebitCommand(0x90, 2, 1), DebitReplyFromHost(1, 0), false},
      {"baddebit=psid@open", DebitCommand(0x80, 3, 1), DebitReplyFromHost(0, 1), true},
  };
  for (const Case& c : cases) {
    Harness h = Ready({c.fault});
    std::vector<Bytes> out = SplitPackets(h.Open(0x80, 2, 0));
    ASSERT_EQ(out.size(), 2u) << c.fault;
    EXPECT_EQ(out[1], c.sent) << c.fault;
    h.Send(c.answer);
    EXPECT_EQ(h.violations(), c.violation ? 1u : 0u) << c.fault;
    // A stray command changes no books of the channel that is open.
    EXPECT_EQ(h.p.channel(0x80)->host_credit, 2u) << c.fault;
  }
  // MLC_CREDIT of 300 on a message channel: the host applies all of it.
  Harness h(ConfigWith({"1:status"}, {"msgcredit@open"}));
  std::vector<Bytes> out = SplitPackets(h.Open(0x81, 1, 0));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], CreditCommand(0x81, 1, 300));
  h.Send(CreditReply(0));
  EXPECT_EQ(h.p.channel(0x81)->host_credit, 1u + 300u);
  EXPECT_EQ(h.violations(), 0u);
}

TEST(Faults, MalformedPacketsAndPacketsSplitByAPause) {
  struct Case {
    const char* fault;
    Bytes sent;
  } cases[] = {
      {"emptycmd@open", Hex("00 00 00 06 00 00")},
      {"shortlen@open", Hex("00 00 00 02 00 00")},
      {"shortlen=5@open", Hex("00 00 00 05 00 00")},
  };
  for (const Case& c : cases) {
    Harness h = Ready({c.fault});
    Bytes expect = OpenChannelReply(0, 2);
    expect.insert(expect.end(), c.sent.begin(), c.sent.end());
    EXPECT_EQ(h.Open(0x80, 2, 0), expect) << c.fault;
  }
  // Three header bytes, 100 ms, the rest; what comes meanwhile waits behind it.
  Harness h = Ready({"split=open:3:100"});
  EXPECT_EQ(h.Open(0x80, 2, 0), Hex("00 00 00"));
  EXPECT_TRUE(h.Advance(60).empty());
  EXPECT_TRUE(h.Send(CreditCommand(0x80, 2, 1)).empty());
  EXPECT_TRUE(h.Advance(39).empty());
  Bytes rest = Hex("0A 00 00 81 00 00 02");
  Bytes credit_reply = CreditReply(0);
  rest.insert(rest.end(), credit_reply.begin(), credit_reply.end());
  EXPECT_EQ(h.Advance(1), rest);
  // A data packet split the same way.
  Harness d(ConfigWith({"4:source:bytes=4"}, {"split=data:2:250"}));
  std::vector<Bytes> out = SplitPackets(d.Open(0x80, 4, 1));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], Hex("80 04"));
  EXPECT_TRUE(d.Advance(249).empty());
  EXPECT_EQ(d.Advance(1), Hex("00 0A 00 00 00 01 02 03"));
}

}  // namespace
}  // namespace emu
