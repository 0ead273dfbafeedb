// The programs on a port's virtual wire, driven through the host side of
// KRZCOM15 (the emulator in process on the wire: every library suite).
// krzemu: ready once attached, faults from its options, and exit code 1 for
// a host violation, what scripts driving it rely on.
#include <gtest/gtest.h>

#include <cstdio>

#include "core_test_util.h"
#include "host_port.h"
#include "testutil.h"

namespace emu {
namespace {

bool FileExists(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "r");
  return f && !std::fclose(f);
}

TEST(Wire, CommandLineEmulatorServesAPortWithItsFaultsAndTellsAViolation) {
  std::string ready = "krzemu-ready-" + std::to_string(GetCurrentProcessId());
  std::string stop = ready + ".stop";
  Program emu(
      "krzemu.exe --port LPT2 --service 2:echo --service 3:sink --fault result=open#2:1"
      " --fault error=5@close --seconds 30 --trace none --ready-file " +
      ready + " --stop-file " + stop);
  ASSERT_TRUE(Eventually([&] { return FileExists(ready); }));
  HostPort host("LPT2");
  EXPECT_TRUE(host.Connected());  // ready means attached
  host.SetAddress(kMlcAddress);
  EXPECT_EQ(host.Exchange(InitCommand(3)), InitReply(0, 3));
  for (uint8_t psid : {2, 3}) {
    EXPECT_EQ(host.Exchange(ConfigSocketCommand(psid, 0x100C, 0x0406, 0)),
              ConfigSocketReply(0, 0x100C, 0x0406, 0));
  }
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x80, 2, 1)), OpenChannelReply(0, 4));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x81, 3, 1)), OpenChannelReply(1, 0));
  Bytes hi = MakePacket(0x80, 2, 0, 0, {'h', 'i'});
  EXPECT_EQ(host.Exchange(hi), hi);
  ASSERT_TRUE(host.Write(CloseChannelCommand(0x80, 2)));
  // The echoed packet's slot granted back, the close answered, then the error.
  EXPECT_EQ(host.Read(3),
            (std::vector<Bytes>{CreditCommand(0x80, 2, 1), CloseChannelReply(0), ErrorCommand(5)}));
  host.Write(Hex("00 00 00 07 00 00 7F"));  // a malformed MLC_ERROR: a host violation
  std::fclose(std::fopen(stop.c_str(), "w"));
  EXPECT_EQ(emu.ExitCode(), 1u);
  EXPECT_FALSE(FileExists(ready));  // removed at the end
  std::remove(stop.c_str());
}

}  // namespace
}  // namespace emu
