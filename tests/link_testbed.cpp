#include "link_testbed.h"

#include "krzmlc15.h"
#include "live_blocks.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "testutil.h"

const char kMlcDeviceId[] = "MFG:Far Side;MDL:Script;CMD:PCL,MLC;CLS:PRINTER;";

void WriteLinkIni(const std::string& extraKrztbx) {
  WriteTextFile(
      WindowsDirFile("KRZTBX15.INI"),
      "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=" + std::to_string(kReplyTimeoutMs) +
          "\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=" + std::to_string(kReplyTimeoutMs) +
          "\r\nMLC_INTER_PACKET_TIME_OUT=" + std::to_string(kInterPacketMs) + "\r\n" + extraKrztbx);
  WriteTextFile(WindowsDirFile("KRZCOM15.INI"),
                "[LPT3]\r\nWriteTimeout=" + std::to_string(kStalledWriteMs) +
                    "\r\nToPeripheralBuffer=256\r\n");
  LoadIniValues();
}

peri::Bytes ErrorPacket(BYTE bCode) { return peri::Command({0x7F, bCode}); }

PerPortInfo PortRecord(BYTE bPort) {
  PerPortInfo record = *ObtainPPI(bPort);
  ReleasePPI(bPort);
  return record;
}

void SetLastCommand(BYTE bPort, BYTE bCommand) {
  ObtainPPI(bPort)->bLastMlcCommand = bCommand;
  ReleasePPI(bPort);
}

LONG LinkBlocks(BYTE bPort) {
  return (LONG)LiveBlocks(bPort) - (PortRecord(bPort).hDeviceID != 0 ? 1 : 0);
}

void ExpectLinkDown(BYTE bPort) {
  PerPortInfo record = PortRecord(bPort);
  EXPECT_EQ(record.fMlcInitDone, 0);
  EXPECT_EQ(record.bLastMlcCommand, NO_COMMAND);
  EXPECT_EQ(record.hChanPtrArray, 0u);
  EXPECT_EQ(record.hSocketInfoArray, 0u);
  EXPECT_EQ(record.bChannelsAllocated, 0);
}

namespace {
LRESULT CALLBACK HelperStandIn(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) {
    MLCSetPMLInitDeInitEvent();  // what the helper gives back as it ends
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}
}  // namespace

FakeHelper::FakeHelper() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = HelperStandIn;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "LinkTestHelperStandIn";
  RegisterClassA(&wc);  // already registered by an earlier test: fine
  hWnd_ = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  fOk_ = hWnd_ && MLCSetup(hWnd_) == 1;
}

FakeHelper::~FakeHelper() {
  MLCCleanup();
  if (hWnd_) DestroyWindow(hWnd_);
}

void LinkTest::SetUp() {
  helper_ = new FakeHelper;
  ASSERT_TRUE(helper_->ok());
  ASSERT_TRUE(peri_.Attach(lpszPort_));
  ASSERT_TRUE(peri_.SetDeviceId(kMlcDeviceId));
  lBlocksBefore_ = LinkBlocks(bPort_);
}

void LinkTest::TearDown() {
  peri_.Join();
  EXPECT_LE(LinkBlocks(bPort_), lBlocksBefore_) << "blocks left in the port's area";
  EXPECT_EQ(peri_.failures(), "");
  StartAllOverAgain(bPort_, FALSE);
  peri_.Detach();
  delete helper_;
}

void LinkTest::BringUp() {
  peri_.Start("init");
  ASSERT_EQ(MLCInit(bPort_), 1);
  ASSERT_TRUE(peri_.Join()) << peri_.failures();
  ASSERT_EQ(PortRecord(bPort_).fMlcInitDone, 1);
}

int LinkTest::Poll(BYTE bChannelContext) {
  BYTE bHsid = 0, bPsid = 0, bCommand = 0;
  WORD wLength = 0;
  return PollForData(bPort_, &bHsid, &bPsid, &bCommand, &wLength, bChannelContext);
}
