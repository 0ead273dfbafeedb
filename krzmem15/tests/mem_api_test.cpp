// KRZMEM15 within one process: areas, block content and bounds, handles
// and lock counts, named blocks. (Space reused, rolling allocations and
// reused space reading zero: the hammer children of the process test.)
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pattern.h"

namespace {

struct Mem : ::testing::Test {
  char name[200];
  HMEMAREA a = 0;
  void SetUp() override { Open(0x10000, 0x10000); }
  void Open(DWORD size, DWORD max) {
    memReleaseSharedArea(a);
    snprintf(name, sizeof name, "memtest.%lu.%s\n",
             static_cast<unsigned long>(GetCurrentProcessId()),
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    BOOL fInit = FALSE;
    a = memCreateSharedArea(size, name, max, &fInit);
    ASSERT_TRUE(a && fInit);
  }
  void TearDown() override { memReleaseSharedArea(a); }
};

TEST_F(Mem, AreasOpenReleaseAndRefuseBadArguments) {
  BOOL fInit = TRUE;
  HMEMAREA a2 = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
  ASSERT_TRUE(a2 && a2 != a && !fInit);
  HMEMBLOCK h = memAllocBlock(a, 100);  // one block, seen through two views
  Fill(memLockBlock(a, h), 100, 7);
  EXPECT_TRUE(Check(memLockBlock(a2, h), 100, 7));
  memReleaseSharedArea(a);
  EXPECT_EQ(memLockBlock(a, h), nullptr);   // a released handle is dead...
  EXPECT_NE(memLockBlock(a2, h), nullptr);  // ...the area lives on through a2
  memReleaseSharedArea(a2);
  memReleaseSharedArea(a2);
  a = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
  EXPECT_TRUE(fInit);  // the last release ended it
  EXPECT_EQ(memLockBlock(a, h), nullptr);
  std::string tooLong(300, 'x');
  for (const char* bad : {static_cast<const char*>(nullptr), "", tooLong.c_str()})
    EXPECT_EQ(memCreateSharedArea(0x10000, bad, 0x10000, &fInit), 0u);
  EXPECT_EQ(memCreateSharedArea(0x100, "x", 0x100, &fInit), 0u);  // no room for a heap
}

TEST_F(Mem, BlocksReadZeroReallocKeepsContentAndSizesBoundTheArea) {
  Open(kPortInit, kPortMax);
  HMEMBLOCK h = memAllocBlock(a, 5000);
  EXPECT_TRUE(AllZero(memLockBlock(a, h), 5000));
  Fill(memLockBlock(a, h), 5000, 2);
  memUnlockAllBlock(a, h);
  // Shrink, grow in place: the bytes cut off come back as zeros.
  ASSERT_EQ(memReAllocBlock(a, h, 1000), h);
  ASSERT_EQ(memReAllocBlock(a, h, 3000), h);
  BYTE* p = static_cast<BYTE*>(memLockBlock(a, h));
  EXPECT_TRUE(Check(p, 1000, 2) && AllZero(p + 1000, 2000));
  // A neighbour stops growth in place: a locked block must not move...
  ASSERT_NE(memAllocBlock(a, 16), 0u);
  EXPECT_EQ(memReAllocBlock(a, h, 200000), 0u);
  EXPECT_TRUE(Check(p, 1000, 2));
  memUnlockBlock(a, h);
  // ...an unlocked one moves, keeping handle and content.
  ASSERT_EQ(memReAllocBlock(a, h, 200000), h);
  p = static_cast<BYTE*>(memLockBlock(a, h));
  EXPECT_TRUE(Check(p, 1000, 2) && AllZero(p + 1000, 200000 - 1000));
  EXPECT_NE(memLockBlock(a, memAllocBlock(a, 0)), nullptr);  // empty blocks are blocks
  // The area grows past its first size, never past its maximum.
  EXPECT_EQ(memAllocBlock(a, kPortMax), 0u);
  EXPECT_EQ(memAllocBlock(a, 0xFFFFFFFF), 0u);
  HMEMBLOCK big = memAllocBlock(a, kPortMax / 2);
  ASSERT_NE(big, 0u);
  EXPECT_EQ(memReAllocBlock(a, big, kPortMax - 0x1000), 0u);
  ASSERT_TRUE(memFreeBlock(a, big));  // a failed realloc left it as it was
}

TEST_F(Mem, StaleInvalidAndForeignHandlesAndLockCounts) {
  HMEMBLOCK h = memAllocBlock(a, 64);
  void* p = memLockBlock(a, h);
  EXPECT_EQ(memLockBlock(a, h), p);
  memUnlockBlock(a, h);
  EXPECT_FALSE(memFreeBlock(a, h));  // still locked once
  memUnlockBlock(a, h);
  memUnlockBlock(a, h);  // more unlocks than locks: the count stays at none
  memLockBlock(a, h);
  EXPECT_FALSE(memFreeBlock(a, h));
  memUnlockBlock(a, h);
  ASSERT_TRUE(memFreeBlock(a, h));
  for (int i = 0; i < 5000; ++i) {  // a freed handle does not come back soon
    HMEMBLOCK n = memAllocBlock(a, 64);
    for (int k = 0; k < 3; ++k) memLockBlock(a, n);
    memUnlockAllBlock(a, n);
    ASSERT_NE(n, h);
    ASSERT_TRUE(memFreeBlock(a, n));
  }
  BOOL f;
  HMEMAREA other = memCreateSharedArea(0x10000, "memtest.other", 0x10000, &f);
  HMEMBLOCK mine = memAllocBlock(a, 32);
  EXPECT_EQ(memLockBlock(other, mine), nullptr);  // handles are per area
  ASSERT_NE(memLockBlock(a, mine), nullptr);      // unlocks of bad handles must not touch it
  memReleaseSharedArea(other);
  for (HMEMBLOCK bad : std::vector<HMEMBLOCK>{h, 0, 1, 0xFFFF, 0xFFFFFFFF, 0x12340001}) {
    EXPECT_TRUE(!memLockBlock(a, bad) && !memFreeBlock(a, bad) && !memReAllocBlock(a, bad, 8));
    memUnlockAllBlock(a, bad);
  }
  for (HMEMAREA bad : std::vector<HMEMAREA>{0, other, 0xFFFFFFFF, a + 0x100}) {
    EXPECT_TRUE(!memAllocBlock(bad, 8) && !memLockBlock(bad, mine) && !memFreeBlock(bad, mine));
    EXPECT_EQ(memAllocNamedBlock(bad, 8, "X"), 0u);
    memReleaseSharedArea(bad);
  }
  EXPECT_FALSE(memFreeBlock(a, mine));  // still locked once, and the area still open
  memUnlockBlock(a, mine);
  EXPECT_TRUE(memFreeBlock(a, mine));
}

TEST_F(Mem, NamedBlocksAreReferencedPerThread) {
  HMEMBLOCK g = memAllocNamedBlock(a, 16, "GLOBAL");
  EXPECT_EQ(memAllocNamedBlock(a, 9999, "GLOBAL"), g);  // size immaterial now
  HMEMBLOCK p = memAllocNamedBlock(a, 200, "PORTS");
  ASSERT_TRUE(g && p && p != g);
  EXPECT_FALSE(memFreeBlock(a, g));  // named blocks go by name only
  std::string tooLong(60, 'n');
  for (const char* bad : {static_cast<const char*>(nullptr), "", tooLong.c_str()})
    EXPECT_EQ(memAllocNamedBlock(a, 8, bad), 0u);
  static_cast<DWORD*>(memLockBlock(a, g))[0] = 42;
  memUnlockNamedBlock(a, "GLOBAL");
  // Another thread frees both names on behalf of thread tid.
  auto freeFor = [&](DWORD tid) {
    std::thread([&] {
      memFreeNamedBlockProxy(a, "PORTS", tid);
      memFreeNamedBlockProxy(a, "GLOBAL", tid);
    }).join();
  };
  freeFor(0);  // a thread without references frees nothing
  EXPECT_EQ(static_cast<DWORD*>(memLockBlock(a, g))[0], 42u);
  EXPECT_NE(memLockBlock(a, p), nullptr);
  freeFor(GetCurrentThreadId());           // one reference each of this thread
  EXPECT_EQ(memLockBlock(a, p), nullptr);  // its only reference: gone, locks or not
  EXPECT_NE(memLockBlock(a, g), nullptr);  // one of two references left
  memFreeNamedBlock(a, "GLOBAL");
  EXPECT_EQ(memLockBlock(a, g), nullptr);
  HMEMBLOCK g2 = memAllocNamedBlock(a, 16, "GLOBAL");
  EXPECT_NE(g2, g);
  EXPECT_TRUE(AllZero(memLockBlock(a, g2), 16));
}

}  // namespace
