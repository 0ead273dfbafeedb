// What a channel handle addresses: records used only as their own kind and
// within their blocks, calls from a process without a port handle, windows
// and escapes handed to the library by a hostile caller, and handles kept
// across a link reset (with another process's open in the same slot).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/channel.h"
#include "data/stream.h"
#include "emu_client_support.h"
#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "notify/notify.h"
#include "shared/locks.h"

namespace {

void CALLBACK Ignore(DWORD, DWORD, DWORD, DWORD) {}

class IdentTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() {
    UseSettings(
        "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2000\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=2000\r\n"
        "CreditTimeout=1500\r\nMIN_POLL_INTERVAL=20\r\nMAX_POLL_INTERVAL=9000\r\n");
  }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    EmuClientTest::TearDown();
  }
  // A stream channel on the echo socket, which answers what the channel sends.
  WORD StartAndOpen(MLC_CALLBACK lpfn = NULL) {
    Start(PrinterConfig());
    DWORD dwBuffer = 4096;
    WORD hChannel = 0;
    EXPECT_EQ(
        MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, NULL, 0, 0, lpfn, NULL),
        MLC_SUCCESS);
    return hChannel;
  }
  // The link still carries the channel's data, and the channel closes.
  static void ExpectEchoAndClose(WORD hChannel) {
    const char szText[] = "echo";
    char szBack[sizeof szText] = {};
    EXPECT_EQ(MLCWrite(hChannel, szText, sizeof szText, TRUE, 5000), (int)sizeof szText);
    EXPECT_EQ(MLCRead(hChannel, szBack, sizeof szBack, TRUE, 5000), (int)sizeof szText);
    EXPECT_STREQ(szBack, szText);
    EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
  }
};

TEST_F(IdentTest, RecordsAreUsedOnlyAsTheirKindAndWithinTheirBlocks) {
  // A message channel in the slot a stream handle names, as a reset and a
  // reopen between a caller's look at the type and its use would leave it.
  MakeMessageChannel(2, 3, 8);
  std::vector<BYTE> before(sizeof(MessageChannel));
  CopyMemory(before.data(), LockChannelIdx(0, 0), before.size());
  UnlockChannelIdx(0, 0);
  BYTE abData[16] = {};
  EXPECT_EQ(CopyStreamData(0x80, abData, sizeof abData, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(WriteStreamData(0x80, abData, sizeof abData, FALSE, 0), MLC_INVALID_HANDLE);
  EXPECT_EQ(memcmp(before.data(), LockChannelIdx(0, 0), before.size()), 0);
  UnlockChannelIdx(0, 0);
  // Past the one-slot table and the one-entry socket array: nothing.
  EXPECT_EQ(LockChannelIdx(0, 1), nullptr);
  EXPECT_EQ(GetTypeIdx(0, 0xFF), 0);
  EXPECT_EQ(LockSocketIdx(0, 1), nullptr);
}

TEST_F(IdentTest, AProcessWithoutAPortHandleSendsNothingAndResetsNoLink) {
  WORD hChannel = StartAndOpen();
  DWORD hPort = GetHportVal(0);
  while (GetHportVal(0)) MLCReleasePortHandle(hPort);
  BYTE abInfo[8] = {}, abData[4] = {};
  DWORD dwBuffer = 4096;
  WORD hNew = 0;
  for (int iResult :
       {MLCGetSocketInfo(0, 3, abInfo, sizeof abInfo),
        MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwBuffer, &hNew, NULL, 0, 0, NULL, NULL),
        MLCWrite(hChannel, abData, sizeof abData, FALSE, 0),
        MLCRead(hChannel, abData, sizeof abData, FALSE, 0), MLCPingMlc(hChannel),
        MLCCloseChannel(hChannel)})
    EXPECT_EQ(iResult, MLC_PHYSICAL_LINK_FAILURE);
  ASSERT_NE(MLCGetPortHandle(0), 0u);
  EXPECT_TRUE(pPerPortInfo[0].fMlcInitDone);
  ExpectEchoAndClose(hChannel);
}

TEST_F(IdentTest, HostileWindowsAndEscapesLeaveTheLinkAlone) {
  WORD hChannel = StartAndOpen(Ignore);
  // The library's own callback window, and a window with other user data,
  // are no wait windows.
  StreamChannel* lpStream = (StreamChannel*)LockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
  HWND hCallBackWnd = HwndFromDword(lpStream->hCallBackWnd);
  UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
  HWND hOther = MakeWindow("IdentTestOther");
  SetWindowLongPtrA(hOther, GWLP_USERDATA, 0x1235);  // no wait state: an odd address
  for (WORD wCode = MLC_READ_STREAM; wCode <= MLC_DISCONNECT; ++wCode) {
    P1284WndProc(hCallBackWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(wCode, 4));
    P1284WndProc(hOther, MLC_NOTIFY_MSG, 0, MAKELPARAM(wCode, 4));
  }
  DestroyWindow(hOther);
  // The wire stays on the MLC channel address while the link is up.
  BYTE bAddress = 0x4E;
  EXPECT_EQ(MLCEscapeCommFunction(hChannel, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, 1, NULL, 0, 0),
            0);
  ExpectEchoAndClose(hChannel);
  // With the link down the escape is the port's business again.
  EXPECT_NE(MLCEscapeCommFunction(hChannel, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, 1, NULL, 0, 0),
            0);
}

TEST_F(IdentTest, AHandleKeptAcrossAResetAddressesNoLaterOpen) {
  WORD hChannel = StartAndOpen();
  StartAllOverAgain(0, FALSE);
  // Another client's open takes the same slot.
  NamedEvent opened("opened"), done("done");
  Child child;
  ASSERT_TRUE(child.Start("reopen 3 " + opened.name + " " + done.name));
  ASSERT_TRUE(opened.WaitSet());
  ASSERT_TRUE(CheckPortAndHsid(0, MLC_CHANNEL_HSID(hChannel)));
  BYTE abData[4] = {1, 2, 3, 4};
  EXPECT_EQ(MLCWrite(hChannel, abData, sizeof abData, FALSE, 0), MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_EQ(MLCRead(hChannel, abData, sizeof abData, FALSE, 0), MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_EQ(MLCPingMlc(hChannel), MLC_PHYSICAL_LINK_FAILURE);
  EXPECT_EQ(MLCCloseChannel(hChannel), MLC_PHYSICAL_LINK_FAILURE);
  SetEvent(done.handle);
  EXPECT_EQ(child.Wait(), 0u);
}

// A blocking read's window whose channel went with a reset, and whose slot
// this process opened again, takes nothing from the new channel's ring.
TEST_F(IdentTest, AWaitServesOnlyTheOpenItBeganOn) {
  WORD hChannel = StartAndOpen();
  BYTE abWanted[5] = {};
  WaitState state = {WAIT_STREAM_READ, hChannel, abWanted, 0, 0};
  ObtainPPI(0);
  HWND hWnd = CreateWaitWindow(&state, sizeof abWanted);
  ReleasePPI(0);
  ASSERT_NE(hWnd, nullptr);
  StartAllOverAgain(0, FALSE);
  DWORD dwBuffer = 4096;
  WORD hAgain = 0;
  ASSERT_EQ(MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwBuffer, &hAgain, NULL, 0, 0, NULL, NULL),
            MLC_SUCCESS);
  ASSERT_EQ(hAgain, hChannel);
  EXPECT_EQ(MLCWrite(hAgain, "later", 5, TRUE, 5000), 5);
  EXPECT_TRUE(
      Eventually([&] { return MLCPollChannels(FALSE), MLCRead(hAgain, NULL, 0, 0, 0) == 5; }));
  // The event queued for the old wait arrives now.
  P1284WndProc(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(MLC_READ_STREAM, 5));
  EXPECT_EQ(GetWindowWord(hWnd, WAIT_WND_ERROR), 1);
  EXPECT_EQ(MLCRead(hAgain, NULL, 0, FALSE, 0), 5);
  DestroyWaitWindow(hWnd);
  EXPECT_EQ(MLCCloseChannel(hAgain), MLC_SUCCESS);
}

}  // namespace
