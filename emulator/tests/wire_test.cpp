// The command-line emulator on a real port's virtual wire, driven through
// the host side of KRZCOM15. (The emulator in process on the wire, its
// device ID, capabilities and exchanges: every library suite that runs
// against it.)
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

// The emulator program next to this test program.
std::string ProgramPath() {
  char self[1024];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string quoted = "\"";
  quoted.append(self, n);
  quoted.erase(quoted.find_last_of("/\\") + 1);  // keeps the folder
  quoted += kProgram;
  quoted += "\"";
  return quoted;
}

std::string ReadAll(std::FILE* f) {
  std::string all;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f)) all += buf;
  return all;
}

bool FileExists(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "r");
  if (f) std::fclose(f);
  return f != nullptr;
}

// The program: ready once attached, its faults, and exit code 1 for the
// host's violation (what scripts driving it rely on).
TEST(Wire, CommandLineEmulatorServesAPortTracesAndSummarises) {
  unsigned long pid = static_cast<unsigned long>(GetCurrentProcessId());
  std::string trace_name = "krzemu-trace-" + std::to_string(pid) + ".txt";
  std::string ready_name = "krzemu-ready-" + std::to_string(pid) + ".txt";
  std::FILE* out = OpenPipe(ProgramPath() +
                            " --port LPT2 --service 2:echo --service 3:sink --fault result=open#2:1"
                            " --fault error=5@close --seconds 4 --trace " +
                            trace_name + " --ready-file " + ready_name);
  ASSERT_NE(out, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "krzemu: ready on LPT2\n");
  // Ready means attached: the file is there and the host is answered at once.
  EXPECT_TRUE(FileExists(ready_name));
  HostPort host("LPT2");
  EXPECT_TRUE(host.Connected());
  host.SetAddress(kMlcAddress);
  EXPECT_EQ(host.Exchange(InitCommand(3)), InitReply(0, 3));
  EXPECT_EQ(host.Exchange(ConfigSocketCommand(2, 0x100C, 0x0406, 0)),
            ConfigSocketReply(0, 0x100C, 0x0406, 0));
  EXPECT_EQ(host.Exchange(ConfigSocketCommand(3, 0x100C, 0x0406, 0)),
            ConfigSocketReply(0, 0x100C, 0x0406, 0));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x80, 2, 1)), OpenChannelReply(0, 4));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x81, 3, 1)), OpenChannelReply(1, 0));
  ASSERT_TRUE(host.Write(MakePacket(0x80, 2, 0, 0, {'h', 'i'})));
  EXPECT_EQ(host.Read(1).at(0), MakePacket(0x80, 2, 0, 0, {'h', 'i'}));
  ASSERT_TRUE(host.Write(CloseChannelCommand(0x80, 2)));
  std::vector<Bytes> last = host.Read(3);
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(last[0], CreditCommand(0x80, 2, 1));  // the echoed packet's slot, granted back
  EXPECT_EQ(last[1], CloseChannelReply(0));
  EXPECT_EQ(last[2], ErrorCommand(5));
  host.Write(Hex("00 00 00 07 00 00 7F"));  // a malformed MLC_ERROR: a host violation
  std::string rest = ReadAll(out);
  EXPECT_EQ(ClosePipe(out), 1);
  EXPECT_NE(rest.find("host violations 1"), std::string::npos) << rest;
  EXPECT_FALSE(FileExists(ready_name));  // removed at the end
  std::remove(trace_name.c_str());
}

}  // namespace
}  // namespace emu
