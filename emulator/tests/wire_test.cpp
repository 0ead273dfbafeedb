// The emulator on a real port's virtual wire, driven through the host side
// of KRZCOM15: device ID and capabilities, the exchanges, the wire-level
// faults, and the command-line program. (Credit under a slow sink on the
// wire: the library's data tests, with the same sink.)
#include <gtest/gtest.h>

#include <cstdio>

#include "core_test_util.h"
#include "host_port.h"
#include "wire_runner.h"

namespace emu {
namespace {

TEST(Wire, AnnouncesItselfAndServesTheHostExchanges) {
  Trace trace(nullptr, true);
  WireRunner runner(ConfigWith({"2:sink:store"}), &trace);
  std::string err;
  ASSERT_TRUE(runner.Start("LPT1", &err)) << err;
  HostPort host("LPT1");
  ASSERT_TRUE(host.ok());
  EXPECT_TRUE(host.Connected());
  EXPECT_EQ(host.Capabilities(), 4u);
  Bytes id = host.DeviceId();
  ASSERT_GT(id.size(), 2u);
  EXPECT_EQ(GetU16(id.data()), id.size());
  EXPECT_NE(std::string(id.begin() + 2, id.end()).find("CMD:MLC,"), std::string::npos);

  // Synch bytes first, then the MLC channel.
  ASSERT_TRUE(host.SetAddress(kSynchAddress));
  ASSERT_TRUE(host.Write(Bytes(4, 0)));
  ASSERT_TRUE(host.SetAddress(kMlcAddress));
  EXPECT_EQ(host.Exchange(InitCommand(3)), Hex("00 00 00 09 00 00 80 00 03"));
  EXPECT_EQ(host.Exchange(ConfigSocketCommand(2, 0x100C, 0x0406, 0)),
            Hex("00 00 00 0D 00 00 87 00 10 0C 04 06 00"));
  EXPECT_EQ(host.Exchange(OpenChannelCommand(0x80, 2, 0)), Hex("00 00 00 0A 00 00 81 00 00 08"));
  Bytes text(4000, 'x');
  ASSERT_TRUE(host.Write(MakePacket(0x80, 2, 0, 0, text)));
  // The sink drains at once and gives the packet's credit back.
  EXPECT_EQ(host.Read(1).at(0), CreditCommand(0x80, 2, 1));
  ASSERT_TRUE(host.Write(CreditReply(0)));
  EXPECT_EQ(host.Exchange(CloseChannelCommand(0x80, 2)), CloseChannelReply(0));
  EXPECT_EQ(host.Exchange(ExitCommand()), ExitReply());
  runner.With([&](Peripheral& p) {
    EXPECT_EQ(p.synch_bytes(), 4u);
    EXPECT_EQ(p.service(2)->stored(), text);
    EXPECT_TRUE(p.violations().empty());
    return 0;
  });
  runner.Stop();
  EXPECT_FALSE(host.Connected());
}

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
  std::string path(self, n);
  size_t slash = path.find_last_of("/\\");
  return "\"" + path.substr(0, slash + 1) + kProgram + "\"";
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
