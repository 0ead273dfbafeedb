// A port's link shared by real processes and threads: bring-ups at once, a
// process killed mid-exchange, early returns that must let the port go (only
// another process sees a recursive mutex kept), and resets while a helper stops.
#include <string.h>

#include "link_testbed.h"
#include "notify/hidden.h"
#include "shared/sharedmem.h"
#include "vperi.h"

namespace {

using LinkProcesses = LinkTest;

// Another process takes the port's mutex within 5 s and lets it go.
void ExpectAnotherProcessGetsThePort(BYTE bPort) {
  NamedEvent ready("taken"), go("go");
  Child other;
  ASSERT_TRUE(other.Start("ppi " + std::to_string(bPort) + " " + ready.name + " " + go.name));
  EXPECT_EQ(WaitForSingleObject(ready.handle, 5000), (DWORD)WAIT_OBJECT_0) << "the port was kept";
  SetEvent(go.handle);
}

// Two threads take ports 0 and 1, meet, and reset their port with the helper
// stop (which looks at the other port for open channels). True when both end
// within 10 s; a deadlock is reported and its threads left running. (Events,
// not a std::barrier: MinGW can lose its wake-up.)
bool ResetTwoPortsAtOnce() {
  struct Events {
    HANDLE h[4];  // port taken by thread 0 and 1, thread 0 and 1 done
    Events() {
      for (HANDLE& e : h) e = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~Events() {
      for (HANDLE e : h) CloseHandle(e);
    }
  };
  auto events = std::make_shared<Events>();  // a detached thread may outlive this call
  for (int i = 0; i < 2; ++i)
    std::thread([events, i] {
      ObtainPPI((BYTE)i);  // as a failing exchange holds it
      SetEvent(events->h[i]);
      WaitForSingleObject(events->h[1 - i], 10000);
      StartAllOverAgain((BYTE)i, TRUE);
      ReleasePPI((BYTE)i);
      SetEvent(events->h[2 + i]);
    }).detach();
  return WaitForSingleObject(events->h[2], 10000) == WAIT_OBJECT_0 &&
         WaitForSingleObject(events->h[3], 10000) == WAIT_OBJECT_0;
}

}  // namespace

TEST_F(LinkProcesses, TwoProcessesBringingThePortUpPutOneInitOnTheWire) {
  NamedEvent go("go"), firstReady("first"), secondReady("second");
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

// A process that dies holding the port, awaiting a reply or inside a packet,
// leaves a link nobody can trust: the next call brings it up anew.
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
    if (fReading)  // the holder took the bytes off the wire: it waits for the rest
      ASSERT_TRUE(Eventually([] { return !VPERI_HostWaitInput(GetHportVal(0), 0); }));
    else  // the credit command is on the wire; its sender waits for the reply
      EXPECT_TRUE(peri_.Expect(peri::Command({0x03, 0x80, 0x01, 0x00, 0x00})));
    holder.Kill();
    BringUp();  // finds the mutex abandoned, and sends a new MLC_INIT
    EXPECT_EQ(PortRecord(0).bLastMlcCommand, NO_COMMAND);
    StartAllOverAgain(0, FALSE);
  }
}

TEST_F(LinkProcesses, EarlyReturnsLetThePortGo) {
  ASSERT_TRUE(MLCReleasePortHandle(GetHportVal(1)));
  EXPECT_EQ(MLCInit(1), MLC_PHYSICAL_LINK_FAILURE);
  ExpectAnotherProcessGetsThePort(1);
  // The liveness probe with a reply awaited, and on a channel of no known type.
  SetLink(TRUE, MLC_OPEN_CHANNEL);
  BYTE bHsid = AddChannel(0, MLC_STREAM_CHANNEL, 0x02, 0);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetLink(TRUE, NO_COMMAND);
  SetChannelType(0, bHsid, 9);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetChannelType(0, bHsid, MLC_STREAM_CHANNEL);  // the reset frees it as what it is
}

// A real helper stopped while two ports reset at once: its detach takes every
// mapped port's mutex, so one resetting thread waits while the other holds its
// port. That wait must end, or a port mutex is kept for ever.
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
    KillHiddenExe();  // pairs of resets until the helper and its teardown are gone
    int nPairs = 0;
    do {
      ASSERT_TRUE(ResetTwoPortsAtOnce()) << "pair " << nPairs << ": a reset never ended";
      ObtainAttach();  // held by a detach for its whole teardown
      ReleaseAttach();
    } while (AttachedProcesses() > 1 && ++nPairs < 100);
    EXPECT_EQ(AttachedProcesses(), 1u) << "the helper did not leave";
    EXPECT_TRUE(ResetTwoPortsAtOnce());
    EXPECT_TRUE(FreeForOthers(0) && FreeForOthers(1)) << "a port was left taken";
  }
  MLCCleanup();
}
