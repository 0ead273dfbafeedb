// Packet bytes against the packet tables, framing of a byte stream, the
// decoded names of every packet type, and the text forms of services and faults.
#include <gtest/gtest.h>

#include "cli_options.h"
#include "core_test_util.h"

namespace emu {
namespace {

TEST(Codec, PeripheralPacketsMatchTheTables) {
  struct Case {
    Bytes built;
    const char* wire;
  } cases[] = {
      {CreditReply(3), "00 00 00 08 00 00 83 03"},
      {CreditRequestReply(0, 0x0102), "00 00 00 0A 00 00 84 00 01 02"},
      {CreditCommand(0x81, 2, 0x0203), "00 00 00 0B 00 00 03 81 02 02 03"},
      {CreditRequestCommand(0x80, 5, 0xFFFF), "00 00 00 0B 00 00 04 80 05 FF FF"},
      {UnsupportedReply(0x06), "00 00 00 08 00 00 86 FF"},
      // What the host sends.
      {InitCommand(3), "00 00 00 08 00 00 00 03"},
      {OpenChannelCommand(0x80, 2, 8), "00 00 00 0B 00 00 01 80 02 00 08"},
      {CloseChannelCommand(0x80, 2), "00 00 00 09 00 00 02 80 02"},
      {ConfigSocketCommand(2, 0x100C, 0x0406, 0), "00 00 00 0D 00 00 07 02 10 0C 04 06 00"},
      {ExitCommand(), "00 00 00 07 00 00 08"},
      {DebitReplyFromHost(0, 4), "00 00 00 0A 00 00 86 00 00 04"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, Hex(c.wire)) << c.wire;
  Bytes payload(100, 0xAA);
  Bytes data = MakePacket(0x81, 2, 1, 0, payload);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 6), Hex("81 02 00 6A 01 00"));
}

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

TEST(Codec, DescribeDecodesFieldsAndWhatIsNoPacket) {
  struct Case {
    Bytes pkt;
    const char* text;
  } cases[] = {
      {OpenChannelCommand(0x80, 2, 8), "MLC_OPEN_CHANNEL hsid=80 psid=02 credit=8 (len 11)"},
      {MakeCommand({0x06}), "MLC_DEBIT_REQUEST"},
      {ConfigSocketCommand(2, 0x100C, 0x0406, 0),
       "MLC_CONFIG_SOCKET psid=02 htop=0x100C ptoh=0x0406 status_level=00 (len 13)"},
      {MakeCommand({0x85, 0}), "MLC_DEBIT_REPLY result=00"},
      {MakeCommand({0x9A, 1}), "UNKNOWN_0x9A"},
      {MakePacket(0x81, 2, 1, 0, Bytes(100)), "DATA hsid=81 psid=02 len=106 payload=100 credit=1"},
      {Hex("00 00 00"), "UNPARSEABLE 3 bytes: 00 00 00"},
      // Host socket id 0 is a command, whatever the peripheral socket id.
      {Hex("00 05 00 08 00 00 7F 01"), "MLC_ERROR code=1 (len 8) [header psid=05"},
      {Hex("00 00 00 02 00 00"), "HEADER announcing 2 bytes, below 6"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(Describe(c.pkt.data(), c.pkt.size()).find(c.text), std::string::npos)
        << Describe(c.pkt.data(), c.pkt.size());
  }
  // A reply truncated by a fault still decodes what it holds.
  Bytes cut = OpenChannelReply(0, 8);
  cut.resize(8);
  EXPECT_EQ(Describe(cut.data(), cut.size()), "MLC_OPEN_CHANNEL_REPLY result=00 (len 10)");
}

// Every other test parses its services and faults through these; here are
// the refusals and the text a fault is traced with.
TEST(Codec, ServiceAndFaultTextForms) {
  ServiceSetup s;
  Fault f;
  std::string err;
  for (const char* bad : {"sink", "0:sink", "2:printer", "2:sink:credit=0", "2:sink:drain=x"}) {
    EXPECT_FALSE(ParseService(bad, &s, &err)) << bad;
  }
  for (const char* text : {"late=config:500", "badlen=open:-1", "unknown=init:137", "half=credit#2",
                           "nodrain@bytes=4096", "detach@t=250", "badcredit=psid:9@t=5",
                           "baddebit=hsid:144@open", "shortlen=2@bytes=1"}) {
    ASSERT_TRUE(ParseFault(text, &f, &err)) << text << ": " << err;
    EXPECT_EQ(FaultText(f), text);
  }
  for (const char* text :
       {"noreply", "late=open", "noreply=open@t=5", "error", "error=300", "nocredit@never",
        "result=open:0", "frobnicate", "badlen=open:0", "debit@open", "split=open:0",
        "unsupported=3", "shortlen=6", "badcredit=x", "emptycmd=1", "split=data:1:2:3"}) {
    EXPECT_FALSE(ParseFault(text, &f, &err)) << text;
  }
}

// The options the program tests do not pass: the device-ID faults go into
// the configuration, not the fault list; and the refusals.
TEST(CommandLine, OptionsBuildTheConfiguration) {
  EmulatorOptions o;
  std::string err;
  ASSERT_TRUE(ParseEmulatorArgs({}, &o, &err)) << err;
  EXPECT_EQ(o.port, "LPT1");
  EXPECT_EQ(o.cfg.services.size(), 4u);  // the default set
  ASSERT_TRUE(
      ParseEmulatorArgs({"--fault", "noreply=open", "--fault", "idnomlc", "--fault", "idlen=300",
                         "--fault", "noecp", "--max-ptoh", "0x0206", "--piggyback",
                         "--channels-per-socket", "4", "--service", "2:sink:channels=9"},
                        &o, &err))
      << err;
  EXPECT_EQ(o.cfg.faults.size(), 1u);
  EXPECT_EQ(o.cfg.device_id.find("MLC"), std::string::npos);
  EXPECT_EQ(o.cfg.id_length, 300);
  EXPECT_EQ(o.cfg.capabilities, 0u);
  EXPECT_EQ(o.cfg.max_ptoh, 0x0206);
  EXPECT_TRUE(o.cfg.piggyback);
  EXPECT_EQ(o.cfg.channels_per_socket, 4u);
  EXPECT_EQ(o.cfg.services[0].channels, 9u);
  EXPECT_TRUE(WantsHelp({"-h", "--bogus"}));
  for (const char* bad : {"--bogus", "--seconds", "--port=LPT1", "--channels-per-socket"}) {
    EXPECT_FALSE(ParseEmulatorArgs({bad}, &o, &err)) << bad;
  }
  EXPECT_FALSE(ParseEmulatorArgs({"--port", "LPT4"}, &o, &err));
  BridgeOptions b;
  EXPECT_FALSE(ParseBridgeArgs({"--port", "LPT2"}, &b, &err));  // neither listen nor connect
  EXPECT_FALSE(ParseBridgeArgs({"--connect", "0"}, &b, &err));
}

}  // namespace
}  // namespace emu
