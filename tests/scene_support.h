// The frame of the scene suites against the emulator on LPT1: short
// time-outs, and after every test the credit books hold, no channel is left
// on the machine and the link was left.
#pragma once

#include <string>

#include "channel/channel.h"
#include "channel/creditcheck.h"
#include "emu_client_support.h"
#include "shared/locks.h"

constexpr UINT kAppMsg = WM_APP + 7;

class SceneTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "MLC_INTER_PACKET_TIME_OUT=200\r\nCreditTimeout=1500\r\nMIN_POLL_INTERVAL=111\r\n"
        "MAX_POLL_INTERVAL=999\r\n");
  }
  void SetUp() override {
    EmuClientTest::SetUp();
    if (!hApp_) hApp_ = MakeWindow("SceneApp");
    TakeMessages(hApp_);
    TakeMessages(hHelper_);
  }
  void TearDown() override {
    EXPECT_EQ(Books(), "");
    EXPECT_FALSE(pPerPortInfo[0].fMlcInitDone);
    EXPECT_EQ(ObtainMGD()->wTotalChannelsOpened, 0);
    ReleaseMGD();
    TakeMessages(hHelper_);  // its queue must not fill
    EmuClientTest::TearDown();
  }
  // Opens a channel notifying hWnd with kAppMsg: the handle, or 0.
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL, HWND hWnd = NULL,
                   DWORD dwData = 0, MLC_CALLBACK lpfn = NULL) {
    WORD hChannel = 0;
    int iResult =
        MLCOpenChannel(0, dwPsid, bType, &dwBuffer, &hChannel, hWnd, kAppMsg, dwData, lpfn, NULL);
    EXPECT_EQ(iResult, MLC_SUCCESS) << "socket " << dwPsid;
    return iResult == MLC_SUCCESS ? hChannel : 0;
  }
  // A copy of a stream channel's record.
  static StreamChannel Stream(WORD hChannel) {
    StreamChannel copy{};
    ObtainPPI(0);
    if (auto* lpStream = (const StreamChannel*)LockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel)))
      copy = *lpStream, UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
    return ReleasePPI(0), copy;
  }
  static std::string Books() {
    char szWhy[160];
    return CreditBooksHold(0, szWhy, sizeof szWhy) ? "" : szWhy;
  }
  void AddFault(const char* lpszFault) { EXPECT_TRUE(printer->runner->AddFault(lpszFault, 0)); }
  static inline HWND hApp_ = NULL;
};
