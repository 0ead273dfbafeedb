// Attach and detach across real processes. This test program does not load
// the library: it starts children that do, and looks at the shared records
// through the memory manager as any process could.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

#if defined(_WIN32)
#define LIBRARY_FILE "KRZMLC15.dll"
#else
#include <dlfcn.h>
#define LIBRARY_FILE "libKRZMLC15.so"
#endif

namespace {

// A child that attaches, sets up the given blocks, and stays until told.
struct HoldingChild {
  NamedEvent ready{"ready"};
  NamedEvent go{"go"};
  Child child;
  bool Start(const std::string& setup = "") {
    return child.Start("hold " + ready.name() + " " + go.name() + " " + setup) && ready.WaitSet();
  }
  DWORD Leave() {
    go.Set();
    return child.Wait();
  }
};

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(SharedAreaExists(kGlobalAreaName)) << "state left over"; }
  void TearDown() override { EXPECT_FALSE(SharedAreaExists(kGlobalAreaName)); }
};

TEST_F(Lifecycle, FirstProcessInitialisesSecondJoinsAndLeavesRecordsAlone) {
  HoldingChild first;
  ASSERT_TRUE(first.Start());
  {
    SharedStateView view;
    ASSERT_TRUE(view.exists());
    EXPECT_EQ(view.global()->dwMlcAttachCount, 1u);
    EXPECT_EQ(view.global()->hHiddenWnd, 0u);
    for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
      EXPECT_EQ(view.port(iPort)->bHostRevision, 3);
      EXPECT_EQ(view.port(iPort)->bLastMlcCommand, NO_COMMAND);
      EXPECT_EQ(view.port(iPort)->hChanPtrArray, 0u);
    }
    // Marks a joining process must leave as they are.
    view.global()->wPollTimerId = 19;
    view.port(1)->lLastLinkError = MLC_PHYSICAL_LINK_FAILURE;
    view.port(2)->PollStats[2].dwEmptyPolls = 7;
    view.port(0)->bHostRevision = 2;
  }

  HoldingChild second;
  ASSERT_TRUE(second.Start());
  {
    SharedStateView view;
    ASSERT_TRUE(view.exists());
    EXPECT_EQ(view.global()->dwMlcAttachCount, 2u);
    EXPECT_EQ(view.global()->wPollTimerId, 19);
    EXPECT_EQ(view.port(1)->lLastLinkError, MLC_PHYSICAL_LINK_FAILURE);
    EXPECT_EQ(view.port(2)->PollStats[2].dwEmptyPolls, 7u);
    EXPECT_EQ(view.port(0)->bHostRevision, 2);
  }

  EXPECT_EQ(second.Leave(), 2u);
  {
    SharedStateView view;
    ASSERT_TRUE(view.exists());
    EXPECT_EQ(view.global()->dwMlcAttachCount, 1u);
  }
  EXPECT_EQ(first.Leave(), 1u);
}

TEST_F(Lifecycle, JoiningProcessMapsOnlyThePortsInUse) {
  HoldingChild first;
  ASSERT_TRUE(first.Start("use 1"));
  Child joining;
  ASSERT_TRUE(joining.Start("report"));
  // LPT2 mapped (bit 1), LPT1 and LPT3 not; attach count 2.
  EXPECT_EQ(joining.Wait(), 16u * 2 + 0x2);
  first.Leave();
}

TEST_F(Lifecycle, NonLastDetachKeepsPortsWithChannelsAndFreesTheOthers) {
  HoldingChild first;
  ASSERT_TRUE(first.Start("use 1 devid 2"));
  HMEMBLOCK hTable, hDeviceId;
  {
    SharedStateView view;
    hTable = view.port(1)->hChanPtrArray;
    hDeviceId = view.port(2)->hDeviceID;
    ASSERT_NE(hTable, 0u);
    ASSERT_NE(hDeviceId, 0u);
    view.port(2)->bLastMlcCommand = 1;
  }

  HoldingChild second;  // maps LPT2 and LPT3 at attach, then leaves
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.Leave(), 2u);

  SharedStateView view;
  ASSERT_TRUE(view.exists());
  EXPECT_EQ(view.global()->dwMlcAttachCount, 1u);
  EXPECT_EQ(view.port(1)->hChanPtrArray, hTable);
  EXPECT_EQ(view.port(1)->bChannelsUsed, 1);
  EXPECT_EQ(view.port(1)->bChannelsAllocated, 1);
  // LPT3 had no channel: its device ID went, and no command is awaited.
  EXPECT_EQ(view.port(2)->hDeviceID, 0u);
  EXPECT_EQ(view.port(2)->bLastMlcCommand, NO_COMMAND);

  BOOL fInit = FALSE;
  HMEMAREA hArea = memCreateSharedArea(0xA0000, PortAreaName(1).c_str(), 0xF10000, &fInit);
  ASSERT_NE(hArea, 0u);
  EXPECT_FALSE(fInit);
  HMEMBLOCK* lpTable = (HMEMBLOCK*)memLockBlock(hArea, hTable);
  ASSERT_NE(lpTable, nullptr);
  EXPECT_NE(memLockBlock(hArea, lpTable[0]), nullptr) << "the channel record survives";
  memUnlockBlock(hArea, lpTable[0]);
  memUnlockBlock(hArea, hTable);
  memReleaseSharedArea(hArea);
  first.Leave();
}

TEST_F(Lifecycle, LastDetachFreesEveryBlockAndTheAreasVanish) {
  HoldingChild last;
  ASSERT_TRUE(last.Start("fill 0 devid 2"));
  {
    // Held across the last detach, so the freed records can be inspected.
    SharedStateView view;
    ASSERT_TRUE(view.exists());
    PerPortInfo before0 = *view.port(0);
    PerPortInfo before2 = *view.port(2);
    BOOL fInit = FALSE;
    HMEMAREA hArea0 = memCreateSharedArea(0xA0000, PortAreaName(0).c_str(), 0xF10000, &fInit);
    HMEMAREA hArea2 = memCreateSharedArea(0xA0000, PortAreaName(2).c_str(), 0xF10000, &fInit);
    ASSERT_NE(hArea0, 0u);
    ASSERT_NE(hArea2, 0u);

    EXPECT_EQ(last.Leave(), 1u);

    EXPECT_EQ(view.global()->dwMlcAttachCount, 0u);
    EXPECT_EQ(view.port(0)->hChanPtrArray, 0u);
    EXPECT_EQ(view.port(0)->hSocketInfoArray, 0u);
    EXPECT_EQ(view.port(0)->hDeviceID, 0u);
    EXPECT_EQ(view.port(2)->hDeviceID, 0u);
    EXPECT_EQ(memLockBlock(hArea0, before0.hChanPtrArray), nullptr);
    EXPECT_EQ(memLockBlock(hArea0, before0.hSocketInfoArray), nullptr);
    EXPECT_EQ(memLockBlock(hArea0, before0.hDeviceID), nullptr);
    EXPECT_EQ(memLockBlock(hArea2, before2.hDeviceID), nullptr);
    memReleaseSharedArea(hArea0);
    memReleaseSharedArea(hArea2);
  }
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    EXPECT_FALSE(SharedAreaExists(PortAreaName(iPort).c_str())) << iPort;
  }
}

TEST_F(Lifecycle, KilledHolderOfAPortMutexDoesNotBlockOthers) {
  NamedEvent ready("ppi-held");
  Child holder;
  ASSERT_TRUE(holder.Start("hold-ppi 0 " + ready.name() + " -"));
  ASSERT_TRUE(ready.WaitSet());
  holder.Kill();

  Child next;
  ASSERT_TRUE(next.Start("check-ppi 0 10000"));
  EXPECT_EQ(next.Wait(), 0u);
}

TEST_F(Lifecycle, AClientLinkedToTheLibraryAttachesAndReachesItsExports) {
  Child client;
  ASSERT_TRUE(client.Start("", "krzmlc15_client.exe"));
  EXPECT_EQ(client.Wait(), 1u);  // WEP's result
}

// The library beside this program (a bare name would not be found by a
// dlopen that the sanitizer runtime intercepts).
std::string LibraryBesideProgram() {
  char szPath[MAX_PATH];
  std::string path(szPath, GetModuleFileNameA(NULL, szPath, sizeof(szPath)));
  return path.substr(0, path.find_last_of("/\\") + 1) + LIBRARY_FILE;
}

TEST_F(Lifecycle, LoadingAndUnloadingTheLibraryAttachesAndDetaches) {
#if defined(_WIN32)
  HMODULE hLib = LoadLibraryA(LibraryBesideProgram().c_str());
  ASSERT_NE(hLib, nullptr);
  auto pfnWEP = (int(WINAPI*)(int))(void*)GetProcAddress(hLib, "WEP");
#else
  void* hLib = dlopen(LibraryBesideProgram().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(hLib, nullptr) << dlerror();
  auto pfnWEP = (int (*)(int))dlsym(hLib, "WEP");
#endif
  ASSERT_NE(pfnWEP, nullptr);
  EXPECT_EQ(pfnWEP(12345), 1);
  {
    SharedStateView view;
    ASSERT_TRUE(view.exists());
    EXPECT_EQ(view.global()->dwMlcAttachCount, 1u);
  }
#if defined(_WIN32)
  FreeLibrary(hLib);
#else
  dlclose(hLib);
#endif
  EXPECT_FALSE(SharedAreaExists(kGlobalAreaName));
}

}  // namespace
