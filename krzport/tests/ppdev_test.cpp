// The ppdev backend and krzport against an emulated /dev/parport0: the
// whole chain client -> library -> virtual wire -> krzport -> ppdev ->
// device -> printer emulator, and the backend's own steps.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <vperi.h>

#include <algorithm>

#include "fake_parport.h"
#include "testutil.h"

namespace {

// A file in this test program's own folder.
std::string Temp(const char* name) { return std::string(getenv("W32POSIX_ROOT")) + "/" + name; }

// A printer whose device ID is 160 bytes long: its second length byte is 0xA0.
FakeSetup LongIdPrinter() {
  FakeSetup s;
  s.printer.device_id = std::string(emu::kDefaultDeviceId) + "CMT:";
  s.printer.device_id.resize(157, 'x');
  s.printer.device_id += ";";
  return s;
}

// krzport with the emulated device, serving a port until it is stopped.
struct Krzport {
  std::string out = Temp("krzport.out"), ready = Temp("ready");
  int pid = 0;
  explicit Krzport(FakeParport& dev, const std::string& port = "LPT1") {
    unlink(ready.c_str());
    pid = StartChild({KRZ_BIN_DIR "/krzport", "--port", port, "--device", "/dev/parport0",
                      "--ready-file", ready, "--quiet"},
                     dev.dir, out);
  }
  bool Serving() {  // the ready file, written once it serves
    return Eventually([&] { return access(ready.c_str(), F_OK) == 0; }, 30000);
  }
};

int Print(size_t cbJob, const char* timeout = "30000") {
  std::string job = Temp("job"), out = Temp("krzprint.out");
  WriteTextFile(job, std::string(cbJob, 'j'));
  int rc =
      WaitChild(StartChild({KRZ_BIN_DIR "/krzprint", "--no-progress", "--timeout", timeout,
                            "--read", "4", "--read-bytes", "4096", "--out", Temp("readback"), job},
                           "", out),
                120);
  if (rc != 0) std::cout << ReadTextFile(out);
  return rc;
}

TEST(PpdevBackend, AddressCyclesDeviceIdReadsAndStalledWrite) {
  FakeSetup setup = LongIdPrinter();
  setup.cbTakeBudget = 3 * 4 + 1 + 20;  // the last write stalls after 20 bytes
  FakeParport dev(setup);
  std::string out = Temp("probe.out");
  WriteTextFile(WindowsDirFile("KRZCOM15.INI"),
                "[LPT3]\r\nBackend=ppdev\r\nDevice=/dev/parport0\r\nWriteTimeout=0\r\n");
  ASSERT_EQ(
      0, WaitChild(StartChild({KRZ_BIN_DIR "/krzport_ppdev_probe", "/dev/parport0"}, dev.dir, out),
                   60));
  EXPECT_EQ(
      "caps 4\nwrite ok 3 error 0\nwrite ok 3 error 0\nid ok 160 00a0\nwrite ok 3 error 0\n"
      "write ok 3 error 0\nwrite ok 1 error 0\nread ok 0\nwait failed 1460\n"
      "write failed 20 error 512\nLPT3 id ok 160\n",
      ReadTextFile(out));
  // The time-out is set, then the port claimed again; an address goes out
  // before the first write, after the device-ID read renegotiated, and when
  // it changes, never while it stays the same. A configured time-out of 0
  // reaches the kernel as 10 ms.
  std::vector<std::string> expected = {
      "claim",      "settime 200", "release", "claim",     "negot 16",  "addr cd", "data 3",
      "data 3",     "negot 256",   "negot 4", "negot 256", "negot 16",  "addr cd", "data 3",
      "data 3",     "addr ce",     "data 1",  "data 20",   "negot 256", "release", "claim",
      "settime 10", "release",     "claim",   "negot 16",  "negot 256", "negot 4", "negot 256",
      "negot 16",   "negot 256",   "release"};
  std::lock_guard<std::mutex> lock(dev.mu);
  EXPECT_EQ(expected, dev.log);
  EXPECT_EQ(1u, dev.cEmptyReads);  // the read with nothing waiting, answered at once
}

TEST(PpdevBackend, RefusedNegotiationIsToldApart) {
  for (int iErrno : {EIO, ENXIO}) {
    FakeSetup setup;
    setup.iNegotiateErrno = iErrno;
    FakeParport dev(setup);
    Krzport port(dev);
    EXPECT_EQ(2, WaitChild(port.pid, 60));
    std::string text = ReadTextFile(port.out);
    EXPECT_NE(std::string::npos,
              text.find(iErrno == EIO ? "no IEEE 1284 device answers" : "refused ECP mode"))
        << text;
  }
}

TEST(PpdevChain, MainJobThroughKrzportAndASecondOwnerRefused) {
  FakeParport dev(LongIdPrinter());
  Krzport port(dev);
  ASSERT_TRUE(port.Serving()) << ReadTextFile(port.out);
  Krzport second(dev, "LPT2");  // the same device for another port
  EXPECT_EQ(2, WaitChild(second.pid, 60));
  EXPECT_NE(std::string::npos, ReadTextFile(second.out).find("already owned"))
      << ReadTextFile(second.out);
  EXPECT_EQ(0, Print(256 * 1024));
  EXPECT_EQ(4096u, ReadTextFile(Temp("readback")).size());
  kill(port.pid, SIGTERM);  // as a service manager stops it
  EXPECT_EQ(0, WaitChild(port.pid, 30)) << ReadTextFile(port.out);
  std::lock_guard<std::mutex> lock(dev.mu);
  EXPECT_EQ(256u * 1024, dev.printer.socket_stats(2).bytes_in);
  EXPECT_EQ(0u, dev.printer.violations().size());
  EXPECT_EQ(1, std::count(dev.log.begin(), dev.log.end(), "addr cd"));  // one for the whole job
}

TEST(PpdevChain, DeviceVanishingMidJobFreesTheWire) {
  FakeSetup setup = LongIdPrinter();
  setup.cbVanishAfter = 64 * 1024;
  FakeParport dev(setup);
  Krzport port(dev);
  ASSERT_TRUE(port.Serving()) << ReadTextFile(port.out);
  // The library gives a stalled write up after 2 s instead of 15.
  WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n");
  EXPECT_NE(0, Print(256 * 1024, "5000"));
  unlink(WindowsDirFile("KRZTBX15.INI").c_str());
  EXPECT_EQ(1, WaitChild(port.pid, 60));
  EXPECT_NE(std::string::npos, ReadTextFile(port.out).find("vanished")) << ReadTextFile(port.out);
  DWORD hPeri = VPERI_Attach("LPT1");  // krzport left the wire
  EXPECT_NE(0u, hPeri);
  if (hPeri) VPERI_Detach(hPeri);
}

}  // namespace
