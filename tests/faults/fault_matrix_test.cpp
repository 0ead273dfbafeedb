// The fault matrix: every fault the emulator can commit, against the
// operation it hits, with the outcome the library owes its callers. Each row
// is one test (and one row of the table in tests/README.md); each asserts the
// call's result, the port's last link error, whether the link was reset
// (the witness channel told MLC_DISCONNECT) or left alone, that the next open
// brings the link up and carries data, that the emulator saw no host
// violation, and that the port area holds no more blocks than before.
#include "fault_matrix.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli_options.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

const UINT kAppMsg = WM_USER + 9;

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) return 0;  // the stand-in helper never closes
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND MakeWindow(const char* lpszClass) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = QuietProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = lpszClass;
  RegisterClassA(&wc);
  return CreateWindowExA(0, lpszClass, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
}

// MLC_DISCONNECT notices waiting for hWnd, by dwAppData.
int TakeDisconnects(HWND hWnd, WPARAM wAppData) {
  int n = 0;
  MSG msg;
  while (PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE))
    if (msg.message == kAppMsg && LOWORD(msg.lParam) == 0x103 && msg.wParam == wAppData) ++n;
  return n;
}

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {
 protected:
  static HWND hHelper, hApp;
  static DWORD dwBaseBlocks;

  static void SetUpTestSuite() {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                  "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=300\r\n"
                  "MLC_PACKET_TIMEOUT_WHILE_BUSY=300\r\nMLC_INTER_PACKET_TIME_OUT=200\r\n"
                  "CreditTimeout=300\r\n");
    LoadIniValues();
    hHelper = MakeWindow("FaultMatrixHelper");
    hApp = MakeWindow("FaultMatrixApp");
    Printer printer(PrinterConfig());  // the device-ID block outlives the link
    MLCSetup(hHelper);
    MLCInit(0);
    StartAllOverAgain(0, FALSE);
    dwBaseBlocks = PortAreaBlocks();
  }

  static int Open(BYTE bPsid, DWORD dwBuffer, WORD* phChannel, WORD wAppData) {
    DWORD dwSize = dwBuffer;
    return MLCOpenChannel(0, bPsid, MLC_STREAM_CHANNEL, dwBuffer ? &dwSize : NULL, phChannel, hApp,
                          kAppMsg, wAppData, NULL, NULL);
  }
  static bool LinkUp() {
    PerPortInfo* lpPPI = ObtainPPI(0);
    bool bUp = lpPPI->fMlcInitDone != 0;
    ReleasePPI(0);
    return bUp;
  }
  // A full echo round trip on a new channel: the link works again.
  static bool EchoWorks() {
    WORD hChannel = 0;
    if (Open(3, 4096, &hChannel, 0x77) != MLC_SUCCESS) return false;
    BYTE abOut[300], abIn[300];
    for (int i = 0; i < 300; ++i) abOut[i] = (BYTE)(i * 7);
    bool bOk = MLCWrite(hChannel, abOut, 300, FALSE, 0) == 300;
    int cbIn = 0;
    for (DWORD dwEnd = GetTickCount() + 3000;
         bOk && cbIn < 300 && (LONG)(dwEnd - GetTickCount()) > 0;) {
      MLCPollChannels2(FALSE, 0);
      int n = MLCRead(hChannel, abIn + cbIn, 300 - cbIn, FALSE, 0);
      if (n < 0)
        bOk = false;
      else if (n == 0)
        Sleep(2);
      else
        cbIn += n;
    }
    bOk = bOk && cbIn == 300 && memcmp(abOut, abIn, 300) == 0;
    return MLCCloseChannel(hChannel) == MLC_SUCCESS && bOk;
  }

  void SetUp() override { MLCSetup(hHelper); }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    TakeDisconnects(hApp, 0);
    MSG msg;
    while (PeekMessageA(&msg, hHelper, 0, 0, PM_REMOVE)) {
    }
    // No more than before: the device-ID block may go too, when a process
    // without channels detaches meanwhile and frees the idle port's state.
    EXPECT_LE(PortAreaBlocks(), dwBaseBlocks);
  }
};
HWND FaultMatrix::hHelper = NULL;
HWND FaultMatrix::hApp = NULL;
DWORD FaultMatrix::dwBaseBlocks = 0;

// Waits until the printer's thread has run twice more and found the wire
// empty: it has taken in all that the host wrote and acted on every fault
// due by now. A printer that left the wire has nothing more to take in.
void WaitQuiet(Printer& printer) {
  uint64_t n = printer.runner->quiet_rounds() + 2;
  for (DWORD dwEnd = GetTickCount() + 10000;
       printer.runner->attached() && printer.runner->quiet_rounds() < n;) {
    ASSERT_GT((LONG)(dwEnd - GetTickCount()), 0) << "the printer's thread is stuck";
    Sleep(1);
  }
}

// The command whose reply a "late=CMD:MS" fault holds back, as the trace
// names it.
std::string LateCommand(const char* lpszFault) {
  std::string cmd(lpszFault + 5, strcspn(lpszFault + 5, ":"));
  if (cmd == "init") return "MLC_INIT";
  if (cmd == "open") return "MLC_OPEN_CHANNEL";
  if (cmd == "close") return "MLC_CLOSE_CHANNEL";
  ADD_FAILURE() << "no late rows for " << cmd;
  return cmd;
}

emu::EmuConfig RowPrinter(const FaultRow& row) {
  emu::EmuConfig cfg = PrinterConfig();
  if (row.bAtStart) {
    EXPECT_TRUE(
        emu::ApplyDeviceFault(row.lpszFault, &cfg.device_id, &cfg.id_length, &cfg.capabilities));
  }
  return cfg;
}

TEST_P(FaultMatrix, Row) {
  const FaultRow& row = GetParam();
  OpContext ctx{hApp, kAppMsg};
  {
    Printer printer(RowPrinter(row));
    ASSERT_TRUE(printer.runner);
    if (row.op != Op::kBringUp) {
      ASSERT_EQ(Open(3, 4096, &ctx.hWitness, 0x55), MLC_SUCCESS);  // the link is up
      ASSERT_TRUE(PrepareOperation(row.op, &ctx));
    }
    std::string faults = row.bAtStart ? "" : row.lpszFault, error;
    for (size_t at = 0; at < faults.size();) {
      size_t end = faults.find(';', at);
      if (end == std::string::npos) end = faults.size();
      ASSERT_TRUE(printer.runner->AddFault(faults.substr(at, end - at), &error)) << error;
      at = end + 1;
    }
    ObtainPPI(0)->lLastLinkError = 0;
    ReleasePPI(0);

    WaitQuiet(printer);  // faults due at once are in force
    OpOutcome got = RunOperation(row.op, &ctx);
    WaitQuiet(printer);  // the printer took in what the host wrote last
    if (strncmp(row.lpszFault, "late=", 5) == 0) {
      // A late reply comes after the host has moved on: wait until the
      // printer has answered every such command the host sent, then let the
      // host read, so that the row does not depend on who polls when.
      std::string command = LateCommand(row.lpszFault);
      for (DWORD dwEnd = GetTickCount() + 10000;
           printer.Count("H>P " + command + " ") > printer.Count("P>H " + command + "_REPLY");) {
        ASSERT_GT((LONG)(dwEnd - GetTickCount()), 0) << "the late reply never came";
        Sleep(5);
      }
      WaitQuiet(printer);  // and it is on the wire
      BYTE bHsid = 0, bPsid = 0, bCommand = 0;
      WORD wLength = 0;
      PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, 0);
    }
    bool bReset = row.op == Op::kBringUp ? !LinkUp() : TakeDisconnects(hApp, 0x55) > 0;
    LONG lLinkError = MLCGetLastLinkError(0, 0);
    std::vector<BYTE> sent = printer.HostErrors();
    if (getenv("FAULT_MATRIX_SHOW")) {  // what happened, for writing a row
      std::string codes;
      for (BYTE b : sent) codes += std::to_string(b) + " ";
      printf("ROW %-32s result=%d reset=%d linkerror=%ld errors=[%s]\n", row.lpszId, got.iResult,
             bReset ? 1 : 0, (long)lLinkError, codes.c_str());
      if (getenv("FAULT_MATRIX_SHOW")[0] == '2')
        for (const std::string& line : printer.trace.Lines()) printf("  %s\n", line.c_str());
    }
    EXPECT_TRUE(row.bAtStart || !row.lpszFault[0] || printer.Count("** fault") >= 1)
        << "the printer committed the fault";
    EXPECT_TRUE(row.result.Matches(got.iResult))
        << "result " << got.iResult << ", owed " << row.result.Text();
    EXPECT_EQ(bReset, row.bReset) << "link reset";
    EXPECT_EQ(lLinkError, row.lLinkError) << "last link error";
    if (row.staleErrors.empty() || sent != row.staleErrors) {
      EXPECT_EQ(sent, row.hostErrors) << "MLC_ERROR codes the host sent";
    }
    std::vector<std::string> violations = printer.Violations();
    EXPECT_TRUE(violations.empty()) << violations[0];
    if (!bReset) FinishOperation(row.op, &ctx);
    if (!bReset && ctx.hWitness) MLCCloseChannel(ctx.hWitness);
  }
  // Whatever the fault left behind, the next open brings the link up again.
  StartAllOverAgain(0, FALSE);
  Printer fresh(PrinterConfig());
  EXPECT_TRUE(EchoWorks()) << "the next open brings the link up";
}

INSTANTIATE_TEST_SUITE_P(Emulator, FaultMatrix, ::testing::ValuesIn(FaultRows()),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                           return std::string(info.param.lpszId);
                         });

// The table in tests/README.md lists exactly these rows.
TEST(FaultMatrixTable, ReadmeListsEveryRow) {
  std::string readme = ReadTextFile(FAULT_MATRIX_README);
  ASSERT_FALSE(readme.empty());
  for (const FaultRow& row : FaultRows())
    EXPECT_NE(readme.find(std::string("| `") + row.lpszId + "` |"), std::string::npos)
        << row.lpszId;
}

}  // namespace
