// Framing of a byte stream into packets, whatever the chunking.
#include <gtest/gtest.h>

#include "core_test_util.h"

namespace emu {
namespace {

TEST(Codec, SplitterFramesAnyChunkingAndRejectsShortHeaders) {
  Bytes stream = InitCommand(3);
  Bytes open = OpenChannelCommand(0x80, 2, 8);
  Bytes data = MakePacket(0x80, 2, 0, 0, Bytes(300, 7));
  stream.insert(stream.end(), open.begin(), open.end());
  stream.insert(stream.end(), data.begin(), data.end());
  for (size_t chunk : {1u, 5u, 6u, 7u, 64u}) {
    PacketSplitter sp;
    std::vector<Bytes> got;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      sp.Feed(stream.data() + i, std::min(chunk, stream.size() - i));
      Bytes pkt;
      while (sp.Next(pkt)) got.push_back(pkt);
    }
    ASSERT_EQ(got.size(), 3u) << chunk;
    EXPECT_EQ(got[1], open);
    EXPECT_EQ(got[2], data);
    EXPECT_EQ(sp.Pending(), 0u);
  }
  PacketSplitter sp;
  Bytes bad = Hex("00 00 00 03 00 00 7F");
  sp.Feed(bad.data(), bad.size());
  Bytes pkt;
  EXPECT_FALSE(sp.Next(pkt));
  EXPECT_EQ(sp.TakeGarbage(), bad);
  EXPECT_EQ(sp.Pending(), 0u);
}

}  // namespace
}  // namespace emu
