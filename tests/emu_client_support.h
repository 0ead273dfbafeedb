// Shared by the client tests against the emulator: a printer with chosen
// services, the port area's block check, the frame of the suites in which
// this process stands in for the helper, and the scene suites' frame on it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "channel/creditcheck.h"
#include "krzmlc15.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/records.h"
#include "testutil.h"

constexpr UINT kAppMsg = WM_APP + 7;  // what client windows are told with

// The emulator's default printer with the given services ("PSID:KIND:...")
// in place of those on the same sockets.
inline emu::EmuConfig ConfigWith(std::initializer_list<const char*> services) {
  emu::EmuConfig cfg = PrinterConfig();
  for (const char* lpszService : services) {
    emu::ServiceSetup service;
    std::string error;
    if (!emu::ParseService(lpszService, &service, &error)) ADD_FAILURE() << error;
    std::erase_if(cfg.services, [&](const emu::ServiceSetup& s) { return s.psid == service.psid; });
    cfg.services.push_back(service);
  }
  return cfg;
}

// A client suite's frame: the suite's KRZTBX15.INI, this process standing in
// for the helper, and after each test no violation, no MLC_ERROR from the
// host and no block beyond the record's.
class EmuClientTest : public ::testing::Test {
 public:
  static void UseSettings(const std::string& lines) {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"), "[KRZMLC15]\r\n" + lines);
    LoadIniValues();
  }

 protected:
  // Sets this process up as the helper again (the last close stopped it).
  static void StandInHelper() {
    if (!hHelper_) hHelper_ = MakeWindow("EmuClientHelper", HelperProc);
    MLCSetPMLInitDeInitEvent();
    MLCSetup(hHelper_);
  }
  void SetUp() override { StandInHelper(); }
  // Opens a channel notifying hWnd with kAppMsg, with the stand-in set up
  // again (the last close forgets it): the handle, or 0.
  static WORD Open(DWORD dwPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL, HWND hWnd = NULL,
                   DWORD dwData = 0, MLC_CALLBACK lpfn = NULL) {
    StandInHelper();
    WORD hChannel = 0;
    int iResult =
        MLCOpenChannel(0, dwPsid, bType, &dwBuffer, &hChannel, hWnd, kAppMsg, dwData, lpfn, NULL);
    EXPECT_EQ(iResult, MLC_SUCCESS) << "socket " << dwPsid;
    return iResult == MLC_SUCCESS ? hChannel : 0;
  }
  void TearDown() override {
    if (printer) {
      EXPECT_EQ(printer->Violations(), std::vector<std::string>{});
      EXPECT_EQ(printer->HostErrors(), std::vector<BYTE>{});
    }
    // No channel is left, and the port's area holds only the blocks its record
    // keeps between links (device ID, socket and channel tables), or nothing.
    const PerPortInfo& port = pPerPortInfo[0];
    EXPECT_EQ(port.bChannelsUsed, 0);
    DWORD dwHeld = (port.hDeviceID != 0) + (port.hSocketInfoArray != 0) + (port.hChanPtrArray != 0);
    DWORD dwBlocks = PortAreaBlocks();
    EXPECT_TRUE(dwBlocks == 0 || dwBlocks == dwHeld)
        << dwBlocks << " blocks, " << dwHeld << " held";
    printer.reset();
  }
  void Start(const emu::EmuConfig& cfg) {
    printer = std::make_unique<Printer>(cfg);
    ASSERT_TRUE(printer->runner);
  }
  // Asked to close, the stand-in stays but gives back the PML event as the
  // helper does when it ends.
  static LRESULT CALLBACK HelperProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg != WM_CLOSE) return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    return MLCSetPMLInitDeInitEvent(), 0;
  }
  static inline HWND hHelper_ = NULL;
  std::unique_ptr<Printer> printer;
};

// The scene suites on LPT1: short time-outs, and after every test the credit
// books hold, no channel is left on the machine and the link was left.
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
