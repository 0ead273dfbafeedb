// Shared by the client tests against the emulator: a printer with chosen
// services, the port area's block check, and the frame of the suites in which
// this process stands in for the helper.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "krzmlc15.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "shared/records.h"
#include "testutil.h"

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

// No channel is left, and the port's area holds only the blocks its record
// keeps between links (device ID, socket and channel tables), or nothing.
inline void ExpectOnlyTheRecordsBlocks() {
  const PerPortInfo& port = pPerPortInfo[0];
  EXPECT_EQ(port.bChannelsUsed, 0);
  DWORD dwHeld = (port.hDeviceID != 0) + (port.hSocketInfoArray != 0) + (port.hChanPtrArray != 0);
  DWORD dwBlocks = PortAreaBlocks();
  EXPECT_TRUE(dwBlocks == 0 || dwBlocks == dwHeld) << dwBlocks << " blocks, " << dwHeld << " held";
}

// A client suite's frame: the suite's KRZTBX15.INI, this process standing in
// for the helper, and after each test no
// violation, no MLC_ERROR from the host and no block beyond the record's.
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
  void TearDown() override {
    if (printer) {
      EXPECT_EQ(printer->Violations(), std::vector<std::string>{});
      EXPECT_EQ(printer->HostErrors(), std::vector<BYTE>{});
    }
    ExpectOnlyTheRecordsBlocks();
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
