// KRZMEM15 within one process and across real processes, some of them killed
// or dying in the middle of a change, holding the area's mutex.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pattern.h"
#include "testutil.h"

namespace {

struct Mem : ::testing::Test {
  char name[100];
  HMEMAREA a = 0;
  void SetUp() override { Create(kPortInit, kPortMax); }
  void TearDown() override { memReleaseSharedArea(a); }
  // A new area of this test's own name in place of the one it had.
  void Create(DWORD size, DWORD max) {
    memReleaseSharedArea(a);
    snprintf(name, sizeof name, "memtest.%lu.%s", static_cast<unsigned long>(GetCurrentProcessId()),
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    BOOL fInit = FALSE;
    a = memCreateSharedArea(size, name, max, &fInit);
    ASSERT_TRUE(a && fInit);
  }
  bool Start(Child& child, const char* mode, const std::string& args = "",
             const char* program = "MEMCHILD.EXE") {
    return child.Run(std::string(program) + " " + mode + " " + name + " " + args);
  }
  // A child holding the named block "HOLD"; killed once `meanwhile` ran.
  template <typename F>
  void HoldAndKill(F meanwhile) {
    NamedEvent ready("hold");
    Child holder;
    ASSERT_TRUE(Start(holder, "hold", ready.name));
    ASSERT_TRUE(ready.WaitSet());
    meanwhile();
    holder.Kill();
  }
  // Bytes the area still gives out in 4 KiB blocks that do not overlap.
  DWORD FreeSpace() {
    std::vector<HMEMBLOCK> v;
    for (HMEMBLOCK h; (h = memAllocBlock(a, 4096)) != 0;) {
      v.push_back(h);
      Fill(memLockBlock(a, h), 4096, h);
      memUnlockBlock(a, h);
    }
    for (HMEMBLOCK h : v) {
      EXPECT_TRUE(Check(memLockBlock(a, h), 4096, h));
      memUnlockBlock(a, h);
      EXPECT_TRUE(memFreeBlock(a, h));
    }
    return static_cast<DWORD>(v.size()) * 4096;
  }
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

TEST_F(Mem, SeveralProcessesHammerOneAreaAndShareANamedBlock) {
  DWORD before = FreeSpace();
  HMEMBLOCK shared = memAllocNamedBlock(a, 64, "SHARED");
  std::vector<HMEMBLOCK> mine;
  for (DWORD i = 0; i < 50; ++i) {
    mine.push_back(memAllocBlock(a, 100 + i * 37));
    Fill(memLockBlock(a, mine[i]), 100 + i * 37, i);
    memUnlockBlock(a, mine[i]);
  }
  Child kids[4];
  for (DWORD k = 0; k < 4; ++k)
    EXPECT_TRUE(Start(kids[k], "hammer", std::to_string(1000 + k) + " 2000"));
  for (Child& kid : kids) EXPECT_EQ(kid.Wait(300000), 0u);
  for (DWORD i = 0; i < 50; ++i) {
    EXPECT_TRUE(Check(memLockBlock(a, mine[i]), 100 + i * 37, i)) << i;
    memUnlockBlock(a, mine[i]);
    EXPECT_TRUE(memFreeBlock(a, mine[i]));
  }
  // Each child wrote its seed; their frees dropped only their own references.
  DWORD* seeds = static_cast<DWORD*>(memLockBlock(a, shared));
  ASSERT_NE(seeds, nullptr);
  for (DWORD k = 0; k < 4; ++k) EXPECT_EQ(seeds[(1000 + k) % 16], 1000 + k);
  memUnlockBlock(a, shared);
  memFreeNamedBlock(a, "SHARED");
  EXPECT_EQ(FreeSpace(), before);  // all the children took came back...
  EXPECT_TRUE(memFreeBlock(a, memAllocBlock(a, before - 0x10000)));  // ...in one piece
}

TEST_F(Mem, AKilledHolderEndsTheAreaAndItsReferencesMakeRoom) {
  HMEMBLOCK h = memAllocBlock(a, 16);
  BOOL fInit = TRUE;
  HoldAndKill([&] {  // the holder keeps the area alive when this process lets go
    memReleaseSharedArea(a);
    a = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
    EXPECT_FALSE(fInit);
    EXPECT_NE(memLockBlock(a, h), nullptr);
    memReleaseSharedArea(a);
  });
  a = memCreateSharedArea(0x10000, name, 0x10000, &fInit);
  EXPECT_TRUE(fInit);  // nobody held it any more: a new area
  EXPECT_EQ(memLockBlock(a, h), nullptr);

  // References of killed processes make room when needed.
  Create(0x2000, 0x2000);  // room for 64 references
  HoldAndKill([] {});
  // The dead child's, 31 of this thread and 32 of another fill the table; one
  // more must push the dead one out.
  auto takeAllNames = [this] {
    for (int i = 0; i < 31; ++i)
      EXPECT_NE(memAllocNamedBlock(a, 8, std::to_string(i).c_str()), 0u) << i;
    EXPECT_NE(memAllocNamedBlock(a, 8, "HOLD"), 0u);
  };
  std::thread(takeAllNames).join();
  takeAllNames();
}

TEST_F(Mem, ProcessesComingAndGoingLeaveNoMarkOfTheirLives) {
  const int kRounds = 6, kBatch = 10;  // every third process of a batch is killed
  std::vector<DWORD> pids;
  for (int round = 0; round < kRounds; ++round) {
    std::unique_ptr<NamedEvent> ready[kBatch];
    Child child[kBatch];
    for (int i = 0; i < kBatch; ++i) {
      if (i % 3 == 0) ready[i] = std::make_unique<NamedEvent>("visit");
      ASSERT_TRUE(Start(child[i], "visit", ready[i] ? ready[i]->name : ""));
      pids.push_back(child[i].pi.dwProcessId);
    }
    for (int i = 0; i < kBatch; ++i) {
      if (!ready[i])
        EXPECT_EQ(child[i].Wait(), 0u);
      else if (ready[i]->WaitSet())
        child[i].Kill();
      else
        ADD_FAILURE() << "visitor " << i << " never got ready";
    }
  }
  // The next process to use a name clears what the last killed ones left.
  Child last;
  ASSERT_TRUE(Start(last, "visit"));
  ASSERT_EQ(last.Wait(), 0u);
  for (DWORD pid : pids) {
    std::string alive = "KRZMEM15.Alive." + std::to_string(pid);
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, alive.c_str());
    EXPECT_EQ(h, nullptr) << alive;
    if (h) CloseHandle(h);
  }
}

void SetFaultPoint(const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA("KRZMEM15_FAULT_AT", value);
#else
  value ? setenv("KRZMEM15_FAULT_AT", value, 1) : unsetenv("KRZMEM15_FAULT_AT");
#endif
}

TEST_F(Mem, ProcessesDyingInsideAChangeLeaveAConsistentArea) {
  // A process dies at each ordered store of the script in turn, on a fresh
  // small area; ours must stay intact, the free space whole, names working.
  DWORD point = 1;
  for (;; ++point) {
    Create(0x40000, 0x40000);
    // The child's blocks land in a hole between two blocks of ours.
    HMEMBLOCK hole = memAllocBlock(a, 0x8000), mine = memAllocBlock(a, 3000);
    Fill(memLockBlock(a, mine), 3000, point);
    memUnlockBlock(a, mine);
    ASSERT_TRUE(memFreeBlock(a, hole));
    DWORD before = FreeSpace();
    SetFaultPoint(std::to_string(point).c_str());
    Child script;
    ASSERT_TRUE(Start(script, "script", "", "MEMFAULT.EXE"));
    DWORD rc = script.Wait(120000);
    SetFaultPoint(nullptr);
    if (rc == 0) break;  // the script ran past its last store
    ASSERT_EQ(rc, 0xFAu) << point;
    EXPECT_TRUE(Check(memLockBlock(a, mine), 3000, point)) << point;
    memUnlockBlock(a, mine);
    EXPECT_GE(FreeSpace() + 3 * 4096, before) << point;  // at most the script's blocks lost
    EXPECT_NE(memAllocNamedBlock(a, 64, "F"), 0u) << point;
    memFreeNamedBlock(a, "F");
  }
  EXPECT_GT(point, 40u);  // the sweep met the script's stores
}

}  // namespace
