// The command-line emulator on a port's virtual wire, driven through the
// host side of KRZCOM15: ready once attached, faults from its options, and
// exit code 1 for a host violation (what scripts driving it rely on). (The
// emulator in process on the wire: every library suite that runs against it.)
#include <gtest/gtest.h>

#include <cstdio>

#include "core_test_util.h"
#include "host_port.h"

namespace emu {
namespace {

#ifdef _WIN32
std::FILE* OpenPipe(const std::string& cmd) { return _popen(cmd.c_str(), "r"); }
int ClosePipe(std::FILE* f) { return _pclose(f); }
const char kProgram[] = "krzemu.exe";
#else
std::FILE* OpenPipe(const std::string& cmd) { return popen(cmd.c_str(), "r"); }
int ClosePipe(std::FILE* f) {
  int status = pclose(f);
  return status >= 0 && (status & 0x7F) == 0 ? (status >> 8) & 0xFF : -1;
}
const char kProgram[] = "krzemu";
#endif

bool FileExists(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "r");
  return f && !std::fclose(f);
}

TEST(Wire, CommandLineEmulatorServesAPortWithItsFaultsAndTellsAViolation) {
  char self[1024];
  std::string program(self, GetModuleFileNameA(nullptr, self, sizeof self));
  program.erase(program.find_last_of("/\\") + 1);  // the folder of this test program
  std::string ready = "krzemu-ready-" + std::to_string(GetCurrentProcessId()) + ".txt";
  std::FILE* out = OpenPipe("\"" + program + kProgram +
                            "\" --port LPT2 --service 2:echo --service 3:sink"
                            " --fault result=open#2:1 --fault error=5@close --seconds 4"
                            " --trace none --ready-file " +
                            ready);
  ASSERT_NE(out, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);  // the readiness line
  // Ready means attached: the file is there and the host is answered at once.
  EXPECT_TRUE(FileExists(ready));
  HostPort host("LPT2");
  EXPECT_TRUE(host.Connected());
  host.SetAddress(kMlcAddress);
  EXPECT_EQ(host.Exchange(InitCommand(3)), InitReply(0, 3));
  for (uint8_t psid : {2, 3}) {
    EXPECT_EQ(host.Exchange(ConfigSocketCommand(psid, 0x100C, 0x0406, 0)),
              ConfigSocketReply(0, 0x100C, 0x0406, 0));
  }
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x80, 2, 1)), OpenChannelReply(0, 4));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x81, 3, 1)), OpenChannelReply(1, 0));
  EXPECT_EQ(host.Exchange(MakePacket(0x80, 2, 0, 0, {'h', 'i'})),
            MakePacket(0x80, 2, 0, 0, {'h', 'i'}));
  ASSERT_TRUE(host.Write(CloseChannelCommand(0x80, 2)));
  // The echoed packet's slot granted back, the close answered, then the error.
  EXPECT_EQ(host.Read(3),
            (std::vector<Bytes>{CreditCommand(0x80, 2, 1), CloseChannelReply(0), ErrorCommand(5)}));
  host.Write(Hex("00 00 00 07 00 00 7F"));  // a malformed MLC_ERROR: a host violation
  while (std::fgets(line, sizeof line, out)) {
  }
  EXPECT_EQ(ClosePipe(out), 1);
  EXPECT_FALSE(FileExists(ready));  // removed at the end
}

}  // namespace
}  // namespace emu
