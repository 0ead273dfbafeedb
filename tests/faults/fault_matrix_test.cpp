// The fault matrix: every fault the emulator can commit, against the
// operation it hits, with the outcome the library owes its callers. Each row
// is one test (and one row of the table in tests/README.md); each asserts the
// call's result, the port's last link error, whether the link was reset
// (the witness channel told MLC_DISCONNECT) or left alone, that the next open
// brings the link up and carries data, that the emulator saw no host
// violation, and that the port area holds no more blocks than before.
#include "fault_matrix.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "cli_options.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "testutil.h"

namespace {

const UINT kAppMsg = WM_USER + 9;

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) return 0;  // the stand-in helper never closes
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// The client window told of the test's channels; the witness channel (open
// for every row but bring-up) and the channel the operation works on.
HWND hApp;
WORD hWitness, hChannel;
const BYTE kStatusPsid = 1, kSinkPsid = 2, kEchoPsid = 3, kSourcePsid = 4;
const DWORD kBlockMs = 1500;  // a blocking call's time-out

int Open(BYTE bPsid, DWORD dwBuffer, WORD* phChannel, WORD wAppData = 0x66,
         BYTE bType = MLC_STREAM_CHANNEL) {
  int iResult = MLCOpenChannel(0, bPsid, bType, dwBuffer ? &dwBuffer : NULL, phChannel, hApp,
                               kAppMsg, wAppData, NULL, NULL);
  if (iResult != MLC_SUCCESS) *phChannel = 0;
  return iResult;
}

// Opens the channel the operation works on.
bool Prepare(Op op) {
  if (op == Op::kRead) return Open(kSourcePsid, 8192, &hChannel) == MLC_SUCCESS;
  if (op == Op::kMessage)
    return Open(kStatusPsid, 0, &hChannel, 0x66, MLC_PACKET_CHANNEL) == MLC_SUCCESS;
  if (op == Op::kBlockRead) return Open(kSinkPsid, 4096, &hChannel) == MLC_SUCCESS;
  bool fSink =
      op == Op::kClose || op == Op::kWrite || op == Op::kCreditWait || op == Op::kBlockWrite;
  return !fSink || Open(kSinkPsid, 0, &hChannel) == MLC_SUCCESS;
}

// The operation's result: the call's, or the one named below.
int Operate(Op op) {
  static std::vector<BYTE> out(65535, 0x5A);
  static BYTE in[8192];
  int iResult = INT_MAX, cbTotal = 0;
  switch (op) {
    case Op::kBringUp:
    case Op::kOpen:
      return Open(kSinkPsid, 0, &hChannel);
    case Op::kClose:
      if ((iResult = MLCCloseChannel(hChannel)) == MLC_SUCCESS) hChannel = 0;
      return iResult;
    case Op::kWrite:
      return MLCWrite(hChannel, out.data(), 16384, FALSE, 0);
    case Op::kCreditWait:
      return MLCWrite(hChannel, out.data(), 65535, FALSE, 0);
    case Op::kBlockWrite:
      return MLCWrite(hChannel, out.data(), 65535, TRUE, kBlockMs);
    case Op::kBlockRead:
      return MLCRead(hChannel, in, 256, TRUE, kBlockMs);
    case Op::kRead:  // through polls until 30000 bytes came: their count, or the first failure
      Eventually(
          [&] {
            MLCPollChannels2(FALSE, 0);
            int n = MLCRead(hChannel, in, sizeof in, FALSE, 0);
            cbTotal = n < 0 ? n : cbTotal + n;
            return n < 0 || cbTotal >= 30000;
          },
          1500);
      return cbTotal;
    case Op::kPoll:  // polls as the printer's own exchanges come: the lowest result (a failure)
      Eventually(
          [&] {
            iResult = std::min(iResult, MLCPollChannels2(FALSE, 0));
            return false;
          },
          400);
      return iResult;
    case Op::kPing:
      return MLCPingMlc(hWitness);
    case Op::kVcomm:
      return MLCPingVcomm(hWitness);
    case Op::kMessage:  // a status request, its answer read blocking: its length, or the failure
      iResult = MLCWrite(hChannel, (LPVOID) "STATUS?", 7, TRUE, kBlockMs);
      return iResult != 7 ? iResult : MLCRead(hChannel, in, 512, TRUE, kBlockMs);
  }
  return INT_MIN;
}

// A full echo round trip on a new channel: the link works again.
bool EchoWorks() {
  WORD hEcho = 0;
  if (Open(kEchoPsid, 4096, &hEcho, 0x77) != MLC_SUCCESS) return false;
  BYTE abOut[300], abIn[300];
  for (int i = 0; i < 300; ++i) abOut[i] = (BYTE)(i * 7);
  int cbIn = 0;
  bool bOk = MLCWrite(hEcho, abOut, 300, FALSE, 0) == 300 &&
             Eventually(
                 [&] {
                   MLCPollChannels2(FALSE, 0);
                   int n = MLCRead(hEcho, abIn + cbIn, 300 - cbIn, FALSE, 0);
                   cbIn = n < 0 ? -1 : cbIn + n;
                   return cbIn < 0 || cbIn == 300;
                 },
                 3000) &&
             memcmp(abOut, abIn, 300) == 0;
  return MLCCloseChannel(hEcho) == MLC_SUCCESS && bOk;
}

// Waits until the printer's thread has run twice more and found the wire
// empty: it has taken in all that the host wrote and acted on every fault
// due by now. A printer that left the wire has nothing more to take in.
void WaitQuiet(Printer& printer) {
  uint64_t n = printer.runner->quiet_rounds() + 2;
  ASSERT_TRUE(Eventually([&] {
    return !printer.runner->attached() || printer.runner->quiet_rounds() >= n;
  })) << "the printer's thread is stuck";
}

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {
 protected:
  static HWND hHelper;
  static DWORD dwBaseBlocks;

  static void SetUpTestSuite() {
    WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                  "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=300\r\n"
                  "MLC_PACKET_TIMEOUT_WHILE_BUSY=300\r\nMLC_INTER_PACKET_TIME_OUT=200\r\n"
                  "CreditTimeout=300\r\n");
    LoadIniValues();
    hHelper = MakeWindow("FaultMatrixHelper", QuietProc);
    hApp = MakeWindow("FaultMatrixApp", QuietProc);
    Printer printer(PrinterConfig());  // the device-ID block outlives the link
    MLCSetup(hHelper);
    MLCInit(0);
    StartAllOverAgain(0, FALSE);
    dwBaseBlocks = PortAreaBlocks();
  }
  void SetUp() override { MLCSetup(hHelper); }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);
    TakeMessages(hApp);
    TakeMessages(hHelper);
    // No more than before: the device-ID block may go too, when a process
    // without channels detaches meanwhile and frees the idle port's state.
    EXPECT_LE(PortAreaBlocks(), dwBaseBlocks);
  }
};
HWND FaultMatrix::hHelper = NULL;
DWORD FaultMatrix::dwBaseBlocks = 0;

TEST_P(FaultMatrix, Row) {
  const FaultRow& row = GetParam();
  hWitness = hChannel = 0;
  {
    emu::EmuConfig cfg = PrinterConfig();
    if (row.bAtStart) {  // the fault is in the printer's device ID or capabilities
      ASSERT_TRUE(
          emu::ApplyDeviceFault(row.lpszFault, &cfg.device_id, &cfg.id_length, &cfg.capabilities));
    }
    Printer printer(cfg);
    ASSERT_TRUE(printer.runner);
    if (row.op != Op::kBringUp) {
      ASSERT_EQ(Open(kEchoPsid, 4096, &hWitness, 0x55), MLC_SUCCESS);  // the link is up
      ASSERT_TRUE(Prepare(row.op));
    }
    std::string faults = row.bAtStart ? "" : row.lpszFault, error;
    for (size_t at = 0, end; at < faults.size(); at = end + 1) {
      end = std::min(faults.find(';', at), faults.size());
      ASSERT_TRUE(printer.runner->AddFault(faults.substr(at, end - at), &error)) << error;
    }
    ObtainPPI(0)->lLastLinkError = 0;
    ReleasePPI(0);

    WaitQuiet(printer);  // faults due at once are in force
    int iResult = Operate(row.op);
    WaitQuiet(printer);  // the printer took in what the host wrote last
    if (strncmp(row.lpszFault, "late=", 5) == 0) {
      // A late reply comes after the host has moved on: wait until the
      // printer has answered every such command the host sent, then let the
      // host read, so that the row does not depend on who polls when.
      std::string cmd(row.lpszFault + 5, strcspn(row.lpszFault + 5, ":"));
      cmd = cmd == "init" ? "MLC_INIT" : cmd == "open" ? "MLC_OPEN_CHANNEL" : "MLC_CLOSE_CHANNEL";
      ASSERT_TRUE(Eventually([&] {
        return printer.Count("H>P " + cmd + " ") <= printer.Count("P>H " + cmd + "_REPLY");
      })) << "the late reply never came";
      WaitQuiet(printer);  // and it is on the wire
      BYTE bHsid = 0, bPsid = 0, bCommand = 0;
      WORD wLength = 0;
      PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, 0);
    }
    PerPortInfo* lpPPI = ObtainPPI(0);
    bool bLinkDown = !lpPPI->fMlcInitDone;
    ReleasePPI(0);
    std::vector<MSG> notices = TakeMessages(hApp, kAppMsg, kAppMsg);
    bool bReset = row.op == Op::kBringUp
                      ? bLinkDown
                      : std::any_of(notices.begin(), notices.end(), [](const MSG& m) {
                          return LOWORD(m.lParam) == MLC_DISCONNECT && m.wParam == 0x55;
                        });
    std::vector<BYTE> sent = printer.HostErrors();
    EXPECT_TRUE(row.bAtStart || !row.lpszFault[0] || printer.Count("** fault") >= 1)
        << "the printer committed the fault";
    EXPECT_TRUE(row.result.lo <= iResult && iResult <= row.result.hi)
        << "result " << iResult << ", owed " << row.result.lo << ".." << row.result.hi;
    EXPECT_EQ(bReset, row.bReset) << "link reset";
    EXPECT_EQ(MLCGetLastLinkError(0, 0), row.lLinkError) << "last link error";
    if (row.staleErrors.empty() || sent != row.staleErrors) {
      EXPECT_EQ(sent, row.hostErrors) << "MLC_ERROR codes the host sent";
    }
    std::vector<std::string> violations = printer.Violations();
    EXPECT_TRUE(violations.empty()) << violations[0];
    if (!bReset && hChannel) MLCCloseChannel(hChannel);
    if (!bReset && hWitness) MLCCloseChannel(hWitness);
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
