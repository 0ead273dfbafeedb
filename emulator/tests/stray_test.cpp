// A stray credit waits its turn behind our command in flight; when the
// host opens its socket pair meanwhile, sending it would name an open
// channel, whose credit the host rightly applies.
#include <gtest/gtest.h>

#include "core_test_util.h"

namespace emu {
namespace {

TEST(StrayCommands, APairOpenedWhileTheStrayWaitedIsNotAimedAt) {
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
