// The helper process for real (started by the library) with the emulator on LPT1.
#include "../krzhid15/helper.h"

#include "emu_client_support.h"
#include "link/link.h"
#include "port/porthandle.h"
#include "shared/sharedmem.h"

namespace {

// The library starts the real helper: nothing stands in for it.
class HelperTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    // Timer periods far above every wait: what arrives came by the wake on input.
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "MLC_INTER_PACKET_TIME_OUT=200\r\nMIN_POLL_INTERVAL=30000\r\nMAX_POLL_INTERVAL=30000\r\n"
        "HELPER_SETUP_TIMEOUT=60000\r\n");
  }
  void SetUp() override {
    hClient = MakeWindow("HelperTestClient");
    ASSERT_NE(MLCGetPortHandle(0), 0u);
  }
  void TearDown() override {
    EmuClientTest::TearDown();
    MLCReleasePortHandle(GetPortHandle(0));
    DestroyWindow(hClient);
  }
  WORD Open(DWORD dwPsid, DWORD dwBuffer, const emu::EmuConfig& cfg) {
    Start(cfg);
    WORD hChannel = 0;
    int iResult = MLCOpenChannel(0, dwPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, hClient,
                                 kAppMsg, 0x1234, NULL, NULL);
    EXPECT_EQ(iResult, MLC_SUCCESS) << "socket " << dwPsid;
    return iResult == MLC_SUCCESS ? hChannel : 0;
  }
  // The first MLC_READ_STREAM at the client window within dwMs: its lParam.
  LPARAM ReadStream(DWORD dwMs) {
    LPARAM lParam = 0;
    Eventually(
        [&] {
          for (const MSG& m : TakeMessages(hClient, kAppMsg, kAppMsg))
            if (!lParam && LOWORD(m.lParam) == MLC_READ_STREAM) lParam = m.lParam;
          return lParam != 0;
        },
        dwMs);
    return lParam;
  }
  HWND hClient = NULL;
};

TEST_F(HelperTest, ARealHelperServesAQuietClientAtOnceIdlesAndEndsWithTheLastClose) {
  WORD hEcho = Open(3, 4096, PrinterConfig());
  ASSERT_NE(hEcho, 0);
  HWND hHidden = HiddenWindow();
  EXPECT_EQ(AttachedProcesses(), 2u);
  for (int iRound = 0; iRound < 3; ++iRound) {
    EXPECT_EQ(MLCRead(hEcho, NULL, 0, FALSE, 0), 0);  // arms the notification
    std::string text = "round " + std::to_string(iRound) + " of the quiet client";
    ASSERT_EQ(MLCWrite(hEcho, text.data(), (int)text.size(), FALSE, 0), (int)text.size());
    // The client does not poll, and the helper's timer is 30 s away.
    EXPECT_EQ(HIWORD(ReadStream(3000)), text.size()) << "round " << iRound;
    std::string echoed(text.size(), '\0');
    EXPECT_EQ(MLCRead(hEcho, echoed.data(), (int)echoed.size(), FALSE, 0), (int)text.size());
    EXPECT_EQ(echoed, text);
  }
  EXPECT_GT(SendMessageA(hHidden, HELPER_QUERY_INPUT_POLLS, 0, 0), 0);

  // Quiet, the helper polls nothing: once the last echo's polls are over, none
  // come in 600 ms (a spinning waiter would never settle).
  auto polls = [&] {
    return SendMessageA(hHidden, HELPER_QUERY_POLLS, 0, 0) +
           SendMessageA(hHidden, HELPER_QUERY_INPUT_POLLS, 0, 0);
  };
  LRESULT lPolls = polls();
  ASSERT_TRUE(Eventually([&] {
    LRESULT lBefore = lPolls;
    Sleep(100);
    return (lPolls = polls()) == lBefore;
  }));
  Sleep(600);  // the span in which nothing may happen
  EXPECT_EQ(polls(), lPolls);
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_SUCCESS);
  EXPECT_TRUE(Eventually([] { return AttachedProcesses() == 1; }));  // the helper ended
}

TEST_F(HelperTest, TheHelperEndsAfterALinkResetThatLeavesNoChannel) {
  // The printer's error after a data byte: only the helper reads it, and the
  // reset closes the only channel.
  WORD hEcho = Open(3, 4096, PrinterConfig("error=5@bytes=1"));
  ASSERT_NE(hEcho, 0);
  EXPECT_EQ(AttachedProcesses(), 2u);
  ASSERT_EQ(MLCWrite(hEcho, "x", 1, FALSE, 0), 1);
  EXPECT_TRUE(Eventually([] { return AttachedProcesses() == 1; }, 5000));
  EXPECT_FALSE(CheckPortAndHsid(0, MLC_CHANNEL_HSID(hEcho)));
  EXPECT_EQ(MLCCloseChannel(hEcho), MLC_INVALID_HANDLE);
}

}  // namespace
