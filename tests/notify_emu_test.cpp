// Channel events and blocking calls against the emulator: every event code
// at each kind of target, blocking reads and writes woken by polls of other
// threads and processes, time-outs, and waits ended by a close or a reset.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel/channel.h"
#include "emu_client_support.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "testutil.h"

namespace {

constexpr UINT kAppMsg = WM_APP + 7;
struct Call {
  DWORD dwPort, dwCode, dwAppData, dwCount;
  bool operator==(const Call&) const = default;
};
std::vector<Call> g_calls;

void CALLBACK Record(DWORD dwPort, DWORD dwCode, DWORD dwAppData, DWORD dwCount) {
  g_calls.push_back({dwPort, dwCode, dwAppData, dwCount});
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// The client messages waiting for hWnd, as (wParam, lParam) pairs.
std::vector<std::pair<WPARAM, LPARAM>> AppEvents(HWND hWnd) {
  std::vector<std::pair<WPARAM, LPARAM>> events;
  for (const MSG& m : TakeMessages(hWnd, kAppMsg, kAppMsg)) events.emplace_back(m.wParam, m.lParam);
  return events;
}

StreamChannel* Stream(WORD hChannel) {
  return (StreamChannel*)LockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
}

// Until the blocking call of thread *lpTid on hChannel has published its
// window and sleeps in its wait.
bool WaiterIn(WORD hChannel, const std::atomic<DWORD>* lpTid) {
  return Eventually([&] {
    StreamChannel* lpStream = Stream(hChannel);
    DWORD hMlcWnd = lpStream ? lpStream->hMlcWnd : 0;
    if (lpStream) UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
    return hMlcWnd != 0 && *lpTid != 0 && AsleepInWait(*lpTid);
  });
}

class NotifyTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    // The waiters' own poll comes only after 8 s: what ends a wait sooner
    // came through another thread's or process's poll.
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "MLC_INTER_PACKET_TIME_OUT=200\r\nCreditTimeout=1500\r\nMIN_POLL_INTERVAL=8000\r\n"
        "MAX_POLL_INTERVAL=9000\r\n");
  }
  void SetUp() override {
    EmuClientTest::SetUp();
    g_calls.clear();
  }
  void TearDown() override {
    Pump();
    EmuClientTest::TearDown();
  }
  void Start(std::initializer_list<const char*> services) {
    EmuClientTest::Start(ConfigWith(services));
  }
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, HWND hWnd = NULL, DWORD dwData = 0,
                   MLC_CALLBACK lpfn = NULL) {
    WORD hChannel = 0;
    EXPECT_EQ(MLCOpenChannel(0, dwPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, hWnd, kAppMsg,
                             dwData, lpfn, NULL),
              MLC_SUCCESS);
    return hChannel;
  }
  static void PollChild(Child* lpChild, const char* lpszArgs) {
    Spawn(lpChild, std::string("krzmlc15_datachild.exe poll ") + lpszArgs);
  }
};

TEST_F(NotifyTest, EveryEventReachesEachKindOfTarget) {
  Start({"4:source:bytes=3000", "2:sink:credit=1"});
  HWND hApp = MakeWindow("NotifyTestWnd");
  WORD hSource = Open(4, 8192, hApp, 0x1234);
  // The open's credit was told (MLC_WRITE_STREAM); data stored by another
  // process's poll reaches this process's window too.
  auto events = AppEvents(hApp);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair((WPARAM)0x1234, MAKELPARAM(MLC_WRITE_STREAM, 0)));
  EXPECT_EQ(MLCRead(hSource, NULL, 0, FALSE, 0), 0);
  Child poller;
  PollChild(&poller, "0 300");
  EXPECT_EQ(poller.Wait(), 0u);
  // (A process leaving with only the helper's process left stops the helper.)
  StandInHelper();
  events = AppEvents(hApp);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, 0x1234u);
  EXPECT_EQ(LOWORD(events[0].second), MLC_READ_STREAM);
  EXPECT_GT(HIWORD(events[0].second), 0);
  EXPECT_LE(HIWORD(events[0].second), MLCRead(hSource, NULL, 0, FALSE, 0));

  // A callback client: data, and credit coming back after the last credit
  // was spent, are called back with the port, the code and the client value.
  WORD hSink = Open(2, 0, NULL, 0x55, Record);
  Pump();
  EXPECT_EQ(g_calls, (std::vector<Call>{{0, MLC_WRITE_STREAM, 0x55, 0}}));
  g_calls.clear();
  BYTE abJob[10] = {};
  EXPECT_EQ(MLCWrite(hSink, abJob, sizeof abJob, FALSE, 0), 10);
  Eventually([] {
    MLCPollChannels(FALSE);
    Pump();
    return !g_calls.empty();
  });
  EXPECT_EQ(g_calls, (std::vector<Call>{{0, MLC_WRITE_STREAM, 0x55, 0}}));

  // A link reset tells both clients MLC_DISCONNECT, the callback one with
  // its port, and then closes the callback window. It runs in a thread that
  // holds the port while this one, the callback window's, waits for it:
  // neither may wait for the other. (Whether this thread is in its wait
  // before or after the reset, it handles no sent message there: a
  // disconnect sent instead of posted keeps the port held past the wait.)
  StreamChannel* lpSink = Stream(hSink);
  HWND hCallBackWnd = HwndFromDword(lpSink->hCallBackWnd);
  UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hSink));
  AppEvents(hApp);
  g_calls.clear();
  std::atomic<bool> fHeld = false;
  std::thread resetter([&] {
    ObtainPPI(0);
    fHeld = true;
    StartAllOverAgain(0, FALSE);
    ReleasePPI(0);
  });
  while (!fHeld) Sleep(1);
  EXPECT_EQ(WaitForSingleObject(PPI_Mutex[0], 5000), WAIT_OBJECT_0);
  ReleaseMutex(PPI_Mutex[0]);
  MSG msg;  // (a disconnect sent instead of posted is handled here, late)
  PeekMessageA(&msg, (HWND)-1, 0, 0, PM_NOREMOVE);
  resetter.join();
  events = AppEvents(hApp);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair((WPARAM)0x1234, MAKELPARAM(MLC_DISCONNECT, 0)));
  Pump();
  EXPECT_EQ(g_calls, (std::vector<Call>{{0, MLC_DISCONNECT, 0x55, 0}}));
  EXPECT_FALSE(IsWindow(hCallBackWnd));

  // An event queued for a channel that was closed (the open's credit), and
  // whose slot another callback client reopened, calls nobody; the new
  // client gets its own events.
  g_calls.clear();
  WORD hFirst = Open(4, 8192, NULL, 1, Record);
  EXPECT_EQ(MLCCloseChannel(hFirst), MLC_SUCCESS);
  StandInHelper();
  WORD hSecond = Open(4, 8192, NULL, 2, Record);
  EXPECT_EQ(hSecond, hFirst);
  EXPECT_EQ(MLCRead(hSecond, NULL, 0, FALSE, 0), 0);
  Eventually([&] { return MLCPollChannels(FALSE), MLCRead(hSecond, NULL, 0, FALSE, 0) != 0; });
  Pump();
  EXPECT_EQ(g_calls, (std::vector<Call>{{0, MLC_WRITE_STREAM, 2, 0}, {0, MLC_READ_STREAM, 2, 0}}));
  EXPECT_EQ(MLCCloseChannel(hSecond), MLC_SUCCESS);
  DestroyWindow(hApp);
}

TEST_F(NotifyTest, BlockingCallsWaitWithoutHoldingThePort) {
  Start({"4:source:bytes=6000", "5:source:bytes=12000", "2:sink:drain=20000,credit=1"});
  WORD hSource = Open(4, 8192);
  std::vector<BYTE> buffer(30000, 0x33);
  // Completed by another process's poll, long before the time-out and the
  // waiter's own poll.
  Child poller;
  PollChild(&poller, "200 2000");
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(MLCRead(hSource, buffer.data(), 6000, TRUE, 20000), 6000);
  EXPECT_LT(GetTickCount() - dwStart, 7000u);
  for (int i = 0; i < 6000; ++i) ASSERT_EQ(buffer[i], (BYTE)i) << i;
  EXPECT_EQ(poller.Wait(), 0u);
  StandInHelper();

  // Two threads blocked on two channels of the port (one without a time
  // limit, for more than its ring holds) while a third thread polls.
  WORD hOther = Open(5, 8192);
  WORD hSink = Open(2, 0);
  std::atomic<int> iRead = 0, iWritten = 0;
  std::atomic<DWORD> dwTid = 0;
  auto waiter = [&](std::function<int()> call, std::atomic<int>* lpResult) {
    dwTid = 0;
    return std::thread([&dwTid, call, lpResult] {
      dwTid = GetCurrentThreadId();
      *lpResult = call();
    });
  };
  std::thread writer([&] { iWritten = MLCWrite(hSink, buffer.data(), 30000, TRUE, 20000); });
  std::thread reader =
      waiter([&] { return MLCRead(hOther, buffer.data(), 12000, TRUE, INFINITE); }, &iRead);
  EXPECT_TRUE(WaiterIn(hOther, &dwTid));
  for (dwStart = GetTickCount(); (!iRead || !iWritten) && GetTickCount() - dwStart < 15000;)
    MLCPollChannels(FALSE), Sleep(20);
  reader.join();
  writer.join();
  EXPECT_EQ(iRead, 12000);
  EXPECT_EQ(iWritten, 30000);

  // A second blocking call on a channel is refused; a close and a link
  // reset end the waits at once: well before the waiter's own poll (8 s),
  // with a margin a loaded machine keeps.
  std::thread closed =
      waiter([&] { return MLCRead(hSource, buffer.data(), 100, TRUE, INFINITE); }, &iRead);
  EXPECT_TRUE(WaiterIn(hSource, &dwTid));
  BYTE abByte[1];
  EXPECT_EQ(MLCRead(hSource, abByte, 1, TRUE, 100), MLC_CHANNEL_BUSY);
  dwStart = GetTickCount();
  EXPECT_EQ(MLCCloseChannel(hSource), MLC_SUCCESS);
  closed.join();
  EXPECT_EQ(iRead, MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_LT(GetTickCount() - dwStart, 6000u);
  std::thread reset =
      waiter([&] { return MLCRead(hOther, buffer.data(), 100, TRUE, 20000); }, &iRead);
  EXPECT_TRUE(WaiterIn(hOther, &dwTid));
  dwStart = GetTickCount();
  StartAllOverAgain(0, FALSE);
  reset.join();
  EXPECT_EQ(iRead, MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_LT(GetTickCount() - dwStart, 6000u);
}

TEST_F(NotifyTest, AWaitingWriteHandsReceivedDataToTheClient) {
  Start({"3:echo:credit=1"});
  HWND hApp = MakeWindow("NotifyTestWnd");
  WORD hEcho = Open(3, 16384, hApp, 9);
  AppEvents(hApp);
  std::vector<BYTE> job(6000), back(6000);
  for (size_t i = 0; i < job.size(); ++i) job[i] = (BYTE)(i * 7);
  EXPECT_EQ(MLCRead(hEcho, NULL, 0, FALSE, 0), 0);
  std::atomic<bool> fDone = false;
  std::thread poller([&] {
    while (!fDone) MLCPollChannels(FALSE), Sleep(10);
  });
  // The echo of the first packets arrives while the write still waits: it
  // goes to the client's window, and the bytes sent stay the caller's.
  EXPECT_EQ(MLCWrite(hEcho, job.data(), (int)job.size(), TRUE, 10000), 6000);
  EXPECT_EQ(MLCRead(hEcho, back.data(), 6000, TRUE, 10000), 6000);
  fDone = true;
  poller.join();
  EXPECT_EQ(back, job);
  auto events = AppEvents(hApp);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].first, 9u);
  EXPECT_EQ(LOWORD(events[0].second), MLC_READ_STREAM);
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
  DestroyWindow(hApp);
}

}  // namespace
