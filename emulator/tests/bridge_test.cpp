// The TCP bridge: listening, with a tiny peripheral of our own on the TCP
// side (the MLC channel both ways, synch bytes kept off it, a lost
// connection as a detach); and the program connecting out to a listening
// peripheral.
#include "bridge.h"

#include <gtest/gtest.h>

#include <thread>

#include "core_test_util.h"
#include "host_port.h"
#include "testutil.h"

namespace emu {
namespace {

// Answers MLC_INIT and MLC_EXIT (then hangs up) and sends every other
// packet straight back.
void TinyPeripheral(net::Socket s) {
  PacketSplitter sp;
  uint8_t buf[4096];
  for (int n; (n = net::Receive(s, buf, sizeof buf, 10000)) > 0;) {
    sp.Feed(buf, static_cast<size_t>(n));
    for (Bytes pkt; sp.Next(pkt);) {
      bool command = pkt[0] == 0 && pkt.size() > kHeaderSize;
      Bytes reply = !command          ? pkt
                    : pkt[6] == kInit ? InitReply(0, 3)
                    : pkt[6] == kExit ? ExitReply()
                                      : UnsupportedReply(pkt[6]);
      net::SendAll(s, reply.data(), reply.size());
      if (command && pkt[6] == kExit) return net::Close(s);
    }
  }
  net::Close(s);
}

TEST(Bridge, CarriesTheMlcChannelBothWaysAndDetachesWhenThePeerLeaves) {
  BridgeOptions opt;
  opt.port = "LPT1";
  opt.tcp_port = 0;
  opt.device_id = "MFG:Far Away;CMD:MLC;";
  opt.once = true;
  Trace trace(nullptr, true);
  Bridge bridge(opt, &trace);
  std::string err;
  ASSERT_TRUE(bridge.Prepare(&err)) << err;
  std::atomic<bool> stop{false};
  int rc = -1;
  std::thread serve([&] { rc = bridge.Run(stop); });
  HostPort host("LPT1");
  EXPECT_FALSE(host.Connected());  // no peer yet, so no peripheral on the wire
  std::thread peer([&] { TinyPeripheral(net::Connect("127.0.0.1", bridge.port())); });
  ASSERT_TRUE(Eventually([&] { return host.Connected() && host.DeviceId().size() > 2; }));
  Bytes id = host.DeviceId();
  EXPECT_EQ(std::string(id.begin() + 2, id.end()), opt.device_id);
  EXPECT_EQ(GetU16(id.data()), opt.device_id.size() + 2);
  EXPECT_EQ(host.Capabilities(), 4u);
  host.SetAddress(kSynchAddress);
  host.Write(Bytes(4, 0));
  host.SetAddress(kMlcAddress);
  EXPECT_EQ(host.Exchange(InitCommand(3)), InitReply(0, 3));
  Bytes data = MakePacket(0x80, 2, 0, 0, Bytes(3000, 0x5A));
  EXPECT_EQ(host.Exchange(data), data);
  EXPECT_EQ(host.Exchange(ExitCommand()), ExitReply());
  EXPECT_TRUE(Eventually([&] { return !host.Connected(); }));
  peer.join();
  serve.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(bridge.stats().synch_bytes, 4u);  // counted, not sent to the peer
}

TEST(Bridge, ProgramConnectsToAListeningPeripheralAndEndsWithTheConnection) {
  ASSERT_TRUE(net::Startup());
  uint16_t port = 0;
  net::Socket listener = net::Listen("127.0.0.1", 0, &port);
  ASSERT_NE(listener, net::kNoSocket);
  Program bridge("krzbridge.exe --port LPT2 --connect " + std::to_string(port) +
                 " --caps 0 --trace none --seconds 30");
  net::Socket s = net::Accept(listener, 15000);
  ASSERT_NE(s, net::kNoSocket);
  HostPort host("LPT2");
  // The capability word is set just after the attach: the host may see 4 for a moment.
  EXPECT_TRUE(Eventually([&] { return host.Capabilities() == 0u; }));
  host.SetAddress(kMlcAddress);
  host.Write(InitCommand(3));
  uint8_t buf[16];
  ASSERT_EQ(net::Receive(s, buf, sizeof buf, 3000), 8);
  EXPECT_EQ(Bytes(buf, buf + 8), InitCommand(3));
  Bytes reply = InitReply(0, 3);
  net::SendAll(s, reply.data(), reply.size());
  EXPECT_EQ(host.Read(1).at(0), reply);
  net::Close(s);  // the peer goes away: the bridge detaches and ends
  EXPECT_TRUE(Eventually([&] { return !host.Connected(); }));
  EXPECT_EQ(bridge.ExitCode(), 0u);
  net::Close(listener);
}

}  // namespace
}  // namespace emu
