// How the emulator judges the host's answers to the stray commands its faults
// send (the fault matrix drives the faults end to end and relies on these
// judgements to find host violations).
#include <gtest/gtest.h>

#include "core_test_util.h"

namespace emu {
namespace {

TEST(Faults, TheHostsAnswersToStrayCommandsAreJudged) {
  struct Case {
    const char* fault;
    Bytes answer;  // the host's answer to the command that follows the open reply
    bool violation;
  } cases[] = {
      {"unsupported@open", Hex("00 00 00 08 00 00 86 FF"), false},
      {"unsupported=0x10@open", Hex("00 00 00 08 00 00 90 00"), true},
      // An answer shaped like the reply to MLC_DEBIT is not the 8-byte refusal.
      {"unsupported@open", DebitReplyFromHost(0xFF, 0), true},
      {"badcredit@open", CreditReply(3), false},
      {"badcredit=hsid@open", CreditReply(0), true},
      {"badcredit=psid@open", CreditReply(3), false},
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

// A stray credit waits its turn behind our command in flight; when the host
// opens its socket pair meanwhile, sending it would name an open channel,
// whose credit the host rightly applies: it is not sent.
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

}  // namespace
}  // namespace emu
