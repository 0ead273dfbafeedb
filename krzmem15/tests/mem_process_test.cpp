// KRZMEM15 across real processes: shared blocks and named blocks, several
// processes hammering one area, the area's lifetime, and processes that die
// holding the area's mutex.
#include <gtest/gtest.h>

#include <vector>

#include "pattern.h"

namespace {

struct Processes : ::testing::Test {
  char name[100];
  HMEMAREA a = 0;
  void SetUp() override {
    snprintf(name, sizeof name, "memproc.%lu.%s", static_cast<unsigned long>(GetCurrentProcessId()),
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    BOOL fInit = FALSE;
    a = memCreateSharedArea(kPortInit, name, kPortMax, &fInit);
    ASSERT_TRUE(a && fInit);
  }
  void TearDown() override { memReleaseSharedArea(a); }
  HANDLE Start(const char* mode, DWORD x = 0, DWORD y = 0, DWORD z = 0) {
    char args[300];
    snprintf(args, sizeof args, "%s %s %lu %lu %lu", mode, name, static_cast<unsigned long>(x),
             static_cast<unsigned long>(y), static_cast<unsigned long>(z));
    return StartChild(args);
  }
  // Bytes the area still gives out in 4 KiB blocks (freed again at once).
  DWORD FreeSpace() {
    std::vector<HMEMBLOCK> v;
    for (HMEMBLOCK h; (h = memAllocBlock(a, 4096)) != 0;) v.push_back(h);
    for (HMEMBLOCK h : v) EXPECT_TRUE(memFreeBlock(a, h));
    return static_cast<DWORD>(v.size()) * 4096;
  }
};

TEST_F(Processes, BlocksAndNamedBlocksAreShared) {
  HMEMBLOCK h = memAllocBlock(a, 70000);
  Fill(memLockBlock(a, h), 70000, 99);
  memUnlockBlock(a, h);
  HMEMBLOCK s = memAllocNamedBlock(a, 64, "SHARED");
  static_cast<DWORD*>(memLockBlock(a, s))[0] = 0x5EED;
  memUnlockBlock(a, s);
  EXPECT_EQ(WaitChild(Start("read", h, 70000, 99)), 0u);
  EXPECT_TRUE(Check(memLockBlock(a, h), 70000, 100));  // the child's answer
  DWORD* p = static_cast<DWORD*>(memLockBlock(a, s));
  ASSERT_NE(p, nullptr);  // the child's free dropped only its own reference
  EXPECT_NE(p[1], 0u);
  EXPECT_NE(p[1], GetCurrentProcessId());
}

TEST_F(Processes, SeveralProcessesHammerOneArea) {
  DWORD before = FreeSpace();
  std::vector<HMEMBLOCK> mine;
  for (DWORD i = 0; i < 50; ++i) {
    mine.push_back(memAllocBlock(a, 100 + i * 37));
    Fill(memLockBlock(a, mine[i]), 100 + i * 37, i);
    memUnlockBlock(a, mine[i]);
  }
  std::vector<HANDLE> kids;
  for (DWORD k = 0; k < 4; ++k) kids.push_back(Start("hammer", 1000 + k, 3000));
  for (HANDLE p : kids) EXPECT_EQ(WaitChild(p, 300000), 0u);
  for (DWORD i = 0; i < 50; ++i) {
    EXPECT_TRUE(Check(memLockBlock(a, mine[i]), 100 + i * 37, i)) << i;
    memUnlockBlock(a, mine[i]);
    EXPECT_TRUE(memFreeBlock(a, mine[i]));
  }
  EXPECT_EQ(FreeSpace(), before);  // all the children took came back
}

TEST_F(Processes, AreaEndsWithItsLastHolderEvenAKilledOne) {
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, name);
  ASSERT_NE(ready, nullptr);
  HMEMBLOCK h = memAllocBlock(a, 16);
  char args[300];
  snprintf(args, sizeof args, "hold %s %s", name, name);
  HANDLE holder = StartChild(args);
  ASSERT_EQ(WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
  memReleaseSharedArea(a);  // the holder keeps the area alive
  BOOL fInit = TRUE;
  a = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
  EXPECT_FALSE(fInit);
  EXPECT_NE(memLockBlock(a, h), nullptr);
  memReleaseSharedArea(a);
  TerminateProcess(holder, 9);
  EXPECT_EQ(WaitChild(holder), 9u);
  a = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
  EXPECT_TRUE(fInit);  // nobody held it any more: a new area
  EXPECT_EQ(memLockBlock(a, h), nullptr);
  CloseHandle(ready);
}

TEST_F(Processes, DeadHoldersOfTheMutexLeaveAConsistentArea) {
  DWORD before = FreeSpace();
  HMEMBLOCK mine = memAllocBlock(a, 3000);
  Fill(memLockBlock(a, mine), 3000, 5);
  memUnlockBlock(a, mine);
  EXPECT_EQ(WaitChild(Start("abandon")), 0u);
  HMEMBLOCK live = memAllocNamedBlock(a, 64 * sizeof(DWORD), "LIVE");
  // Kill working processes at random moments, mostly inside a call.
  for (DWORD round = 0; round < 8; ++round) {
    HANDLE p = Start("churn", 77 + round);
    Sleep(30 + round * 25);
    TerminateProcess(p, 9);
    EXPECT_EQ(WaitChild(p), 9u);
    DWORD* table = static_cast<DWORD*>(memLockBlock(a, live));
    ASSERT_NE(table, nullptr);
    for (DWORD i = 0; i < 64; ++i) {  // clean up after it, as a survivor would
      memUnlockAllBlock(a, table[i]);
      memFreeBlock(a, table[i]);  // a handle freed just before the kill is refused
      table[i] = 0;
    }
    memUnlockBlock(a, live);
    EXPECT_TRUE(Check(memLockBlock(a, mine), 3000, 5)) << round;
    memUnlockBlock(a, mine);
  }
  memFreeNamedBlock(a, "LIVE");
  ASSERT_TRUE(memFreeBlock(a, mine));
  // A kill loses at most the block being allocated (up to 40 KB) and "LIVE".
  EXPECT_GE(FreeSpace() + 8 * (40 * 1024 + 4096) + 4096, before);
}

}  // namespace
