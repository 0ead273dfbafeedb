// Bringing a link up through the TCP bridge (krzbridge, a process of its
// own) against a printer written here: a second, minimal implementation of
// the peripheral's side of bring-up, so the link layer is not only proven
// against the emulator.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/packet.h"
#include "link_testbed.h"
#include "net_seam.h"
#include "testutil.h"

using peri::Bytes;

namespace {

namespace net = emu::net;

const char kTcpDeviceId[] = "MFG:Tcp;MDL:TinyPeer;CMD:MLC;";

// The printer at the far end of the bridge. It frames what comes in by the
// length in each header, answers MLC_INIT and MLC_EXIT, keeps every packet
// for the test, and sends what the test hands it.
class TcpPrinter {
 public:
  ~TcpPrinter() { Stop(); }
  bool Listen() {
    listener_ = net::Listen("127.0.0.1", 0, &port_);
    return listener_ != net::kNoSocket;
  }
  uint16_t port() const { return port_; }
  bool Accept() {
    peer_ = net::Accept(listener_, 10000);
    if (peer_ == net::kNoSocket) return false;
    thread_ = std::thread([this] { Loop(); });
    return true;
  }
  void Send(const Bytes& b) { net::SendAll(peer_, b.data(), b.size()); }
  std::vector<Bytes> Packets() {
    std::lock_guard<std::mutex> lock(mu_);
    return packets_;
  }
  // Waits until n packets came in.
  bool WaitPackets(size_t n) {
    for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < 5000; Sleep(5)) {
      if (Packets().size() >= n) return true;
    }
    return false;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (peer_ != net::kNoSocket) net::Close(peer_);
    if (listener_ != net::kNoSocket) net::Close(listener_);
    peer_ = listener_ = net::kNoSocket;
  }

 private:
  void Loop() {
    Bytes in;
    uint8_t buf[1024];
    while (!stop_) {
      int n = net::Receive(peer_, buf, sizeof buf, 20);
      if (n < 0) break;
      in.insert(in.end(), buf, buf + n);
      while (in.size() >= 6 && in.size() >= (size_t)((in[2] << 8) | in[3])) {
        size_t total = (size_t)((in[2] << 8) | in[3]);
        if (total < 6) total = in.size();  // nonsense: take all of it
        Bytes packet(in.begin(), in.begin() + (ptrdiff_t)total);
        in.erase(in.begin(), in.begin() + (ptrdiff_t)total);
        Answer(packet);
      }
    }
  }
  void Answer(const Bytes& packet) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      packets_.push_back(packet);
    }
    bool fCommand = packet[0] == 0 && packet.size() > 6;
    if (fCommand && packet[6] == MLC_INIT) Send({0, 0, 0, 9, 0, 0, MLC_INIT_REPLY, 0, 3});
    if (fCommand && packet[6] == MLC_EXIT) Send({0, 0, 0, 8, 0, 0, MLC_EXIT_REPLY, 0});
  }

  net::Socket listener_ = net::kNoSocket, peer_ = net::kNoSocket;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Bytes> packets_;
};

// Polls the port until a packet was handled (the bridge delivers late).
int PollUntilPacket(BYTE bPort) {
  int iResult = MLC_NO_DATA;
  for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < 5000; Sleep(5)) {
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    iResult = PollForData(bPort, &bHsid, &bPsid, &bCommand, &wLength, 0);
    if (iResult != MLC_NO_DATA) break;
  }
  return iResult;
}

}  // namespace

TEST(LinkBridge, BringUpThroughTheTcpBridgeAgainstAPrinterOfOurOwn) {
  WriteLinkIni("DoMLCSync=1\r\n");  // the synch bytes stay on the bridge's side
  ASSERT_TRUE(net::Startup());
  FakeHelper helper;
  ASSERT_TRUE(helper.ok());
  LONG lBlocksBefore = LinkBlocks(0);

  TcpPrinter printer;
  ASSERT_TRUE(printer.Listen());
  std::string cmd = "krzbridge.exe --port LPT1 --connect " + std::to_string(printer.port()) +
                    " --device-id " + kTcpDeviceId + " --trace none";
  PROCESS_INFORMATION pi{};
  STARTUPINFOA si{};
  si.cb = sizeof si;
  ASSERT_TRUE(CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
  ASSERT_TRUE(printer.Accept());
  DWORD hPort = GetHportVal(0);
  bool fConnected = false;
  for (DWORD dwStart = GetTickCount(); !fConnected && GetTickCount() - dwStart < 10000; Sleep(10)) {
    fConnected = VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL) != 0;
  }
  ASSERT_TRUE(fConnected) << "the bridge never attached";

  EXPECT_EQ(MLCInit(0), 1);
  ASSERT_TRUE(printer.WaitPackets(1));
  EXPECT_EQ(printer.Packets()[0], (Bytes{0, 0, 0, 8, 0, 0, MLC_INIT, 3}));
  char szId[300];
  EXPECT_EQ(MLCGetDeviceId(0, szId, sizeof szId), 1);
  EXPECT_STREQ(szId, kTcpDeviceId);
  EXPECT_EQ(MLCInit(0), 1);  // up already: nothing more on the wire

  // A command from the printer is answered; an error from it drops the
  // link, which comes up again.
  printer.Send({0, 0, 0, 11, 0, 0, MLC_CREDIT_REQUEST, 0x80, 1, 0, 4});
  EXPECT_EQ(PollUntilPacket(0), MLC_PACKET_SUCCESSFUL);
  ASSERT_TRUE(printer.WaitPackets(2));
  EXPECT_EQ(printer.Packets()[1], (Bytes{0, 0, 0, 10, 0, 0, MLC_CREDIT_REQUEST_REPLY, 0, 0, 0}));
  printer.Send({0, 0, 0, 8, 0, 0, MLC_ERROR, 1});
  EXPECT_EQ(PollUntilPacket(0), MLC_UNRECOVERABLE_ERROR);
  ExpectLinkDown(0);
  EXPECT_EQ(MLCInit(0), 1);
  ASSERT_TRUE(printer.WaitPackets(3));
  EXPECT_EQ(printer.Packets()[2], (Bytes{0, 0, 0, 8, 0, 0, MLC_INIT, 3}));
  Sleep(100);
  EXPECT_EQ(printer.Packets().size(), 3u);

  // The printer hangs up. The bridge is ended here rather than waited for:
  // whether it leaves by itself is the bridge's own behaviour (its tests),
  // not the library's.
  printer.Stop();
  if (WaitForSingleObject(pi.hProcess, 2000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), (DWORD)WAIT_OBJECT_0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_LE(LinkBlocks(0), lBlocksBefore);
  StartAllOverAgain(0, FALSE);
  WriteLinkIni();
}
