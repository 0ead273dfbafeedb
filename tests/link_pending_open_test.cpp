// The peripheral answers an open before it sends anything for the channel:
// credit or debit that arrives while the open is still unanswered was sent
// for a socket pair that was not open then (a stale command that crossed
// the open on the wire) and must not count towards the new channel.
#include <gtest/gtest.h>

#include "link/packet.h"
#include "link_testbed.h"
#include "shared/records.h"

using peri::Bytes;
using peri::Command;

using LinkPendingOpen = LinkTest;

TEST_F(LinkPendingOpen, CreditAndDebitCountOnlyOnceTheOpenIsAnswered) {
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
  SetLastCommand(0, MLC_OPEN_CHANNEL);
  ASSERT_TRUE(peri_.Send(Command({0x81, 0x00, 0x00, 0x02})));
  EXPECT_EQ(ReceivePacket(0, 0, bStream, MLC_OPEN_CHANNEL_REPLY, FALSE, 1000), 0);
  ASSERT_TRUE(peri_.Send(Command({0x03, bStream, 0x03, 0x00, 0x01})));
  EXPECT_EQ(Poll(), MLC_PACKET_SUCCESSFUL);
  EXPECT_TRUE(peri_.Expect(Command({0x83, 0x00})));
  EXPECT_EQ(HostCredits(0, bStream), 3u);
  EXPECT_TRUE(peri_.ExpectSilence(50)) << "no error on the way";
}
