// The peripheral state machine driven directly as the host would: credit
// books, the host violations it records, its faults' judgements, timed steps.
#include "peripheral.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu_config.h"
#include "mlc_packet.h"
#include "trace.h"

namespace emu {
namespace {

// Whole packets, then a trailing partial packet as is.
std::vector<Bytes> SplitPackets(const Bytes& stream) {
  PacketSplitter sp;
  sp.Feed(stream.data(), stream.size());
  std::vector<Bytes> out;
  for (Bytes pkt; sp.Next(pkt);) out.push_back(pkt);
  if (sp.Pending()) out.push_back(sp.TakePartial());
  return out;
}

EmuConfig ConfigWith(const std::vector<std::string>& services,
                     const std::vector<std::string>& faults = {}) {
  EmuConfig cfg;
  cfg.services.resize(services.size());
  cfg.faults.resize(faults.size());
  for (size_t i = 0; i < services.size(); ++i)
    if (!ParseService(services[i], &cfg.services[i], nullptr)) std::abort();
  for (size_t i = 0; i < faults.size(); ++i)
    if (!ParseFault(faults[i], &cfg.faults[i], nullptr)) std::abort();
  return cfg;
}

// The protocol core, this test playing the host, its clock moved by hand.
struct Harness {
  explicit Harness(const EmuConfig& cfg) : p(cfg, &trace) {}
  // The host writes a packet; returns everything the peripheral answered.
  Bytes Send(const Bytes& pkt) {
    p.Receive(kMlcAddress, pkt.data(), pkt.size(), now);
    return p.TakeOutput();
  }
  // Time passes; returns what the peripheral sent meanwhile.
  Bytes Advance(uint32_t ms) {
    p.Tick(now += ms);
    return p.TakeOutput();
  }
  // MLC_INIT, MLC_CONFIG_SOCKET (default sizes) and MLC_OPEN_CHANNEL; returns the open reply.
  Bytes Open(uint8_t hsid, uint8_t psid, uint16_t credit) {
    Send(InitCommand(3));
    Send(ConfigSocketCommand(psid, 0x100C, 0x0406, 0));
    return Send(OpenChannelCommand(hsid, psid, credit));
  }
  size_t violations() const { return p.violations().size(); }

  Trace trace{nullptr, true};
  Peripheral p;
  uint32_t now = 5000;
};

// Sending pkt records exactly one violation, whose text holds text; the reply.
Bytes ExpectViolation(Harness& h, const Bytes& pkt, const char* text) {
  size_t n = h.violations();
  Bytes reply = h.Send(pkt);
  EXPECT_EQ(h.violations(), n + 1) << text;
  if (h.violations() > n) {
    EXPECT_NE(h.p.violations().back().text.find(text), std::string::npos)
        << h.p.violations().back().text;
  }
  return reply;
}

TEST(Peripheral, SlowSinkKeepsStrictCreditBooks) {
  Harness h(ConfigWith({"2:sink:credit=4,drain=2048,store"}));
  h.Open(0x80, 2, 0);
  Bytes block(1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  // Four packets use the four credits; the sink drains nothing within 0 ms.
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(h.Send(MakePacket(0x80, 2, 0, 0, block)).empty());
  EXPECT_EQ(h.p.channel(0x80)->host_credit, 0u);
  // Asked for credit while full: 0 now, MLC_CREDIT once the sink has drained.
  EXPECT_EQ(h.Send(CreditRequestCommand(0x80, 2, 0xFFFF)), CreditRequestReply(0, 0));
  EXPECT_TRUE(h.Advance(400).empty());  // 819 bytes drained: not a whole packet yet
  EXPECT_EQ(h.Advance(150), CreditCommand(0x80, 2, 1));
  // Our next grant waits for the host's answer to this one.
  EXPECT_TRUE(h.Advance(1000).empty());
  EXPECT_EQ(h.Send(CreditReply(0)), CreditCommand(0x80, 2, 2));
  EXPECT_TRUE(h.Send(CreditReply(0)).empty());
  EXPECT_EQ(h.p.channel(0x80)->host_credit, 3u);
  EXPECT_EQ(h.violations(), 0u);
  // The host may not go past its credit: the fifth packet in flight is refused.
  for (int i = 0; i < 3; ++i) h.Send(MakePacket(0x80, 2, 0, 0, block));
  ExpectViolation(h, MakePacket(0x80, 2, 0, 0, block), "without credit");
  Bytes expect;
  for (int i = 0; i < 7; ++i) expect.insert(expect.end(), block.begin(), block.end());
  EXPECT_EQ(h.p.service(2)->stored(), expect);
}

TEST(Peripheral, RecordsEveryKindOfHostViolation) {
  Harness h(ConfigWith({"2:sink:credit=4", "1:status"}));
  for (const Bytes& pkt : {OpenChannelCommand(0x80, 2, 1), MakePacket(0x80, 2, 0, 0, {1})})
    EXPECT_TRUE(ExpectViolation(h, pkt, "not initialised").empty());
  h.Open(0x80, 2, 0);
  Bytes big(65, 0);  // a command of 71 bytes
  big[0] = kCredit;
  struct Case {
    Bytes pkt;
    const char* text;
  } cases[] = {
      {MakePacket(0x82, 2, 0, 0, {1}), "not open"},
      {MakePacket(0x80, 3, 0, 0, {1}), "names socket 3"},
      {MakePacket(0x80, 2, 0, 0, Bytes(0x100C - 5)), "longer than the agreed 4102"},
      {MakeCommand({kOpenChannel, 0x81, 2, 0}),
       "malformed MLC_OPEN_CHANNEL: length 10, expected 11"},
      {MakeCommand(big), "more than 64"},
      {MakeCommand({}), "without a command byte"},
      {CreditReply(0), "answers nothing we sent"},
      {CreditCommand(0x83, 2, 1), "MLC_CREDIT for 0x83/2"},
      {CloseChannelCommand(0x80, 7), "not open"},
      {Bytes{0, 0, 0, 2, 0, 0}, "below 6"},
      {MakeCommand({kDebit, 0x80, 2, 0, 1}), "unsupported command MLC_DEBIT"},
  };
  for (const Case& c : cases) ExpectViolation(h, c.pkt, c.text);
  EXPECT_EQ(h.p.channel(0x80)->host_credit, 4u);  // the refused packets cost no credit
  // A packet cut short is reported once the line stays silent.
  Bytes half = MakePacket(0x80, 2, 0, 0, {1, 2, 3});
  half.resize(5);
  h.Send(half);
  size_t n = h.violations();
  h.Advance(200);
  EXPECT_EQ(h.violations(), ++n);

  // Header bytes the host never sets, and a repeated configuration.
  h.Send(ConfigSocketCommand(1, 0x0106, 0x0106, 0));
  h.Send(OpenChannelCommand(0x81, 1, 0));
  h.Send(MakePacket(0x81, 1, 1, 0, {'?'}));  // message data's credit byte of 1: correct
  EXPECT_EQ(h.violations(), n);
  Case header[] = {
      {MakePacket(0x80, 2, 1, 0, {1}), "credit byte 1 in the header of stream data on 0x80"},
      {MakePacket(0x80, 2, 0, 4, {1}), "status byte 0x04 in a host header"},
      {MakePacket(0, 0, 0, 0x10, {kCredit, 0x80, 2, 0, 0}), "status byte 0x10 in a host header"},
  };
  for (const Case& c : header) ExpectViolation(h, c.pkt, c.text);
  // The agreement in force is repeated, not changed.
  EXPECT_EQ(ExpectViolation(h, ConfigSocketCommand(2, 0x0106, 0x0106, 0), "second MLC_CONFIG"),
            ConfigSocketReply(0, 0x100C, 0x0406, 0));
  // The stream header's credit byte gave us nothing to send with.
  EXPECT_EQ(h.p.channel(0x80)->peri_credit, 0u);
}

TEST(Peripheral, AnAnswerAfterWeGaveUpWaitingIsNoViolation) {
  EmuConfig cfg = ConfigWith({"2:sink:credit=1"});
  cfg.reply_wait_ms = 100;
  Harness h(cfg);
  h.Open(0x80, 2, 0);
  EXPECT_EQ(h.Send(MakePacket(0x80, 2, 0, 0, {1})), CreditCommand(0x80, 2, 1));
  h.Advance(150);
  h.Send(CreditReply(0));
  EXPECT_EQ(h.violations(), 0u);
  h.Send(CreditReply(0));  // a second one answers nothing
  EXPECT_EQ(h.violations(), 1u);
}

TEST(Peripheral, RefusesChannelsPastTheLimits) {
  EmuConfig cfg = ConfigWith({"2:sink:credit=2", "4:sink:channels=1", "5:sink"});
  cfg.channels_per_socket = 2;
  cfg.max_channels = 3;
  Harness h(cfg);
  h.Send(InitCommand(3));
  for (uint8_t psid : {2, 4, 5}) h.Send(ConfigSocketCommand(psid, 0x100C, 0x0406, 0));
  // Each channel has a service instance of its own, so each gets the whole credit.
  struct Case {
    uint8_t hsid, psid;
    Bytes reply;
  } cases[] = {
      {0x80, 2, OpenChannelReply(0, 2)},
      {0x81, 2, OpenChannelReply(0, 2)},
      {0x82, 2, OpenChannelReply(kResultMaxxedOut, 0)},
      {0x85, 4, OpenChannelReply(0, 8)},  // a socket's own limit overrides the default
      {0x86, 4, OpenChannelReply(kResultMaxxedOut, 0)},
      {0x89, 5, OpenChannelReply(kResultMaxxedOut, 0)},  // three open: the port's limit
  };
  for (const Case& c : cases) EXPECT_EQ(h.Send(OpenChannelCommand(c.hsid, c.psid, 0)), c.reply);
  EXPECT_EQ(h.violations(), 0u);
}

TEST(Faults, TheHostsAnswersToStrayCommandsAreJudged) {
  struct Case {
    const char* fault;
    Bytes answer;  // the host's answer to the command that follows the open reply
    bool violation;
  } cases[] = {
      {"unsupported=0x10@open", MakeCommand({0x90, 0}), true},
      // An answer shaped like the reply to MLC_DEBIT is not the 8-byte refusal.
      {"unsupported@open", DebitReplyFromHost(0xFF, 0), true},
      {"badcredit@open", CreditReply(3), false},
      {"badcredit=hsid@open", CreditReply(0), true},
      {"badcredit=psid:9@open", CreditReply(0), true},
      {"baddebit=hsid:0x90@open", DebitReplyFromHost(1, 0), false},
      {"baddebit=psid@open", DebitReplyFromHost(0, 1), true},
  };
  for (const Case& c : cases) {
    Harness h(ConfigWith({"2:sink:credit=2", "4:source:bytes=0"}, {c.fault}));
    ASSERT_EQ(SplitPackets(h.Open(0x80, 2, 0)).size(), 2u) << c.fault;
    h.Send(c.answer);
    EXPECT_EQ(h.violations(), c.violation ? 1u : 0u) << c.fault;
    // A stray command changes no books of the channel that is open.
    EXPECT_EQ(h.p.channel(0x80)->host_credit, 2u) << c.fault;
  }
}

// A stray credit waiting behind our command in flight is not sent once the
// host has opened its socket pair meanwhile (the host would rightly apply it).
TEST(Faults, APairOpenedWhileTheStrayWaitedIsNotAimedAt) {
  EmuConfig cfg = ConfigWith({"2:sink:credit=2"}, {"creditreq@open", "badcredit@open"});
  cfg.channels_per_socket = 2;
  Harness h(cfg);
  std::vector<Bytes> out = SplitPackets(h.Open(0x80, 2, 0));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1][6], kCreditRequest);  // in flight; the stray for 0x81/2 waits
  ASSERT_EQ(SplitPackets(h.Send(OpenChannelCommand(0x81, 2, 0))).size(), 1u);
  EXPECT_EQ(h.Send(CreditRequestReply(0, 0)), Bytes());
  EXPECT_EQ(h.violations(), 0u);
  EXPECT_EQ(h.p.channel(0x81)->host_credit, 2u);
}

// Plays the host's packets (at ms from the start) until 40 s; the whole trace.
std::vector<std::string> Play(const EmuConfig& cfg,
                              const std::vector<std::pair<uint32_t, Bytes>>& script,
                              bool every_ms) {
  Harness h(cfg);
  h.p.Tick(h.now);
  size_t next = 0;
  for (uint32_t t = 0, idle_spins = 0; t < 40000;) {
    while (next < script.size() && script[next].first == t) h.Send(script[next++].second);
    uint32_t step = std::min(every_ms ? 1 : h.p.MsUntilDue(h.now),
                             (next < script.size() ? script[next].first : 40000) - t);
    if (step == 0 && ++idle_spins > 1000) return {"due at once, again and again"};
    h.Advance(step);
    t += step;
  }
  return h.trace.Lines();
}

// Ticked only when due, the peripheral does what one ticked every ms does.
TEST(IdleWait, TickingOnlyWhenDueChangesNothing) {
  EmuConfig cfg =
      ConfigWith({"2:sink:credit=1,drain=1000", "4:source:bytes=5000"},
                 {"nodrain@t=20000", "stall@t=36000", "late=credit:700", "split=data:3:100"});
  Bytes data = MakePacket(0x80, 2, 0, 0, Bytes(1000, 7));
  std::vector<std::pair<uint32_t, Bytes>> script = {
      {0, InitCommand(3)},
      {0, ConfigSocketCommand(2, 0x100C, 0x0406, 0)},
      {0, ConfigSocketCommand(4, 0x100C, 0x0406, 0)},
      {0, OpenChannelCommand(0x80, 2, 0)},
      {0, OpenChannelCommand(0x81, 4, 0)},  // the source waits for credit: it asks
      {10, data},                           // drained by 1010: credit then
      {500, CreditRequestReply(0, 0)},
      {1700, CreditRequestReply(0, 0)},
      {1800, CreditReply(0)},
      {4000, Bytes(data.begin(), data.begin() + 3)},  // a packet cut short
      {6100, CreditCommand(0x81, 4, 1)},              // its reply late, its data split
      {6150, data},
  };
  std::vector<std::string> slow = Play(cfg, script, true);
  EXPECT_EQ(Play(cfg, script, false), slow);
  EXPECT_GT(slow.size(), 12u);
  // Nothing is due on an idle link.
  Harness h(ConfigWith({"2:sink", "3:echo"}));
  h.Open(0x80, 2, 0);
  h.Advance(1);
  EXPECT_EQ(h.p.MsUntilDue(h.now), Peripheral::kNothingDue);
}

}  // namespace
}  // namespace emu
