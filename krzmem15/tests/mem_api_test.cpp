// KRZMEM15 within one process: areas, block content, limits, handles, lock
// counts and named blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pattern.h"

namespace {

std::string Unique(const char* what) {
  char buf[200];
  snprintf(buf, sizeof buf, "memtest.%lu.%s\n", static_cast<unsigned long>(GetCurrentProcessId()),
           what);
  return buf;
}

struct NamedArgs {
  HMEMAREA a;
  DWORD tid;
};

DWORD WINAPI FreeOwn(LPVOID v) {
  NamedArgs* x = static_cast<NamedArgs*>(v);
  memFreeNamedBlock(x->a, "GLOBAL");
  memFreeNamedBlockProxy(x->a, "PORTS", GetCurrentThreadId());
  return 0;
}

DWORD WINAPI FreeForAttacher(LPVOID v) {
  NamedArgs* x = static_cast<NamedArgs*>(v);
  memFreeNamedBlockProxy(x->a, "PORTS", x->tid);
  memFreeNamedBlockProxy(x->a, "GLOBAL", x->tid);
  return 0;
}

void RunThread(LPTHREAD_START_ROUTINE fn, NamedArgs* args) {
  HANDLE t = CreateThread(nullptr, 0, fn, args, 0, nullptr);
  ASSERT_NE(t, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
}

struct AreaFixture : ::testing::Test {
  HMEMAREA a = 0;
  BOOL fInit = FALSE;
  void Open(DWORD size = kPortInit, DWORD max = kPortMax) {
    std::string n = Unique(::testing::UnitTest::GetInstance()->current_test_info()->name());
    a = memCreateSharedArea(size, n.c_str(), max, &fInit);
    ASSERT_NE(a, 0u);
    ASSERT_TRUE(fInit);
  }
  void TearDown() override {
    if (a) memReleaseSharedArea(a);
  }
  // Allocates blocks of `size` until the area refuses; returns them.
  std::vector<HMEMBLOCK> FillUp(DWORD size) {
    std::vector<HMEMBLOCK> v;
    for (HMEMBLOCK h; (h = memAllocBlock(a, size)) != 0;) v.push_back(h);
    return v;
  }
};

TEST(Area, CreateOpenReleaseAndBadArguments) {
  std::string n = Unique("lifetime");
  BOOL f1 = FALSE, f2 = TRUE, f3 = FALSE;
  HMEMAREA a1 = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &f1);
  HMEMAREA a2 = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &f2);
  ASSERT_NE(a1, 0u);
  ASSERT_NE(a2, 0u);
  EXPECT_NE(a1, a2);
  EXPECT_TRUE(f1);
  EXPECT_FALSE(f2);
  // Both handles reach the same blocks, each through its own view.
  HMEMBLOCK h = memAllocBlock(a1, 100);
  Fill(memLockBlock(a1, h), 100, 7);
  EXPECT_TRUE(Check(memLockBlock(a2, h), 100, 7));
  memUnlockBlock(a2, h);
  memUnlockBlock(a1, h);
  memReleaseSharedArea(a1);
  EXPECT_EQ(memLockBlock(a1, h), nullptr);  // released handle is dead
  EXPECT_NE(memLockBlock(a2, h), nullptr);  // the area lives on through a2
  memReleaseSharedArea(a2);
  memReleaseSharedArea(a2);  // twice: harmless
  HMEMAREA a3 = memCreateSharedArea(0x10000, n.c_str(), 0x10000, &f3);
  EXPECT_TRUE(f3);  // the last release ended it
  memReleaseSharedArea(a3);

  EXPECT_EQ(memCreateSharedArea(0x10000, nullptr, 0x10000, &f1), 0u);
  EXPECT_EQ(memCreateSharedArea(0x10000, "", 0x10000, &f1), 0u);
  EXPECT_EQ(memCreateSharedArea(0, n.c_str(), 0, &f1), 0u);
  EXPECT_EQ(memCreateSharedArea(0x100, n.c_str(), 0x100, &f1), 0u);  // no room for a heap
  EXPECT_EQ(memCreateSharedArea(0x10000, std::string(300, 'x').c_str(), 0x10000, &f1), 0u);
  HMEMAREA a4 = memCreateSharedArea(0x10000, n.c_str(), 0x10000, nullptr);  // flag optional
  EXPECT_NE(a4, 0u);
  memReleaseSharedArea(a4);
}

TEST_F(AreaFixture, NewBlocksReadZeroAndReallocKeepsContent) {
  Open();
  HMEMBLOCK h = memAllocBlock(a, 5000);
  BYTE* p = static_cast<BYTE*>(memLockBlock(a, h));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(AllZero(p, 5000));
  Fill(p, 5000, 1);
  memUnlockBlock(a, h);
  ASSERT_TRUE(memFreeBlock(a, h));
  HMEMBLOCK h2 = memAllocBlock(a, 5000);  // same space again, zeroed again
  EXPECT_TRUE(AllZero(memLockBlock(a, h2), 5000));
  Fill(memLockBlock(a, h2), 5000, 2);
  memUnlockAllBlock(a, h2);

  // Shrink, then grow in place: the bytes cut off come back as zeros.
  ASSERT_EQ(memReAllocBlock(a, h2, 1000), h2);
  ASSERT_EQ(memReAllocBlock(a, h2, 3000), h2);
  p = static_cast<BYTE*>(memLockBlock(a, h2));
  EXPECT_TRUE(Check(p, 1000, 2));
  EXPECT_TRUE(AllZero(p + 1000, 2000));
  memUnlockBlock(a, h2);

  // A neighbour blocks growth in place: the block moves, content kept.
  HMEMBLOCK wall = memAllocBlock(a, 16);
  ASSERT_NE(wall, 0u);
  Fill(memLockBlock(a, h2), 3000, 3);
  memUnlockBlock(a, h2);
  BYTE* before = static_cast<BYTE*>(memLockBlock(a, h2));
  ASSERT_EQ(memReAllocBlock(a, h2, 200000), 0u);  // locked: must not move
  EXPECT_TRUE(Check(before, 3000, 3));
  memUnlockBlock(a, h2);
  HMEMBLOCK h3 = memReAllocBlock(a, h2, 200000);
  ASSERT_NE(h3, 0u);
  p = static_cast<BYTE*>(memLockBlock(a, h3));
  EXPECT_TRUE(Check(p, 3000, 3));
  EXPECT_TRUE(AllZero(p + 3000, 200000 - 3000));
  memUnlockBlock(a, h3);
  // Zero-sized blocks are real blocks.
  HMEMBLOCK z = memAllocBlock(a, 0);
  EXPECT_NE(z, 0u);
  EXPECT_NE(memLockBlock(a, z), nullptr);
}

TEST_F(AreaFixture, SizesBoundTheAreaAndFailuresAreClean) {
  Open(0x10000, 0x40000);
  EXPECT_EQ(memAllocBlock(a, 0x40000), 0u);
  EXPECT_EQ(memAllocBlock(a, 0xFFFFFFFF), 0u);
  EXPECT_EQ(memAllocBlock(a, 0xFFFFFFF0), 0u);
  // Beyond the first size, up to the second.
  HMEMBLOCK big = memAllocBlock(a, 0x30000);
  ASSERT_NE(big, 0u);
  EXPECT_EQ(memReAllocBlock(a, big, 0x50000), 0u);
  EXPECT_NE(memLockBlock(a, big), nullptr);  // failed realloc leaves it intact
  memUnlockBlock(a, big);
  ASSERT_TRUE(memFreeBlock(a, big));
  // Many small blocks fill the area, then everything is usable again.
  std::vector<HMEMBLOCK> small = FillUp(1000);
  EXPECT_GT(small.size(), 200u);
  for (HMEMBLOCK h : small) ASSERT_TRUE(memFreeBlock(a, h));
  EXPECT_NE(big = memAllocBlock(a, 0x30000), 0u);
}

TEST_F(AreaFixture, StaleForeignAndInvalidHandlesAreRefused) {
  Open(0x10000, 0x10000);
  HMEMBLOCK h = memAllocBlock(a, 64);
  ASSERT_TRUE(memFreeBlock(a, h));
  EXPECT_FALSE(memFreeBlock(a, h));
  EXPECT_EQ(memLockBlock(a, h), nullptr);
  EXPECT_EQ(memReAllocBlock(a, h, 10), 0u);
  memUnlockBlock(a, h);
  memUnlockAllBlock(a, h);
  // The freed handle does not come back for a long time.
  for (int i = 0; i < 5000; ++i) {
    HMEMBLOCK n = memAllocBlock(a, 64);
    ASSERT_NE(n, 0u);
    ASSERT_NE(n, h);
    ASSERT_TRUE(memFreeBlock(a, n));
  }
  EXPECT_EQ(memLockBlock(a, h), nullptr);
  for (HMEMBLOCK bad : std::vector<HMEMBLOCK>{0u, 1u, 0xFFFFu, 0xFFFFFFFFu, 0x12340001u}) {
    EXPECT_EQ(memLockBlock(a, bad), nullptr) << bad;
    EXPECT_FALSE(memFreeBlock(a, bad)) << bad;
    EXPECT_EQ(memReAllocBlock(a, bad, 8), 0u) << bad;
    memUnlockBlock(a, bad);
    memUnlockAllBlock(a, bad);
  }
  // A handle of one area means nothing in another.
  BOOL f;
  HMEMAREA other = memCreateSharedArea(0x10000, Unique("other").c_str(), 0x10000, &f);
  HMEMBLOCK mine = memAllocBlock(a, 32);
  EXPECT_EQ(memLockBlock(other, mine), nullptr);
  memReleaseSharedArea(other);
  // Invalid areas.
  for (HMEMAREA bad : std::vector<HMEMAREA>{0u, other, 0xFFFFFFFFu, a + 0x100}) {
    EXPECT_EQ(memAllocBlock(bad, 8), 0u);
    EXPECT_EQ(memLockBlock(bad, mine), nullptr);
    EXPECT_FALSE(memFreeBlock(bad, mine));
    EXPECT_EQ(memAllocNamedBlock(bad, 8, "X"), 0u);
    memUnlockBlock(bad, mine);
    memUnlockAllBlock(bad, mine);
    memUnlockNamedBlock(bad, "X");
    memFreeNamedBlock(bad, "X");
    memReleaseSharedArea(bad);
  }
  EXPECT_NE(memLockBlock(a, mine), nullptr);
}

TEST_F(AreaFixture, LockCountsHoldBlocksUntilUnlocked) {
  Open(0x10000, 0x10000);
  HMEMBLOCK h = memAllocBlock(a, 10);
  void* p = memLockBlock(a, h);
  EXPECT_EQ(memLockBlock(a, h), p);
  EXPECT_EQ(memLockBlock(a, h), p);
  memUnlockBlock(a, h);
  EXPECT_FALSE(memFreeBlock(a, h));  // two locks left
  memUnlockBlock(a, h);
  EXPECT_FALSE(memFreeBlock(a, h));  // one left
  memUnlockBlock(a, h);
  memUnlockBlock(a, h);  // more unlocks than locks: harmless
  EXPECT_TRUE(memFreeBlock(a, h));

  h = memAllocBlock(a, 10);
  for (int i = 0; i < 5; ++i) memLockBlock(a, h);
  memUnlockAllBlock(a, h);
  EXPECT_TRUE(memFreeBlock(a, h));
}

TEST_F(AreaFixture, NamedBlocksAreCountedPerThread) {
  Open(0x10000, 0x10000);
  HMEMBLOCK g = memAllocNamedBlock(a, 16, "GLOBAL");
  ASSERT_NE(g, 0u);
  EXPECT_EQ(memAllocNamedBlock(a, 9999, "GLOBAL"), g);  // size immaterial now
  HMEMBLOCK p = memAllocNamedBlock(a, 200, "PORTS");
  ASSERT_NE(p, 0u);
  EXPECT_NE(p, g);
  EXPECT_FALSE(memFreeBlock(a, g));  // named blocks go by name only
  EXPECT_EQ(memAllocNamedBlock(a, 8, ""), 0u);
  EXPECT_EQ(memAllocNamedBlock(a, 8, nullptr), 0u);
  EXPECT_EQ(memAllocNamedBlock(a, 8, std::string(60, 'n').c_str()), 0u);

  DWORD* gp = static_cast<DWORD*>(memLockBlock(a, g));
  gp[0] = 42;
  memLockBlock(a, g);
  memUnlockNamedBlock(a, "GLOBAL");
  memUnlockNamedBlock(a, "GLOBAL");
  memUnlockNamedBlock(a, "NOSUCH");

  // Another thread holds no reference: its free changes nothing.
  NamedArgs args{a, 0};
  RunThread(FreeOwn, &args);
  EXPECT_EQ(static_cast<DWORD*>(memLockBlock(a, g))[0], 42u);
  memUnlockBlock(a, g);
  EXPECT_NE(memLockBlock(a, p), nullptr);
  memUnlockBlock(a, p);

  // Proxy free from another thread, on behalf of this one.
  args.tid = GetCurrentThreadId();
  RunThread(FreeForAttacher, &args);
  EXPECT_EQ(memLockBlock(a, p), nullptr);  // one reference: gone
  EXPECT_NE(memLockBlock(a, g), nullptr);  // two references: one left
  memFreeNamedBlock(a, "GLOBAL");
  EXPECT_EQ(memLockBlock(a, g), nullptr);  // gone, though still locked once
  HMEMBLOCK g2 = memAllocNamedBlock(a, 16, "GLOBAL");
  ASSERT_NE(g2, 0u);
  EXPECT_NE(g2, g);
  EXPECT_TRUE(AllZero(memLockBlock(a, g2), 16));
}

TEST_F(AreaFixture, PortAreaHoldsChannelsAndRingsAndReusesSpace) {
  Open();
  // 128 channel records with ring buffers of 32 to 96 KiB, freed and made anew
  // thousands of times over in a rolling pattern: nothing leaks.
  std::vector<HMEMBLOCK> rec(128), ring(128);
  Rng rng{12345};
  for (DWORD i = 0; i < 128; ++i) {
    ASSERT_NE(rec[i] = memAllocBlock(a, 160), 0u) << i;
    ASSERT_NE(ring[i] = memAllocBlock(a, 96 * 1024), 0u) << i;
  }
  for (int cycle = 0; cycle < 4000; ++cycle) {
    DWORD i = rng.below(128);
    ASSERT_TRUE(memFreeBlock(a, ring[i]));
    ASSERT_TRUE(memFreeBlock(a, rec[i]));
    ASSERT_NE(rec[i] = memAllocBlock(a, 160 + rng.below(64)), 0u) << cycle;
    ASSERT_NE(ring[i] = memAllocBlock(a, 32 * 1024 + rng.below(64 * 1024)), 0u) << cycle;
    HMEMBLOCK grown = memReAllocBlock(a, rec[i], 400);
    ASSERT_NE(grown, 0u);
    rec[i] = grown;
  }
  for (DWORD i = 0; i < 128; ++i) {
    ASSERT_TRUE(memFreeBlock(a, rec[i]));
    ASSERT_TRUE(memFreeBlock(a, ring[i]));
  }
  // All free space is one piece again.
  HMEMBLOCK whole = memAllocBlock(a, kPortMax - 0x80000);
  EXPECT_NE(whole, 0u);
}

}  // namespace
