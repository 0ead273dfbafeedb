// Channel events at window and callback targets, and blocking calls ended by
// another process's polls, a close or a reset, against the emulator.

#include <atomic>
#include <utility>

#include "emu_client_support.h"
#include "link/link.h"

namespace {

std::vector<DWORD> g_calls;  // code << 16 | client value of each callback
void CALLBACK Record(DWORD dwPort, DWORD dwCode, DWORD dwAppData, DWORD dwCount) {
  g_calls.push_back(dwPort || dwCount ? 0xDEAD : dwCode << 16 | dwAppData);
}
std::vector<DWORD> Calls() {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  return std::exchange(g_calls, {});
}
// Client value << 16 | code of each notice waiting for hWnd.
std::vector<DWORD> Notices(HWND hWnd) {
  std::vector<DWORD> notices;
  for (const MSG& m : TakeMessages(hWnd, kAppMsg, kAppMsg))
    notices.push_back((DWORD)m.wParam << 16 | LOWORD(m.lParam));
  return notices;
}

// A client process that polls LPT1 until Stop().
struct Poller {
  NamedEvent stop{"poll"};
  Child child;
  Poller() { EXPECT_TRUE(child.Run("krzmlc15_datachild.exe poll " + stop.name)); }
  DWORD Stop() { return SetEvent(stop.handle), child.Wait(); }
};

class NotifyTest : public SceneTest {
 protected:
  // A waiter's own poll never comes: another thread or process must poll.
  static void SetUpTestSuite() { SceneTest::SetUpTestSuite(), gMin_Poll_Interval = 600000; }
  void TearDown() override { Calls(), SceneTest::TearDown(); }
};

TEST_F(NotifyTest, EveryEventReachesEachKindOfTarget) {
  Start(ConfigWith({"4:source:bytes=3000", "2:sink:credit=1"}));
  WORD hSource = Open(4, 8192, MLC_STREAM_CHANNEL, hApp_, 0x1234);
  EXPECT_EQ(Notices(hApp_), std::vector<DWORD>{0x12340000 | MLC_WRITE_STREAM});  // open credit
  EXPECT_EQ(MLCRead(hSource, NULL, 0, FALSE, 0), 0);
  // Data another process's poll stored is told once until the client reads.
  {
    Poller poller;
    MSG msg;
    EXPECT_TRUE(
        Eventually([&] { return PeekMessageA(&msg, hApp_, kAppMsg, kAppMsg, PM_NOREMOVE); }));
    EXPECT_EQ(poller.Stop(), 0u);
  }
  std::vector<MSG> told = TakeMessages(hApp_);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].wParam, 0x1234u);
  EXPECT_EQ(LOWORD(told[0].lParam), MLC_READ_STREAM);
  EXPECT_GT(HIWORD(told[0].lParam), 0);
  EXPECT_LE(HIWORD(told[0].lParam), MLCRead(hSource, NULL, 0, FALSE, 0));
  // A callback client: the open's credit, and credit back after the last was spent.
  WORD hSink = Open(2, 0, MLC_STREAM_CHANNEL, NULL, 0x55, Record);
  EXPECT_EQ(Calls(), std::vector<DWORD>{MLC_WRITE_STREAM << 16 | 0x55});
  EXPECT_EQ(MLCWrite(hSink, "0123456789", 10, FALSE, 0), 10);
  std::vector<DWORD> calls;
  EXPECT_TRUE(Eventually([&] { return MLCPollChannels(FALSE), !(calls = Calls()).empty(); }));
  EXPECT_EQ(calls, std::vector<DWORD>{MLC_WRITE_STREAM << 16 | 0x55});

  // A reset tells both clients and closes the callback window. It runs in a
  // thread that holds the port while this thread, the callback window's,
  // waits for the port: the notice is posted, so neither waits for the other.
  HWND hCallBackWnd = HwndFromDword(Stream(hSink).hCallBackWnd);
  HANDLE hHeld = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::thread resetter([&] {
    ObtainPPI(0);
    SetEvent(hHeld);
    StartAllOverAgain(0, FALSE);
    ReleasePPI(0);
  });
  WaitForSingleObject(hHeld, INFINITE);
  EXPECT_EQ(WaitForSingleObject(PPI_Mutex[0], 5000), WAIT_OBJECT_0);
  ReleaseMutex(PPI_Mutex[0]);
  resetter.join();
  CloseHandle(hHeld);
  EXPECT_EQ(Notices(hApp_), std::vector<DWORD>{0x12340000 | MLC_DISCONNECT});
  EXPECT_EQ(Calls(), std::vector<DWORD>{MLC_DISCONNECT << 16 | 0x55});
  EXPECT_FALSE(IsWindow(hCallBackWnd));

  // An event queued for a closed channel whose slot was reopened calls nobody.
  WORD hFirst = Open(4, 8192, MLC_STREAM_CHANNEL, NULL, 1, Record);
  EXPECT_EQ(MLCCloseChannel(hFirst), MLC_SUCCESS);
  WORD hSecond = Open(4, 8192, MLC_STREAM_CHANNEL, NULL, 2, Record);
  EXPECT_EQ(hSecond, hFirst);
  EXPECT_EQ(MLCRead(hSecond, NULL, 0, FALSE, 0), 0);  // asks to be told of data
  EXPECT_TRUE(Eventually([&] { return MLCPollChannels(FALSE), MLCRead(hSecond, NULL, 0, 0, 0); }));
  EXPECT_EQ(Calls(), (std::vector<DWORD>{MLC_WRITE_STREAM << 16 | 2, MLC_READ_STREAM << 16 | 2}));
  EXPECT_EQ(MLCCloseChannel(hSecond), MLC_SUCCESS);
}

// (Threads blocked while others poll: the randomized test.)
TEST_F(NotifyTest, BlockingCallsWaitWithoutHoldingThePortAndEndWithTheChannel) {
  Start(ConfigWith({"4:source:bytes=6000", "5:source:bytes=0"}));
  WORD hSource = Open(4, 8192), hOther = Open(5, 8192);
  std::vector<BYTE> buffer(6000);
  {
    Poller poller;  // another process's polls complete the read
    EXPECT_EQ(MLCRead(hSource, buffer.data(), 6000, TRUE, 20000), 6000);
    EXPECT_EQ(poller.Stop(), 0u);
  }
  for (int i = 0; i < 6000; ++i) ASSERT_EQ(buffer[i], (BYTE)i) << i;
  // A second blocking call is refused; a close or a reset ends the wait.
  std::atomic<int> iRead = 0;
  std::atomic<DWORD> dwTid = 0;
  for (WORD h : {hSource, hOther}) {
    std::thread waiter([&] {
      dwTid = GetCurrentThreadId();
      iRead = MLCRead(h, buffer.data(), 100, TRUE, 20000);
    });
    EXPECT_TRUE(
        Eventually([&] { return Stream(h).hMlcWnd != 0 && dwTid != 0 && AsleepInWait(dwTid); }));
    EXPECT_EQ(MLCRead(h, buffer.data(), 1, TRUE, 100), MLC_CHANNEL_BUSY);
    EXPECT_EQ(h == hSource ? MLCCloseChannel(h) : (StartAllOverAgain(0, FALSE), 1), 1);
    waiter.join();
    EXPECT_EQ(iRead, MLC_PHYSICAL_LINK_FAILURE);
    dwTid = 0;
  }
}

}  // namespace
