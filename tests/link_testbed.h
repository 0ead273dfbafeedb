// What the link tests share: short time-outs in the INI files, a stand-in
// for the helper process's window (so bringing a link up starts no helper),
// the port record seen under its mutex, and the count of the port area's
// blocks that an exchange must not leave behind.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include "link/link.h"
#include "scripted_peripheral.h"
#include "shared/records.h"

// Time-outs the tests run with (KRZTBX15.INI).
constexpr DWORD kReplyTimeoutMs = 400;  // MLC_PACKET_TIMEOUT_WHILE_(NOT_)BUSY
constexpr DWORD kInterPacketMs = 300;   // MLC_INTER_PACKET_TIME_OUT
constexpr DWORD kStalledWriteMs = 150;  // KRZCOM15 WriteTimeout of LPT3

// A device ID that announces MLC.
extern const char kMlcDeviceId[];

// Writes KRZTBX15.INI and KRZCOM15.INI (before any port is opened: LPT3's
// wire gets a small ring then) and reads the library's settings again.
void WriteLinkIni(const std::string& extraKrztbx = "");

// An MLC_ERROR packet as the host sends it.
peri::Bytes ErrorPacket(BYTE bCode);

// A copy of the port's record, taken under its mutex.
PerPortInfo PortRecord(BYTE bPort);
void SetLastCommand(BYTE bPort, BYTE bCommand);
// Blocks of the port's area besides its device-ID block (which lives as
// long as the port's shared state does).
LONG LinkBlocks(BYTE bPort);

// Puts a channel record into the port's table by hand, as opening a channel
// will (that path comes with the channels): open, holding dwCredits, with a
// 4 KiB ring (stream) or two 1 KiB slots (packet), notifying hAppWnd with
// kChannelMsg. Returns the host socket id.
constexpr UINT kChannelMsg = WM_APP + 7;
BYTE AddChannel(BYTE bPort, BYTE bType, BYTE bPsid, DWORD dwCredits, HWND hAppWnd = NULL);
// The host's credit and the open flag of a channel's record.
DWORD HostCredits(BYTE bPort, BYTE bHsid);
BOOL ChannelOpen(BYTE bPort, BYTE bHsid);
void SetChannelOpen(BYTE bPort, BYTE bHsid, BOOL fOpen);

// Runs first and second on two threads: TRUE when both returned within
// dwMs. Threads that did not are left running (detached): a deadlock is
// reported, not waited for.
bool RunPair(std::function<void()> first, std::function<void()> second, DWORD dwMs);

// Two threads meet: each arrives, then waits at most dwMs for the other.
// Events, not std::barrier: MinGW's C++ runtime (no futex underneath) can
// miss the wake-up of a barrier waiter that goes to sleep just as its
// partner arrives, and that thread then waits for ever; holding a port
// mutex meanwhile, it hangs every later user of the port.
class Rendezvous {
 public:
  Rendezvous();
  ~Rendezvous();
  Rendezvous(const Rendezvous&) = delete;
  Rendezvous& operator=(const Rendezvous&) = delete;
  // Thread iSide (0 or 1) arrives; TRUE when the other one came in time.
  bool Meet(int iSide, DWORD dwMs);

 private:
  HANDLE hArrived_[2];
};

// Two threads take ports 0 and 1, meet, and reset their port with the
// helper stop (which looks at the other port for open channels): TRUE when
// both resets ended within dwMs. A thread whose partner does not come
// resets all the same, so no port is left taken.
bool ResetTwoPortsAtOnce(DWORD dwMs = 10000);

// The link is dropped: not initialised, nothing outstanding, no channel
// table or socket array.
void ExpectLinkDown(BYTE bPort);

// The library set up as if its helper process ran in this process: the
// window is ours and ignores WM_CLOSE; every port has a handle here.
class FakeHelper {
 public:
  FakeHelper();
  ~FakeHelper();
  bool ok() const { return fOk_; }

 private:
  HWND hWnd_ = NULL;
  bool fOk_ = false;
};

// The common frame of a link test on one port: helper stand-in, scripted
// peripheral with an MLC device ID, and at the end no block left behind.
class LinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { WriteLinkIni(); }
  void SetUp() override;
  void TearDown() override;
  // Brings the port's link up against the scripted peripheral.
  void BringUp();
  // One PollForData on the port.
  int Poll(BYTE bChannelContext = 0);

  BYTE bPort_ = 0;
  const char* lpszPort_ = "LPT1";
  bool fScript_ = true;  // false: the test attaches a far side of its own
  FakeHelper* helper_ = nullptr;
  peri::Peripheral peri_;
  LONG lBlocksBefore_ = 0;
};
