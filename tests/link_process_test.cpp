// The link of a port shared by real processes and threads: two processes
// bringing it up at once, one killed in the middle of an exchange while it
// holds the port's mutex, early returns that must let the port go (a
// process's mutex is recursive, so only another process sees one that was
// kept), and two ports reset at once while a real helper stops.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "krzmlc15.h"
#include "link_testbed.h"
#include "notify/hidden.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"
#include "vperi.h"

namespace {

// The frame of link_testbed with the scripted printer on LPT1; the children
// find the stand-in's setup done, so no helper process starts.
using LinkProcesses = LinkTest;

// Another process takes the port's mutex within 5 s and lets it go.
void ExpectAnotherProcessGetsThePort(BYTE bPort) {
  NamedEvent ready("taken"), go("go");
  Child other;
  ASSERT_TRUE(other.Start("ppi " + std::to_string(bPort) + " " + ready.name + " " + go.name));
  EXPECT_EQ(WaitForSingleObject(ready.handle, 5000), (DWORD)WAIT_OBJECT_0) << "the port was kept";
  SetEvent(go.handle);
}

void SetChannelType(BYTE bPort, BYTE bHsid, BYTE bType) {
  ObtainPPI(bPort);
  *(BYTE*)LockChannelIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID)) = bType;  // leads both records
  UnlockChannelIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID));
  ReleasePPI(bPort);
}

// Two threads run fn(0, pair) and fn(1, pair) and may meet there (on events,
// not std::barrier: MinGW's C++ runtime can miss a barrier's wake-up, and a
// thread left waiting holds its port for ever). True when both returned
// within 10 s; threads that did not are left running (detached): a
// deadlock is reported, not waited for.
struct Pair {
  HANDLE hArrived[2] = {CreateEventA(NULL, TRUE, FALSE, NULL),
                        CreateEventA(NULL, TRUE, FALSE, NULL)};
  HANDLE hDone = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::atomic<int> nDone{0};
  ~Pair() { CloseHandle(hArrived[0]), CloseHandle(hArrived[1]), CloseHandle(hDone); }
  void Meet(int i) {  // one whose partner does not come goes on all the same
    SetEvent(hArrived[i]);
    WaitForSingleObject(hArrived[1 - i], 10000);
  }
};
bool OnTwoThreads(std::function<void(int, Pair&)> fn) {
  auto pair = std::make_shared<Pair>();  // a detached thread may outlive this call
  std::thread threads[2];
  for (int i = 0; i < 2; ++i)
    threads[i] = std::thread([pair, fn, i] {
      fn(i, *pair);
      if (++pair->nDone == 2) SetEvent(pair->hDone);
    });
  bool fEnded = WaitForSingleObject(pair->hDone, 10000) == WAIT_OBJECT_0;
  for (std::thread& t : threads) fEnded ? t.join() : t.detach();
  return fEnded;
}

// Two threads take ports 0 and 1, meet, and reset their port with the
// helper stop (which looks at the other port for open channels).
bool ResetTwoPortsAtOnce() {
  return OnTwoThreads([](int i, Pair& pair) {
    ObtainPPI((BYTE)i);  // as a failing exchange holds it
    pair.Meet(i);
    StartAllOverAgain((BYTE)i, TRUE);
    ReleasePPI((BYTE)i);
  });
}

}  // namespace

TEST_F(LinkProcesses, TwoProcessesBringingThePortUpPutOneInitOnTheWire) {
  NamedEvent go("go"), firstReady("first"), secondReady("second");
  // Exactly one MLC_INIT, answered, and then nothing more.
  peri_.StartFn([](peri::Peripheral& p) { return p.AnswerInit() && p.ExpectSilence(1000); });
  Child first, second;
  ASSERT_TRUE(first.Start("linkup 0 " + firstReady.name + " " + go.name));
  ASSERT_TRUE(second.Start("linkup 0 " + secondReady.name + " " + go.name));
  ASSERT_TRUE(firstReady.WaitSet());
  ASSERT_TRUE(secondReady.WaitSet());
  SetEvent(go.handle);  // both start at once
  EXPECT_EQ(first.Wait(), 101u);
  EXPECT_EQ(second.Wait(), 101u);
  EXPECT_TRUE(peri_.Join()) << "not one MLC_INIT: " << peri_.failures();
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
}

// A process that dies holding the port, waiting for a reply to its command
// or in the middle of reading a packet, leaves a link nobody can trust: the
// next call resets it and brings it up anew.
TEST_F(LinkProcesses, AProcessKilledMidExchangeLeavesALinkTheNextCallerBringsUpAgain) {
  for (const char* lpszWhere : {"linkhold", "linkread"}) {
    SCOPED_TRACE(lpszWhere);
    BringUp();
    NamedEvent ready("ready");
    Child holder;
    bool fReading = strcmp(lpszWhere, "linkread") == 0;
    bool fBegun = !fReading || peri_.Send({0x00, 0x00, 0x00});  // a header begun
    ASSERT_TRUE(fBegun);
    ASSERT_TRUE(holder.Start(std::string(lpszWhere) + " 0 " + ready.name));
    ASSERT_TRUE(ready.WaitSet());
    if (fReading) {
      // Once the holder has taken the bytes off the wire, it is in the read,
      // waiting for the rest.
      ASSERT_TRUE(Eventually([] { return !VPERI_HostWaitInput(GetHportVal(0), 0); }));
    } else {
      // The credit command is on the wire; its sender waits for the reply.
      EXPECT_TRUE(peri_.Expect(peri::Command({0x03, 0x80, 0x01, 0x00, 0x00})));
    }
    holder.Kill();
    BringUp();  // this call finds the mutex abandoned, and sends a new MLC_INIT
    EXPECT_EQ(PortRecord(0).bLastMlcCommand, NO_COMMAND);
    StartAllOverAgain(0, FALSE);
  }
}

TEST_F(LinkProcesses, EarlyReturnsLetThePortGo) {
  // Bring-up in a process without a handle of the port.
  ASSERT_TRUE(MLCReleasePortHandle(GetHportVal(1)));
  EXPECT_EQ(MLCInit(1), MLC_PHYSICAL_LINK_FAILURE);
  ExpectAnotherProcessGetsThePort(1);
  // The liveness probe while another command awaits its reply, and on a
  // channel whose type is neither stream nor packet.
  ObtainPPI(0)->fMlcInitDone = TRUE;  // up, as far as the probe looks
  ReleasePPI(0);
  BYTE bHsid = AddChannel(0, MLC_STREAM_CHANNEL, 0x02, 0);
  SetLastCommand(0, MLC_OPEN_CHANNEL);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetLastCommand(0, NO_COMMAND);
  SetChannelType(0, bHsid, 9);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetChannelType(0, bHsid, MLC_STREAM_CHANNEL);  // so that the reset frees it as what it is
}

// A real helper stopped while two ports are reset at once: its detach takes
// the mutex of every port it mapped to tear the port down, so one resetting
// thread is held back while the other waits for it with its own port taken.
// That wait must end: a thread left waiting keeps its port mutex for ever.
TEST(LinkHelperStop, TwoPortResetsWhileAStoppedHelperLeavesAllEndAndLeaveThePortsFree) {
  WriteLinkIni();
  for (int iRound = 0; iRound < 2; ++iRound) {
    SCOPED_TRACE(iRound);
    for (BYTE bPort = 0; bPort < 2; ++bPort) {  // a block in each: the helper maps both
      PerPortInfo* lpPPI = ObtainPPI(bPort);
      if (!lpPPI->hDeviceID) lpPPI->hDeviceID = AllocMLCCheck(bPort, 16);
      ReleasePPI(bPort);
    }
    MLCCleanup();  // no setup left: the next launch starts the real helper
    ASSERT_EQ(LaunchHiddenExe(), 1);
    ASSERT_EQ(AttachedProcesses(), 2u);
    KillHiddenExe();
    // Pairs of resets until the helper is gone, its teardown included; the
    // last pairs meet no helper at all.
    int nPairs = 0;
    do {
      ASSERT_TRUE(ResetTwoPortsAtOnce()) << "pair " << nPairs << ": a reset never ended";
      ObtainAttach();  // held by a detach for its whole teardown
      ReleaseAttach();
    } while (AttachedProcesses() > 1 && ++nPairs < 100);
    EXPECT_EQ(AttachedProcesses(), 1u) << "the helper did not leave";
    EXPECT_TRUE(ResetTwoPortsAtOnce());
    // Another thread takes both ports, one after the other.
    std::atomic<bool> fBoth{false};
    EXPECT_TRUE(OnTwoThreads([&](int i, Pair&) {
      if (i) return;
      PerPortInfo* lpFirst = CheckPPI(0);
      CheckReleasePPI(lpFirst, 0);
      PerPortInfo* lpSecond = CheckPPI(1);
      CheckReleasePPI(lpSecond, 1);
      fBoth = lpFirst && lpSecond;
    }));
    EXPECT_TRUE(fBoth) << "a port was left taken";
  }
  MLCCleanup();
}
