// The frame of the scene suites (channels, data, events, credit) against
// the emulator on LPT1: channels opened through the public call, copies of
// their records, and after every test the credit books, no channel left on
// the machine and the link left.
#pragma once

#include <string>

#include "channel/channel.h"
#include "channel/creditcheck.h"
#include "emu_client_support.h"
#include "shared/locks.h"

constexpr UINT kAppMsg = WM_APP + 7;

class SceneTest : public EmuClientTest {
 protected:
  void SetUp() override {
    EmuClientTest::SetUp();
    if (!hApp_) hApp_ = MakeWindow("SceneApp");
    TakeMessages(hApp_);
    TakeMessages(hHelper_);
  }
  void TearDown() override {
    EXPECT_EQ(Books(), "");
    EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);  // every channel closed or reset
    EXPECT_EQ(ObtainMGD()->wTotalChannelsOpened, 0);
    ReleaseMGD();
    TakeMessages(hHelper_);  // timer and read requests: its queue must not fill
    EmuClientTest::TearDown();
  }
  // Opens a channel on LPT1 notifying hWnd with kAppMsg: the handle, or 0.
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL, HWND hWnd = NULL,
                   DWORD dwData = 0, MLC_CALLBACK lpfn = NULL) {
    WORD hChannel = 0;
    int iResult =
        MLCOpenChannel(0, dwPsid, bType, &dwBuffer, &hChannel, hWnd, kAppMsg, dwData, lpfn, NULL);
    EXPECT_EQ(iResult, MLC_SUCCESS) << "socket " << dwPsid;
    return iResult == MLC_SUCCESS ? hChannel : 0;
  }
  // A copy of a stream channel's record, taken under the port's mutex.
  static StreamChannel Stream(WORD hChannel) {
    StreamChannel copy{};
    BYTE bIndex = MLC_CHANNEL_SLOT(hChannel);
    ObtainPPI(0);
    if (auto* lpStream = (const StreamChannel*)LockChannelIdx(0, bIndex)) {
      copy = *lpStream;
      UnlockChannelIdx(0, bIndex);
    }
    ReleasePPI(0);
    return copy;
  }
  // Empty while every ring's and message channel's credit adds up.
  static std::string Books() {
    char szWhy[160];
    return CreditBooksHold(0, szWhy, sizeof szWhy) ? "" : szWhy;
  }
  void AddFault(const char* lpszFault) {
    ASSERT_TRUE(printer->runner->AddFault(lpszFault, nullptr));
  }
  static inline HWND hApp_ = NULL;
};
