// Callback windows of threads that open their first callback channels at
// the same moment: each gets its window, whoever registers the class.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "notify/wndproc.h"
#include "shared/records.h"

TEST(CallBackWindow, ThreadsRacingToRegisterTheClassEachGetAWindow) {
  for (int round = 0; round < 40; ++round) {
    HANDLE hGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<HWND> windows(8);
    std::vector<std::thread> threads;
    for (HWND& hWnd : windows)
      threads.emplace_back([&hWnd, hGo] {
        WaitForSingleObject(hGo, INFINITE);
        hWnd = CreateCallBackWindow(0);
        if (hWnd) DestroyWindow(hWnd);
      });
    SetEvent(hGo);
    for (std::thread& t : threads) t.join();
    CloseHandle(hGo);
    for (HWND hWnd : windows) ASSERT_NE(hWnd, (HWND)NULL) << "round " << round;
    UnregisterClassA(MLC_CALLBACK_WND_CLASS, hMlcInstance);
  }
}
