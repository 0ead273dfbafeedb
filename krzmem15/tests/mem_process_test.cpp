// KRZMEM15 across real processes: sharing blocks, named blocks, several
// processes hammering one area, the area's lifetime, and processes that die
// at the wrong moment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pattern.h"

namespace {

std::string Unique(const char* what) {
  char buf[100];
  snprintf(buf, sizeof buf, "memproc.%lu.%s", static_cast<unsigned long>(GetCurrentProcessId()),
           what);
  return buf;
}

// "<mode> <area> <numbers...>" for the child.
std::string Args(const char* mode, const std::string& area,
                 std::initializer_list<DWORD> nums = {}) {
  char buf[400];
  int n = snprintf(buf, sizeof buf, "%s %s", mode, area.c_str());
  for (DWORD x : nums)
    n += snprintf(buf + n, sizeof buf - n, " %lu", static_cast<unsigned long>(x));
  return buf;
}

// Sum of the sizes of 4 KiB blocks the area still gives out; frees them again.
DWORD FreeSpace(HMEMAREA a) {
  std::vector<HMEMBLOCK> v;
  for (HMEMBLOCK h; (h = memAllocBlock(a, 4096)) != 0;) v.push_back(h);
  for (HMEMBLOCK h : v) EXPECT_TRUE(memFreeBlock(a, h));
  return static_cast<DWORD>(v.size()) * 4096;
}

TEST(Processes, BlocksAndNamedBlocksAreShared) {
  std::string n = Unique("share");
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(kPortInit, n.c_str(), kPortMax, &fInit);
  ASSERT_NE(a, 0u);
  ASSERT_TRUE(fInit);
  HMEMBLOCK h = memAllocBlock(a, 70000);
  Fill(memLockBlock(a, h), 70000, 99);
  memUnlockBlock(a, h);
  EXPECT_EQ(RunChild(Args("read", n, {h, 70000, 99}).c_str()), 0u);
  EXPECT_TRUE(Check(memLockBlock(a, h), 70000, 100));  // the child's answer
  memUnlockBlock(a, h);

  HMEMBLOCK s = memAllocNamedBlock(a, 64, "SHARED");
  static_cast<DWORD*>(memLockBlock(a, s))[0] = 0x5EED;
  memUnlockBlock(a, s);
  EXPECT_EQ(RunChild(Args("named", n).c_str()), 0u);
  DWORD* p = static_cast<DWORD*>(memLockBlock(a, s));
  ASSERT_NE(p, nullptr);  // the child's free dropped only its own reference
  EXPECT_NE(p[1], 0u);
  EXPECT_NE(p[1], GetCurrentProcessId());
  memUnlockBlock(a, s);
  memReleaseSharedArea(a);
}

TEST(Processes, SeveralProcessesHammerOneArea) {
  std::string n = Unique("hammer");
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(kPortInit, n.c_str(), kPortMax, &fInit);
  ASSERT_NE(a, 0u);
  DWORD before = FreeSpace(a);
  // This process keeps blocks of its own that the children must not touch.
  std::vector<HMEMBLOCK> mine;
  for (DWORD i = 0; i < 50; ++i) {
    mine.push_back(memAllocBlock(a, 100 + i * 37));
    Fill(memLockBlock(a, mine.back()), 100 + i * 37, i);
    memUnlockBlock(a, mine.back());
  }
  std::vector<HANDLE> kids;
  for (DWORD k = 0; k < 4; ++k) {
    HANDLE p = StartChild(Args("hammer", n, {1000 + k, 3000}).c_str());
    ASSERT_NE(p, nullptr);
    kids.push_back(p);
  }
  for (HANDLE p : kids) EXPECT_EQ(WaitChild(p, 300000), 0u);
  for (DWORD i = 0; i < 50; ++i) {
    EXPECT_TRUE(Check(memLockBlock(a, mine[i]), 100 + i * 37, i)) << i;
    memUnlockBlock(a, mine[i]);
    EXPECT_TRUE(memFreeBlock(a, mine[i]));
  }
  EXPECT_EQ(FreeSpace(a), before);  // everything the children took came back
  memReleaseSharedArea(a);
}

TEST(Processes, AreaEndsWithTheLastProcessEvenAKilledOne) {
  std::string n = Unique("life");
  std::string ev = Unique("ready");
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, ev.c_str());
  ASSERT_NE(ready, nullptr);
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &fInit);
  ASSERT_TRUE(fInit);
  HMEMBLOCK h = memAllocBlock(a, 16);
  HANDLE holder = StartChild(Args("hold", n).append(" ").append(ev).c_str());
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
  memReleaseSharedArea(a);  // the holder keeps the area alive
  a = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &fInit);
  EXPECT_FALSE(fInit);
  EXPECT_NE(memLockBlock(a, h), nullptr);
  memReleaseSharedArea(a);
  TerminateProcess(holder, 9);
  WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  // Nobody holds it any more: the next create starts a fresh area.
  a = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &fInit);
  EXPECT_TRUE(fInit);
  EXPECT_EQ(memLockBlock(a, h), nullptr);
  memReleaseSharedArea(a);
  CloseHandle(ready);
}

TEST(Processes, DeadHoldersOfTheMutexLeaveAConsistentArea) {
  std::string n = Unique("killed");
  BOOL fInit = FALSE;
  HMEMAREA a = memCreateSharedArea(kPortInit, n.c_str(), kPortMax, &fInit);
  ASSERT_NE(a, 0u);
  DWORD before = FreeSpace(a);
  HMEMBLOCK mine = memAllocBlock(a, 3000);
  Fill(memLockBlock(a, mine), 3000, 5);
  memUnlockBlock(a, mine);
  // A process that ends while holding the mutex.
  EXPECT_EQ(RunChild(Args("abandon", n).c_str()), 0u);
  EXPECT_TRUE(Check(memLockBlock(a, mine), 3000, 5));
  memUnlockBlock(a, mine);
  // Processes killed in the middle of their work, again and again.
  HMEMBLOCK live = memAllocNamedBlock(a, 64 * sizeof(DWORD), "LIVE");
  for (DWORD round = 0; round < 8; ++round) {
    HANDLE p = StartChild(Args("churn", n, {77 + round}).c_str());
    ASSERT_NE(p, nullptr);
    Sleep(30 + round * 25);
    TerminateProcess(p, 9);
    WaitForSingleObject(p, INFINITE);
    CloseHandle(p);
    // Free what the dead child left, as a survivor's clean-up would.
    DWORD* table = static_cast<DWORD*>(memLockBlock(a, live));
    ASSERT_NE(table, nullptr);
    for (DWORD i = 0; i < 64; ++i) {
      if (table[i]) memUnlockAllBlock(a, table[i]);
      if (table[i]) memFreeBlock(a, table[i]);  // may already be stale: refused
      table[i] = 0;
    }
    memUnlockBlock(a, live);
    EXPECT_TRUE(Check(memLockBlock(a, mine), 3000, 5)) << round;
    memUnlockBlock(a, mine);
  }
  memFreeNamedBlock(a, "LIVE");
  ASSERT_TRUE(memFreeBlock(a, mine));
  // Each kill can lose at most the one block being allocated when it hit
  // (up to 40 KB) and the child's reference to "LIVE".
  EXPECT_GE(FreeSpace(a) + 8 * (40 * 1024 + 4096) + 4096, before);
  memReleaseSharedArea(a);
}

}  // namespace
