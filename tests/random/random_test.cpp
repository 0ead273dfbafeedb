// The randomized test's fixed seeds, each a krzrandom process (its output replays a failure).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "random_run.h"
#include "testutil.h"

TEST(Randomized, FixedSeedsDeliverEveryByteOnceAndKeepTheBooks) {
  std::istringstream seeds(RANDOM_TEST_SEEDS);
  for (std::string seed; seeds >> seed;) {
    Child run;
    ASSERT_TRUE(run.Run("krzrandom.exe --seed " + seed));
    EXPECT_EQ(run.Wait(240000), 0u) << "seed " << seed << " (its output above)";
  }
}

// A failure replays from its seed or plan text; the seeds kill agents, some holding the mutex.
TEST(Randomized, ASeedDrawsOnePlanAndItsTextReplaysItAndTheSeedsKill) {
  std::string swarm, again, other;
  std::vector<Step> plan = DrawPlan(42, 200, &swarm), parsed;
  ASSERT_TRUE(ParsePlan(PlanText(plan), &parsed));
  EXPECT_EQ(PlanText(parsed), PlanText(DrawPlan(42, 200, &again)));
  EXPECT_EQ(swarm, again);
  EXPECT_NE(PlanText(DrawPlan(43, 200, &other)), PlanText(plan));
  EXPECT_FALSE(ParsePlan("W9.0.0.1", &parsed)) << "no agent 9";
  int kills = 0, held = 0;
  std::istringstream seeds(RANDOM_TEST_SEEDS);
  for (unsigned seed; seeds >> seed;)
    for (const Step& s : DrawPlan(seed, RND_STEPS, &other))
      kills += s.op == kOpKill, held += s.op == kOpKill && (s.style & RND_BLOCK);
  EXPECT_TRUE(kills >= 3 && held >= 1) << kills << " kills, " << held << " holding the mutex";
}
