// Attach and detach across real processes, watched from this program, which
// does not load the library.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

// A child that attaches, sets up blocks, and stays until Leave().
struct Holder {
  NamedEvent ready{"ready"}, go{"go"};
  Child child;
  bool Start(const std::string& setup = "") {
    return child.Start("hold " + ready.name + " " + go.name + " " + setup) && ready.WaitSet();
  }
  DWORD Leave() {
    SetEvent(go.handle);
    return child.Wait();
  }
};

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(AreaExists("KRZMLC15_MLCGlobal_")); }
  void TearDown() override {
    EXPECT_FALSE(AreaExists("KRZMLC15_MLCGlobal_"));
    for (int i = 0; i < MLC_PORT_COUNT; ++i) EXPECT_FALSE(AreaExists(PortAreaName(i))) << i;
  }
};

TEST_F(Lifecycle, JoinerMapsUsedPortsAndLeavesOnlyThoseWithChannels) {
  Holder first, joiner;
  ASSERT_TRUE(first.Start("use 1 devid 2"));
  SharedView().ports[2].bLastMlcCommand = 1;
  ASSERT_TRUE(joiner.Start());
  EXPECT_EQ(joiner.Leave(), 16u * 2 + 0x6) << "LPT2 and LPT3 mapped, LPT1 not";

  SharedView view;
  EXPECT_EQ(view.global->dwMlcAttachCount, 1u);
  EXPECT_NE(view.ports[1].hChanPtrArray, 0u) << "a port with a channel survives";
  EXPECT_EQ(view.ports[1].bChannelsUsed, 1);
  EXPECT_EQ(view.ports[2].hDeviceID, 0u) << "a port without a channel is freed";
  EXPECT_EQ(view.ports[2].bLastMlcCommand, NO_COMMAND);
  first.Leave();
}

// The first process initialises the records, later ones join keeping them
// and count; a killed process is not counted; a port area that went with it
// is cleared and mapped anew; the last live process tears down (its blocks go
// with the areas: the fixture checks that none is left).
TEST_F(Lifecycle, ProcessesJoinAndCountAKilledOneIsNotAndItsPortIsCleared) {
  Holder user, killed, joiner;
  ASSERT_TRUE(user.Start("fill 0"));
  {
    SharedView view;
    ASSERT_NE(view.global, nullptr);
    EXPECT_EQ(view.global->dwMlcAttachCount, 1u);
    for (int i = 0; i < MLC_PORT_COUNT; ++i) {
      EXPECT_EQ(view.ports[i].bHostRevision, 3);
      EXPECT_EQ(view.ports[i].bLastMlcCommand, NO_COMMAND);
    }
  }
  ASSERT_TRUE(killed.Start("fill 1"));
  {
    SharedView view;
    view.global->wTotalChannelsOpened = 1;
    view.global->wPollTimerId = 19;  // marks the joining process must keep
    view.ports[0].bHostRevision = 2;
    view.ports[1].fMlcInitDone = TRUE;
    view.ports[1].lLastLinkError = -6;
  }
  killed.child.Kill();  // LPT2's area goes with its only user
  ASSERT_TRUE(joiner.Start());
  SharedView view;
  const PerPortInfo& port = view.ports[1];
  EXPECT_EQ(port.hChanPtrArray + port.hSocketInfoArray + port.hDeviceID, 0u);
  EXPECT_EQ(port.bChannelsUsed + port.bChannelsAllocated + port.bSocketInfoCount, 0);
  EXPECT_FALSE(port.fMlcInitDone);
  EXPECT_EQ(port.lLastLinkError, -6);
  EXPECT_EQ(view.global->wTotalChannelsOpened, 0);
  EXPECT_EQ(view.global->wPollTimerId, 19);
  EXPECT_EQ(view.ports[0].bHostRevision, 2);
  EXPECT_EQ(joiner.Leave(), 16u * 2 + 0x3) << "the killed process is not counted, LPT2 mapped anew";
  // Processes attaching and detaching at once keep the count.
  NamedEvent go("go-at-once");
  SetEvent(go.handle);
  Child others[8];  // attach, find <go> set, detach
  for (Child& other : others) ASSERT_TRUE(other.Start("hold - " + go.name));
  for (Child& other : others) {   // LPT1 mapped, 16 * the count:
    DWORD dwCode = other.Wait();  // the user, itself, up to 7 others
    EXPECT_TRUE(dwCode % 16 == 1 && dwCode >= 16 * 2 && dwCode <= 16 * 9 + 1) << dwCode;
  }
  EXPECT_EQ(view.global->dwMlcAttachCount, 1u);
  EXPECT_EQ(user.Leave(), 16u * 1);
  EXPECT_EQ(view.global->dwMlcAttachCount, 0u);
  const PerPortInfo& port0 = view.ports[0];  // the last live process tore the ports down
  EXPECT_EQ(port0.hChanPtrArray + port0.hSocketInfoArray + port0.hDeviceID, 0u);
}

TEST_F(Lifecycle, AnAttachWaitsUntilTheLastDetachHasTornDown) {
  std::string ini = WindowsDirFile("KRZTBX15.INI");
  WriteTextFile(ini, "[KRZMLC15]\r\nPPI_MUTEX_TIMEOUT=30000\r\n");
  Holder last, joiner;
  ASSERT_TRUE(last.Start("use 0"));
  // Holding LPT1's mutex from outside stops the last process in its teardown.
  HANDLE hPort = OpenMutexA(SYNCHRONIZE, FALSE, "PPI_API_MUTEX_LPT1");
  ASSERT_EQ(WaitForSingleObject(hPort, 10000), (DWORD)WAIT_OBJECT_0);
  {
    SharedView view;
    SetEvent(last.go.handle);
    ASSERT_TRUE(Eventually([&] { return view.global->dwMlcAttachCount == 0; }));
  }
  ASSERT_TRUE(joiner.child.Start("hold " + joiner.ready.name + " " + joiner.go.name));
  // The joiner is inside its attach, asleep on a lock, and not attached yet.
  ASSERT_TRUE(Eventually([&] { return AsleepInWait(joiner.child.pi.dwProcessId); }));
  EXPECT_EQ(WaitForSingleObject(joiner.ready.handle, 0), (DWORD)WAIT_TIMEOUT)
      << "attached to records being torn down";
  ReleaseMutex(hPort);
  CloseHandle(hPort);
  EXPECT_EQ(last.child.Wait(), 16u * 1);
  ASSERT_TRUE(joiner.ready.WaitSet());
  EXPECT_EQ(joiner.Leave(), 16u * 1) << "the joiner starts afresh, LPT1 unmapped";
  DeleteFileA(ini.c_str());
}

TEST_F(Lifecycle, AHelperLeftAloneIsAskedToCloseAndTearsDown) {
  Child client;  // starts the helper and exits without stopping it
  ASSERT_TRUE(client.Start("helper - -"));
  ASSERT_EQ(client.Wait(), 0u);
  bool fGone = Eventually([] { return !AreaExists("KRZMLC15_MLCGlobal_"); });
  if (!fGone) {  // do not leave the helper running for the tests that follow
    SharedView view;
    if (view.global) PostMessageA(HwndFromDword(view.global->hHiddenWnd), WM_CLOSE, 0, 0);
  }
  EXPECT_TRUE(fGone);
}

TEST_F(Lifecycle, AFailedAttachKeepsNothing) {
  Child child;
  ASSERT_TRUE(child.Start("refail - -"));
  EXPECT_EQ(child.Wait(), 16u * 1);
}

}  // namespace
