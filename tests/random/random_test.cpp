// The randomized multi-client test over a fixed set of seeds, each a run of
// krzrandom in a process of its own (its output names the failing seed and
// the shrunk plan that replays it).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "random_run.h"
#include "testutil.h"

TEST(Randomized, FixedSeedsDeliverEveryByteOnceAndKeepTheBooks) {
  std::istringstream seeds(RANDOM_TEST_SEEDS);
  for (std::string seed; seeds >> seed;) {
    std::string cmd = "krzrandom.exe --seed " + seed;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    DWORD dwCode = 99;
    if (WaitForSingleObject(pi.hProcess, 240000) != WAIT_OBJECT_0)
      TerminateProcess(pi.hProcess, 98);
    WaitForSingleObject(pi.hProcess, 10000);
    GetExitCodeProcess(pi.hProcess, &dwCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(dwCode, 0u) << "seed " << seed << " (its output above)";
  }
}

// A failure is replayed from its seed, or from the plan text it printed.
TEST(Randomized, ASeedDrawsOnePlanAndItsTextReplaysIt) {
  std::string swarm, again, other;
  std::vector<Step> plan = DrawPlan(42, 200, &swarm), parsed;
  ASSERT_TRUE(ParsePlan(PlanText(plan), &parsed));
  EXPECT_EQ(PlanText(parsed), PlanText(DrawPlan(42, 200, &again)));
  EXPECT_EQ(swarm, again);
  EXPECT_NE(PlanText(DrawPlan(43, 200, &other)), PlanText(plan));
  EXPECT_FALSE(ParsePlan("W9.0.0.1", &parsed)) << "no agent 9";
}
