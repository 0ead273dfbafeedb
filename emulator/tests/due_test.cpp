// The wire runner sleeps until the peripheral's next timed step: a
// peripheral ticked only then must do exactly what one ticked every
// millisecond does.
#include <gtest/gtest.h>

#include <algorithm>

#include "core_test_util.h"

namespace emu {
namespace {

struct Step {
  uint32_t at;  // ms from the start
  Bytes packet;
};

// Plays the host's packets at their times until `end`; the whole trace.
std::vector<std::string> Play(const EmuConfig& cfg, const std::vector<Step>& script,
                              bool every_ms) {
  const uint32_t end = 40000;
  Harness h(cfg);
  h.p.Tick(h.now);
  size_t next = 0;
  for (uint32_t t = 0, idle_spins = 0;;) {
    while (next < script.size() && script[next].at == t) h.Send(script[next++].packet);
    if (t >= end) break;
    uint32_t step = std::min(every_ms ? 1 : h.p.MsUntilDue(h.now),
                             (next < script.size() ? script[next].at : end) - t);
    if (step == 0 && ++idle_spins > 1000) {
      ADD_FAILURE() << "due at once, again and again, at " << t;
      break;
    }
    t += step;
    h.Advance(step);
  }
  return h.trace.Lines();
}

TEST(IdleWait, TickingOnlyWhenDueChangesNothing) {
  EmuConfig cfg =
      ConfigWith({"2:sink:credit=1,drain=1000", "4:source:bytes=5000"},
                 {"nodrain@t=20000", "stall@t=36000", "late=credit:700", "split=data:3:100"});
  Bytes data = MakePacket(0x80, 2, 0, 0, Bytes(1000, 7));
  std::vector<Step> script = {
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
