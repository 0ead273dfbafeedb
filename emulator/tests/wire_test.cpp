// krzemu and the TCP bridge (listening, and the program connecting out) on a
// port's virtual wire, driven through the host side of KRZCOM15.
#include <gtest/gtest.h>
#include <vperi.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "bridge.h"
#include "mlc_packet.h"
#include "testutil.h"
#include "trace.h"

namespace emu {
namespace {

// The host side of a port's virtual wire.
struct HostPort {
  DWORD h;
  PacketSplitter sp;
  explicit HostPort(const char* port) : h(VCOMM_OpenCommA(port, 1)) {}
  ~HostPort() { VCOMM_CloseComm(h); }
  bool Escape(DWORD code, void* in = nullptr, void* out = nullptr) {
    return VCOMM_EscapeCommFunction(h, code, in, out) != 0;
  }
  bool SetAddress(BYTE address) { return Escape(VCOMM_ESC_SET_ECP_CHANNEL, &address); }
  bool Write(const Bytes& b) {
    DWORD written = 0;
    return VCOMM_WriteComm(h, b.data(), static_cast<DWORD>(b.size()), &written) &&
           written == b.size();
  }
  // Whole packets, until count arrived or timeout_ms passed.
  std::vector<Bytes> Read(size_t count, DWORD timeout_ms = 3000) {
    std::vector<Bytes> out;
    for (DWORD start = GetTickCount();;) {
      for (Bytes pkt; out.size() < count && sp.Next(pkt);) out.push_back(pkt);
      DWORD spent = GetTickCount() - start;
      if (out.size() >= count || spent >= timeout_ms) return out;
      uint8_t buf[4096];
      DWORD got = 0;
      if (VPERI_HostWaitInput(h, timeout_ms - spent) && VCOMM_ReadComm(h, buf, sizeof buf, &got))
        sp.Feed(buf, got);
    }
  }
  // Writes a command and returns the first packet that comes back.
  Bytes Exchange(const Bytes& cmd) {
    std::vector<Bytes> v = Write(cmd) ? Read(1) : std::vector<Bytes>();
    return v.empty() ? Bytes{} : v[0];
  }
  uint32_t Capabilities() {  // 0xFFFFFFFF when it fails
    DWORD caps = 0;
    return Escape(VCOMM_ESC_GET_CAPABILITIES, nullptr, &caps) ? caps : 0xFFFFFFFF;
  }
  Bytes DeviceId() {  // empty when it fails
    Bytes buf(1024);
    DWORD room = static_cast<DWORD>(buf.size());
    buf.resize(Escape(VCOMM_ESC_GET_DEVICE_ID, &room, buf.data()) ? room : 0);
    return buf;
  }
  bool Connected() { return Escape(VCOMM_ESC_CHECK_CONNECTION); }
};

bool FileExists(const std::string& name) { return std::ifstream(name).good(); }

TEST(Wire, CommandLineEmulatorServesAPortWithItsFaultsAndTellsAViolation) {
  std::string ready = "krzemu-ready-" + std::to_string(GetCurrentProcessId());
  std::string stop = ready + ".stop";
  Child emu;
  emu.Run(
      "krzemu.exe --port LPT2 --service 2:echo --service 3:sink --fault result=open#2:1"
      " --fault error=5@close --seconds 30 --trace none --ready-file " +
      ready + " --stop-file " + stop);
  ASSERT_TRUE(Eventually([&] { return FileExists(ready); }));
  HostPort host("LPT2");
  EXPECT_TRUE(host.Connected());  // ready means attached
  host.SetAddress(kMlcAddress);
  EXPECT_EQ(host.Exchange(InitCommand(3)), InitReply(0, 3));
  for (uint8_t psid : {2, 3})
    EXPECT_EQ(host.Exchange(ConfigSocketCommand(psid, 0x100C, 0x0406, 0)),
              ConfigSocketReply(0, 0x100C, 0x0406, 0));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x80, 2, 1)), OpenChannelReply(0, 4));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x81, 3, 1)), OpenChannelReply(1, 0));
  Bytes hi = MakePacket(0x80, 2, 0, 0, {'h', 'i'});
  EXPECT_EQ(host.Exchange(hi), hi);
  ASSERT_TRUE(host.Write(CloseChannelCommand(0x80, 2)));
  // The echoed packet's slot granted back, the close answered, then the error.
  EXPECT_EQ(host.Read(3),
            (std::vector<Bytes>{CreditCommand(0x80, 2, 1), CloseChannelReply(0), ErrorCommand(5)}));
  host.Write(MakeCommand({0x7F}));  // a malformed MLC_ERROR: a host violation
  std::fclose(std::fopen(stop.c_str(), "w"));
  EXPECT_EQ(emu.Wait(10000), 1u);
  EXPECT_FALSE(FileExists(ready));  // removed at the end
  std::remove(stop.c_str());
}

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
  Child bridge;
  bridge.Run("krzbridge.exe --port LPT2 --connect " + std::to_string(port) +
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
  EXPECT_EQ(bridge.Wait(10000), 0u);
  net::Close(listener);
}

}  // namespace
}  // namespace emu
