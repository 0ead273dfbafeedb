// The randomized multi-client test over a fixed set of seeds, each a run of
// krzrandom in a process of its own (its output names the failing seed and
// the shrunk plan that replays it).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

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
