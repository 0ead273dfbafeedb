// A real helper stopped while two ports are reset at once. The helper's
// detach takes the mutex of every port it mapped to tear the port down, so
// one of the two resetting threads is held back while the other waits for
// it with its own port taken. That wait must end: a thread left waiting
// for ever keeps its port mutex, and every later user of the port hangs.
#include <gtest/gtest.h>

#include <atomic>

#include "krzmlc15.h"
#include "link_testbed.h"
#include "notify/hidden.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

DWORD AttachCount() {
  DWORD dwCount = ObtainMGD()->dwMlcAttachCount;
  ReleaseMGD();
  return dwCount;
}

// A block in each of ports 0 and 1, so that a process attaching now maps
// both and its detach tears both down under their mutexes.
void PutPortsInUse() {
  for (BYTE bPort = 0; bPort < 2; ++bPort) {
    PerPortInfo* lpPPI = ObtainPPI(bPort);
    if (!lpPPI->hDeviceID) lpPPI->hDeviceID = AllocMLCCheck(bPort, 16);
    ReleasePPI(bPort);
  }
}

// Another thread takes both ports, one after the other, within a second.
bool PortsFree() {
  std::atomic<bool> fBoth{false};
  bool fEnded = RunPair(
      [&] {
        PerPortInfo* lpFirst = CheckPPI(0);
        CheckReleasePPI(lpFirst, 0);
        PerPortInfo* lpSecond = CheckPPI(1);
        CheckReleasePPI(lpSecond, 1);
        fBoth = lpFirst && lpSecond;
      },
      [] {}, 5000);
  return fEnded && fBoth;
}

}  // namespace

TEST(LinkHelperStop, TwoPortResetsWhileAStoppedHelperLeavesAllEndAndLeaveThePortsFree) {
  WriteLinkIni();
  for (int iRound = 0; iRound < 2; ++iRound) {
    SCOPED_TRACE(iRound);
    PutPortsInUse();
    MLCCleanup();  // no setup left: the next launch starts the real helper
    ASSERT_EQ(LaunchHiddenExe(), 1);
    ASSERT_EQ(AttachCount(), 2u);
    KillHiddenExe();
    // Pairs of resets until the helper is gone, its teardown included.
    int nPairs = 0;
    do {
      ASSERT_TRUE(ResetTwoPortsAtOnce()) << "pair " << nPairs << ": a reset never ended";
      ObtainAttach();  // held by a detach for its whole teardown
      ReleaseAttach();
    } while (AttachCount() > 1 && ++nPairs < 100);
    EXPECT_EQ(AttachCount(), 1u) << "the helper did not leave";
    EXPECT_TRUE(PortsFree());
  }
  MLCCleanup();
}

// The meeting point of the resets above, on its own and many times: a
// meeting that misses a wake-up hangs one side.
TEST(LinkHelperStop, TwoThreadsAlwaysMeet) {
  for (int i = 0; i < 2000; ++i) {
    Rendezvous meeting;
    std::atomic<int> nMet{0};
    ASSERT_TRUE(RunPair([&] { nMet += meeting.Meet(0, 10000); },
                        [&] { nMet += meeting.Meet(1, 10000); }, 20000))
        << "meeting " << i << " hung";
    ASSERT_EQ(nMet, 2) << "meeting " << i;
  }
}
