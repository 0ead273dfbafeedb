// How the emulator judges the host's answers to the stray commands its faults
// send: the fault matrix relies on these judgements to find host violations.
#include <gtest/gtest.h>

#include "core_test_util.h"

namespace emu {
namespace {

// Init + config of socket 2 (sink) and socket 4 (source, nothing to send).
Harness Ready(const std::vector<std::string>& faults) {
  return Harness(ConfigWith({"2:sink:credit=2", "4:source:bytes=0"}, faults));
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

}  // namespace
}  // namespace emu
