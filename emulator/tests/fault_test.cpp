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
  {  // Longer than negotiated: the socket allows 0x0106 bytes, the packet has one more.
    Harness h = Ready({"oversize@open"});
    h.Send(InitCommand(3));
    h.Send(ConfigSocketCommand(4, 0x100C, 0x0106, 0));
    std::vector<Bytes> out = SplitPackets(h.Send(OpenChannelCommand(0x80, 4, 1)));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Bytes(out[1].begin(), out[1].begin() + 6), Hex("80 04 01 07 00 00"));
  }
  {  // Wrong peripheral socket id.
    Harness h = Ready({"badpsid@bytes=3"});
    h.Open(0x80, 4, 1);
    EXPECT_EQ(h.Send(MakePacket(0x80, 4, 0, 0, {1, 2})), CreditCommand(0x80, 4, 1));
    EXPECT_EQ(h.Send(MakePacket(0x80, 4, 0, 0, {3})), Hex("80 05 00 0A 00 00 00 01 02 03"));
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
    // The debited credit is free again and granted anew.
    EXPECT_EQ(h.Send(DebitReplyFromHost(0, 2)), CreditCommand(0x80, 2, 2));
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

}  // namespace
}  // namespace emu

namespace emu {
namespace {

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

}  // namespace
}  // namespace emu
