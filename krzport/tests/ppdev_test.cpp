// The ppdev backend's own steps (this program is their probe, "--probe
// DEVICE") and the whole chain client -> library -> virtual wire -> krzport
// -> ppdev -> emulated /dev/parport0 -> printer emulator.
#include <errno.h>
#include <gtest/gtest.h>
#include <krzcom15.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <vperi.h>

#include <algorithm>

#include "fake_parport.h"
#include "testutil.h"

namespace {

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
  std::string out = WindowsDirFile("krzport.out"), ready = WindowsDirFile("ready");
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
  std::string job = WindowsDirFile("job"), out = WindowsDirFile("krzprint.out");
  WriteTextFile(job, std::string(cbJob, 'j'));
  int rc = WaitChild(
      StartChild({KRZ_BIN_DIR "/krzprint", "--no-progress", "--timeout", timeout, "--read", "4",
                  "--read-bytes", "4096", "--out", WindowsDirFile("readback"), job},
                 "", out),
      120);
  if (rc != 0) std::cout << ReadTextFile(out);
  return rc;
}

TEST(PpdevBackend, AddressCyclesDeviceIdReadsAndStalledWrite) {
  FakeSetup setup = LongIdPrinter();
  setup.cbTakeBudget = 3 * 4 + 1 + 20;  // the last write stalls after 20 bytes
  FakeParport dev(setup);
  std::string out = WindowsDirFile("probe.out");
  WriteTextFile(WindowsDirFile("KRZCOM15.INI"),
                "[LPT3]\r\nBackend=ppdev\r\nDevice=/dev/parport0\r\nWriteTimeout=0\r\n");
  ASSERT_EQ(0,
            WaitChild(StartChild({KRZ_BIN_DIR "/krzport_ppdev_tests", "--probe", "/dev/parport0"},
                                 dev.dir, out),
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
  EXPECT_EQ(4096u, ReadTextFile(WindowsDirFile("readback")).size());
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
  EXPECT_TRUE(VPERI_Detach(VPERI_Attach("LPT1")));  // krzport left the wire
}

// The probe: the port functions one step per line of output, for the test
// to compare with what the device saw: writes around an address change and a
// device-ID read, a read with nothing waiting, a wait for input, a write the
// printer stalls, and the device ID through the configuration of a port.
DWORD g_hPort = 0;

void Write(const char* psz) {
  DWORD cb = 0;
  BOOL fOk = VCOMM_WriteComm(g_hPort, psz, (DWORD)strlen(psz), &cb);
  printf("write %s %lu error %lu\n", fOk ? "ok" : "failed", (unsigned long)cb,
         fOk ? 0ul : (unsigned long)VCOMM_GetLastError(g_hPort));
}

void Address(BYTE b) { VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_SET_ECP_CHANNEL, &b, NULL); }

int Probe(const char* pszDevice) {
  g_hPort = VCOMM_OpenDeviceA("ppdev", pszDevice, 200);
  if (g_hPort == 0) {
    printf("open error %lu\n", (unsigned long)GetLastError());
    return 0;
  }
  DWORD dwCaps = 0;
  VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps);
  printf("caps %lu\n", (unsigned long)dwCaps);
  Address(0x4D);
  Write("abc");
  Write("def");
  BYTE abId[1026];
  DWORD cbId = sizeof abId;
  BOOL fOk = VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_GET_DEVICE_ID, &cbId, abId);
  printf("id %s %lu %02x%02x\n", fOk ? "ok" : "failed", (unsigned long)cbId, abId[0], abId[1]);
  Write("ghi");
  Address(0x4D);
  Write("jkl");
  Address(0x4E);
  Write("m");
  char abBuf[64];
  DWORD cbRead = 99;
  fOk = VCOMM_ReadComm(g_hPort, abBuf, sizeof abBuf, &cbRead);
  printf("read %s %lu\n", fOk ? "ok" : "failed", (unsigned long)cbRead);
  fOk = VCOMM_WaitInput(g_hPort, 30);
  printf("wait %s %lu\n", fOk ? "ok" : "failed", (unsigned long)GetLastError());
  Write("0123456789012345678901234567890123456789");
  VCOMM_CloseComm(g_hPort);
  // The same device named in KRZCOM15.INI for LPT3.
  DWORD cbLpt3 = 0;
  fOk = VCOMM_GetDeviceIdA("LPT3", abId, sizeof abId, &cbLpt3);
  printf("LPT3 id %s %lu\n", fOk ? "ok" : "failed", (unsigned long)cbLpt3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--probe") == 0) return Probe(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
