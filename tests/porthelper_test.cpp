// Port handles, the helper's setup and process, and the PML event, with the
// real port I/O library, helper process and children.
#include <gtest/gtest.h>

#include <filesystem>

#include "../krzhid15/helper.h"
#include "krzcom15.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

// Records hWnd as the helper's window, set up or not.
void SetHelper(HWND hWnd, BOOL fSetupDone) {
  MlcGlobalData* lpMGD = ObtainMGD();
  lpMGD->hHiddenWnd = DwordFromHwnd(hWnd);
  lpMGD->bMLCSetupDone = fSetupDone;
  ReleaseMGD();
}

// Removes a file once no process runs it (Windows keeps a running program's).
bool RemoveWhenFree(const fs::path& path) {
  std::error_code ec;
  return Eventually([&] { return fs::remove_all(path, ec), !fs::exists(path); });
}

fs::path Program() {
  char szPath[MAX_PATH];
  return fs::path(std::string(szPath, GetModuleFileNameA(NULL, szPath, MAX_PATH)));
}

}  // namespace

TEST(PortHandles, AcquisitionsAreCountedAndTheSetupOpensEveryPortItCan) {
  DWORD hPort = MLCGetPortHandle(0);
  ASSERT_NE(hPort, 0u);
  EXPECT_EQ(MLCGetPortHandle(0), hPort);
  EXPECT_EQ(MLCReleasePortHandle(hPort), 1);
  EXPECT_EQ(GetHportVal(0), hPort);
  EXPECT_EQ(VCOMM_GetLastError(hPort), 0u);  // still open
  EXPECT_EQ(MLCReleasePortHandle(hPort), 1);
  EXPECT_EQ(GetHportVal(0), 0u);
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_HANDLE);  // closed
  EXPECT_EQ(MLCReleasePortHandle(hPort), 0);
  EXPECT_EQ(MLCReleasePortHandle(0), 0);
  EXPECT_EQ(MLCGetPortHandle(3), 0u);
  EXPECT_EQ(GetHportVal(7), 0u);
  // The setup records the helper's window once, and survives an unopenable port.
  std::string ini = WindowsDirFile("KRZCOM15.INI");
  WriteTextFile(ini, "[LPT2]\nBackend=none\n");
  HWND hFirst = MakeWindow("PortHelperTestWnd"), hSecond = MakeWindow("PortHelperTestWnd");
  ASSERT_EQ(MLCSetup(hFirst), 1);
  EXPECT_NE(GetHportVal(0), 0u);
  EXPECT_EQ(GetHportVal(1), 0u);
  EXPECT_NE(GetHportVal(2), 0u);
  WNDCLASSA wc;
  EXPECT_TRUE(GetClassInfoA(hMlcInstance, "KRZHID15_WndClass", &wc));
  EXPECT_EQ(MLCSetup(hSecond), 0);
  EXPECT_EQ(HiddenWindow(), hFirst);
  MLCCleanup();
  EXPECT_EQ(HiddenWindow(), (HWND)NULL);
  EXPECT_FALSE(SetupDone());
  EXPECT_EQ(GetHportVal(0), 0u);
  EXPECT_FALSE(GetClassInfoA(hMlcInstance, "KRZHID15_WndClass", &wc));
  DeleteFileA(ini.c_str());
  DestroyWindow(hFirst);
  DestroyWindow(hSecond);
}

TEST(Helper, StartsOnceServesItsTimerClosesAndStartsAgain) {
  gHelper_Setup_Timeout = 60000;  // a slow start is no failure here
  ASSERT_EQ(LaunchHiddenExe(), 1);
  HWND hHidden = HiddenWindow();
  ASSERT_TRUE(IsWindow(hHidden));
  EXPECT_EQ(LaunchHiddenExe(), 1);  // set up already: no second helper
  EXPECT_EQ(HiddenWindow(), hHidden);
  auto polls = [&] { return SendMessageA(hHidden, HELPER_QUERY_POLLS, 0, 0); };
  LRESULT lBase = polls();
  SendMessageA(hHidden, HIDDEN_POLL_TIMER, POLL_TIMER_MIN, 20);
  EXPECT_TRUE(Eventually([&] { return polls() >= lBase + 3; }));
  ObtainMGD()->wPollTimerId = POLL_TIMER_MAX;
  ReleaseMGD();
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_TRUE(Eventually([&] { return !IsWindow(hHidden); }));
  EXPECT_EQ(ObtainMGD()->wPollTimerId, 0);
  ReleaseMGD();
  // A later link gets a new helper, stopped alike (the stop gave the PML event back).
  ASSERT_EQ(LaunchHiddenExe(), 1);
  hHidden = HiddenWindow();
  ASSERT_TRUE(IsWindow(hHidden));
  // While a PML component holds the event the helper is not stopped.
  ASSERT_EQ(MLCWaitForPMLInitDeInitEvent(), (DWORD)WAIT_OBJECT_0);
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_EQ(HiddenWindow(), hHidden);
  EXPECT_TRUE(SetupDone());
  EXPECT_TRUE(MLCSetPMLInitDeInitEvent());
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_TRUE(Eventually([&] { return !IsWindow(hHidden); }));
  EXPECT_EQ(WaitForSingleObject(hPMLInitDeInit, 0), (DWORD)WAIT_OBJECT_0);  // free after the stop
  EXPECT_TRUE(MLCSetPMLInitDeInitEvent());
  // A helper killed leaves its setup behind without a window: a new one starts.
  HWND hGone = MakeWindow("PortHelperTestWnd");
  DestroyWindow(hGone);
  SetHelper(hGone, TRUE);
  ASSERT_EQ(LaunchHiddenExe(), 1);
  hHidden = HiddenWindow();
  ASSERT_TRUE(IsWindow(hHidden));
  // A cleanup in a client (not the helper) keeps the helper stoppable.
  MLCCleanup();
  EXPECT_EQ(HiddenWindow(), hHidden);
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_TRUE(Eventually([&] { return !IsWindow(hHidden); }));
  EXPECT_TRUE(MLCSetPMLInitDeInitEvent());
  MLCCleanup();
  EXPECT_EQ(HiddenWindow(), (HWND)NULL);
  LoadIniValues();
}

TEST(Helper, AStopPostsOneCloseAndKeepsTheSetupWhenThePostFails) {
  HWND hWnd = MakeWindow("PortHelperTestWnd");
  SetHelper(hWnd, SetupDone());
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_EQ(KillHiddenExe(), 1);
  EXPECT_EQ(TakeMessages(hWnd, WM_CLOSE, WM_CLOSE).size(), 1u);
  // A full queue gets no WM_CLOSE: the window stays the helper and the PML
  // event is not lost. (Queues hold 10 000 posts; Wine's have no cap.)
  SetHelper(hWnd, TRUE);
  int iPosted = 0;
  while (iPosted < 20000 && PostMessageA(hWnd, WM_USER, 0, 0)) ++iPosted;
#ifndef _WIN32
  EXPECT_LT(iPosted, 20000);
#endif
  if (iPosted < 20000) {
    EXPECT_EQ(KillHiddenExe(), 1);
    EXPECT_EQ(HiddenWindow(), hWnd);
    EXPECT_TRUE(SetupDone());
    EXPECT_EQ(WaitForSingleObject(hPMLInitDeInit, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(MLCSetPMLInitDeInitEvent());
  }
  TakeMessages(hWnd);
  EXPECT_EQ(KillHiddenExe(), 1);  // room again: the stop goes through
  EXPECT_EQ(HiddenWindow(), (HWND)NULL);
  SetHelper(NULL, FALSE);
  DestroyWindow(hWnd);
}

// The child program, copied away from the helper, launches it with the driver
// folder empty, holding programs under its name that never set up, and holding it.
TEST(Helper, FoundInTheDriverFolderOrReportedMissing) {
  fs::path bin = Program().parent_path(), alone = fs::path(WindowsDirFile("launcher"));
  fs::remove_all(alone);
  fs::create_directories(alone);
  for (const auto& entry : fs::directory_iterator(bin)) {
    std::string name = entry.path().filename().string();
    if (name.find(".so") != std::string::npos || name.find(".dll") != std::string::npos ||
        name.rfind("krzmlc15_child", 0) == 0)
      fs::copy_file(entry.path(), alone / name, fs::copy_options::overwrite_existing);
  }
  char szSys[MAX_PATH];
  fs::path drivers = fs::path(std::string(szSys, GetSystemDirectoryA(szSys, MAX_PATH))) / "spool" /
                     "DRIVERS" / "W32X86";
  fs::remove_all(drivers);
  auto launch = [&] {
    Child launcher;
    std::string cmd = (alone / "krzmlc15_child").string() + " launch";
    return launcher.Run(cmd, alone.string().c_str()) ? launcher.Wait(60000) : 0xFFFF;
  };
  EXPECT_EQ(launch(), 19u);  // nowhere to be found
  // One ends at once, one idles: the launch gives up on both within the INI's limit.
  std::string ini = WindowsDirFile("KRZTBX15.INI");
  WriteTextFile(ini, "[KRZMLC15]\r\nHELPER_SETUP_TIMEOUT=300\r\n");
  fs::create_directories(drivers);
  const std::string ext = Program().extension().string();
  fs::path fake = drivers / ("KRZHID15" + ext);
  fs::copy_file(bin / ("krzmlc15_child" + ext), fake);
  EXPECT_EQ(launch(), 19u);
  HANDLE hEnd = CreateEventA(NULL, TRUE, FALSE, "krzmlc15-idle-helper-end");  // now it idles
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(launch(), 19u);
  EXPECT_GE(GetTickCount() - dwStart, 250u);
  EXPECT_TRUE(Eventually([] {  // the launch ended the idle program itself
    HANDLE hIdle = OpenMutexA(SYNCHRONIZE, FALSE, "krzmlc15-idle-helper");
    if (hIdle) CloseHandle(hIdle);
    return hIdle == NULL;
  }));
  CloseHandle(hEnd);
  EXPECT_TRUE(RemoveWhenFree(fake));
  DeleteFileA(ini.c_str());
  for (const auto& entry : fs::directory_iterator(bin))
    if (entry.path().filename().string().rfind("KRZHID15", 0) == 0)
      fs::copy_file(entry.path(), drivers / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
  EXPECT_EQ(launch(), 0u);  // found by the second attempt, with the full path
  EXPECT_TRUE(RemoveWhenFree(drivers));
  EXPECT_TRUE(RemoveWhenFree(alone));
}
