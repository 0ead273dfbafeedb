// The fault matrix: each emulator fault against the operation it hits (tests/README.md).
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <sstream>
#include <vector>

#include "cli_options.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "link_emu_support.h"
#include "shared/config.h"
#include "testutil.h"

namespace {

// The operation in flight when the fault strikes (tests/README.md).
enum class Op {
  kBringUp,
  kOpen,
  kClose,
  kWrite,
  kCreditWait,  // a stream write larger than the sink's credit
  kRead,        // stream data from the source through polls
  kPoll,        // polls while the printer starts exchanges of its own
  kPing,
  kVcomm,
  kMessage,  // a status request and its answer, both blocking
  kBlockRead,
  kBlockWrite,
};
using enum Op;

struct Owed {  // the result a call owes: one code, or a range (a byte count)
  int lo, hi;
};
inline Owed Is(int v) { return {v, v}; }

struct FaultRow {
  const char* lpszId;     // test name and README key
  const char* lpszFault;  // emulator faults, ';' between several; device-ID faults apply at start
  Op op;
  Owed result;
  bool bReset;                     // the link is reset (the witness channel is told)
  std::vector<BYTE> hostErrors{};  // MLC_ERROR codes the host owes the printer
  LONG lLinkError = 0;             // only a failing port sets it
};

const std::vector<FaultRow>& FaultRows() {
  const std::vector<BYTE> e0{0}, e1{1}, e2{2}, e3{3}, e5{5}, e6{6}, e7{7};
  const Owed ok = Is(MLC_SUCCESS), handled = Is(0), broke = Is(1);
  const Owed initFailed = Is(MLC_INIT_FAILED), openFailed = Is(MLC_OPEN_FAILED),
             closeFailed = Is(MLC_CLOSE_FAILED), gone = Is(MLC_INVALID_HANDLE),
             linkFailed = Is(MLC_PHYSICAL_LINK_FAILURE);
  static const std::vector<FaultRow> rows = {
      {"BringUpInitUnanswered", "noreply=init", kBringUp, ok, false},
      {"BringUpInitTwiceUnanswered", "noreply=init;noreply=init#2", kBringUp, initFailed, true},
      {"BringUpInitLate", "late=init:1200", kBringUp, ok, true, e2},
      {"BringUpInitRefused", "result=init", kBringUp, ok, false},
      {"BringUpInitMalformed", "badlen=init", kBringUp, ok, false, e0},
      {"BringUpInitUnknownReply", "unknown=init", kBringUp, ok, false, e2},
      {"BringUpInitHalf", "half=init", kBringUp, ok, false, e6},
      {"BringUpInitSplit", "split=init:3:50", kBringUp, ok, false},
      {"BringUpConfigUnanswered", "noreply=config", kBringUp, ok, false, e6},
      {"BringUpConfigRefused", "result=config:2", kBringUp, Is(MLC_SOCKET_CONFIG_FAILED), false},
      {"BringUpConfigMalformed", "badlen=config", kBringUp, ok, false, e0},
      {"BringUpNoMlcInDeviceId", "idnomlc", kBringUp, initFailed, true},
      {"BringUpNoEcp", "noecp", kBringUp, initFailed, true, {}, -72},
      {"BringUpDeviceIdLengthLies", "idlen=9000", kBringUp, initFailed, true},
      {"OpenUnanswered", "noreply=open", kOpen, openFailed, true},
      {"OpenLate", "late=open:700", kOpen, openFailed, true},
      {"OpenMaxedOut", "result=open", kOpen, Is(MLC_NO_CHANNEL), false},
      {"OpenRefused", "result=open:2", kOpen, Is(MLC_NO_CHANNEL), false},
      {"OpenMalformed", "badlen=open", kOpen, openFailed, true, e0},
      {"OpenUnknownReply", "unknown=open", kOpen, openFailed, true, e2},
      {"OpenHalf", "half=open", kOpen, openFailed, true, e6},
      {"OpenSplit", "split=open:3:50", kOpen, ok, false},
      {"CloseUnanswered", "noreply=close", kClose, closeFailed, true},
      {"CloseRefused", "result=close", kClose, closeFailed, false},
      {"CloseMalformed", "badlen=close", kClose, closeFailed, true, e0},
      {"CloseHalf", "half=close", kClose, closeFailed, true, e6},
      {"CloseLate", "late=close:700", kClose, closeFailed, true},
      {"WriteIntoAStalledWire", "stall@t=0", kCreditWait, linkFailed, true},
      {"WriteOutOfCredit", "nodrain@t=0", kCreditWait, Is(8 * 4102), false},
      {"WriteCreditRequestUnanswered", "nodrain@t=0;noreply=creditreq", kCreditWait, linkFailed,
       true, e6},
      {"WriteCreditDebited", "debit=2@t=0", kWrite, Is(16384), false},
      {"ReadOversizedPacket", "oversize@t=0", kRead, gone, true, e5},
      {"ReadPacketForAnotherSocket", "badpsid@t=0", kRead, gone, true, e7},
      {"ReadHalfPacket", "half=data", kRead, gone, true, e6},
      {"ReadSplitPacket", "split=data:3:50", kRead, Is(30000), false},
      {"ReadCreditOverflow", "overflow@t=0", kRead, gone, true, e3},
      {"PollPeripheralError", "error=6@t=0", kPoll, broke, true},
      {"PollPacketWithoutCredit", "nocredit@t=0", kPoll, broke, true, e1},
      {"PollCreditRequest", "creditreq@t=0", kPoll, handled, false},
      {"PollUnsupportedCommand", "unsupported@t=0", kPoll, handled, false},
      {"PollCreditForUnknownSocket", "badcredit@t=0", kPoll, broke, true, e7},
      {"PollCreditForWrongPsid", "badcredit=psid@t=0", kPoll, handled, false},
      {"PollDebitForUnknownSocket", "baddebit@t=0", kPoll, handled, false},
      {"PollDebit", "debit=1@t=0", kPoll, handled, false},
      {"PollEmptyCommand", "emptycmd@t=0", kPoll, broke, true, e0},
      {"PollShortHeader", "shortlen@t=0", kPoll, broke, true, e0},
      {"PollPrinterGone", "detach@t=0", kPoll, handled, false},
      {"PingStalledWire", "stall@t=0", kPing, ok, true},
      {"PingUnanswered", "noreply=credit", kPing, ok, true, e6},
      {"VcommPrinterGone", "detach@t=0", kVcomm, ok, true, {}, 21},
      {"MessageRoundTrip", "", kMessage, Is(13), false},
      {"MessageSplit", "split=data:3:50", kMessage, Is(13), false},
      {"MessageOversized", "oversize@t=0", kMessage, linkFailed, true, e5},
      {"MessageHalf", "half=data", kMessage, linkFailed, true, e6},
      {"MessageCreditPast16Bits", "msgcredit=300@t=0", kMessage, Is(13), false},
      {"MessageUnanswered", "stall@t=0", kMessage, Is(MLC_TIME_OUT), false},
      {"BlockingReadTimesOut", "", kBlockRead, Is(MLC_TIME_OUT), false},
      {"BlockingReadLinkDropped", "error=6@t=0", kBlockRead, linkFailed, true},
      {"BlockingWriteOutOfCredit", "nodrain@t=0", kBlockWrite, {1, 65534}, false},
      {"BlockingWriteStalled", "stall@t=0", kBlockWrite, linkFailed, true},
  };
  return rows;
}

const UINT kAppMsg = WM_USER + 9;

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) return 0;  // the stand-in helper never closes
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// The client window; the witness channel (open but for bring-up) and the operation's channel.
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

// Reads through polls until cbWant bytes came: their count, or the first failure.
int PollRead(WORD h, BYTE* pb, int cbWant, DWORD dwMs) {
  int cbTotal = 0;
  Eventually(
      [&] {
        MLCPollChannels2(FALSE, 0);
        int n = MLCRead(h, pb + cbTotal, cbWant - cbTotal, FALSE, 0);
        cbTotal = n < 0 ? n : cbTotal + n;
        return n < 0 || cbTotal >= cbWant;
      },
      dwMs);
  return cbTotal;
}

bool Prepare(Op op) {
  if (op == kRead) return Open(kSourcePsid, 8192, &hChannel) == MLC_SUCCESS;
  if (op == kMessage)
    return Open(kStatusPsid, 0, &hChannel, 0x66, MLC_PACKET_CHANNEL) == MLC_SUCCESS;
  if (op == kBlockRead) return Open(kSinkPsid, 4096, &hChannel) == MLC_SUCCESS;
  bool fSink = op == kClose || op == kWrite || op == kCreditWait || op == kBlockWrite;
  return !fSink || Open(kSinkPsid, 0, &hChannel) == MLC_SUCCESS;
}

// The operation's result: the call's, or the one named below.
int Operate(Op op) {
  static std::vector<BYTE> out(65535, 0x5A);
  static BYTE in[30000];
  int iResult = INT_MAX;
  switch (op) {
    case kBringUp:
    case kOpen:
      return Open(kSinkPsid, 0, &hChannel);
    case kClose:
      if ((iResult = MLCCloseChannel(hChannel)) == MLC_SUCCESS) hChannel = 0;
      return iResult;
    case kWrite:
      return MLCWrite(hChannel, out.data(), 16384, FALSE, 0);
    case kCreditWait:
      return MLCWrite(hChannel, out.data(), 65535, FALSE, 0);
    case kBlockWrite:
      return MLCWrite(hChannel, out.data(), 65535, TRUE, kBlockMs);
    case kBlockRead:
      return MLCRead(hChannel, in, 256, TRUE, kBlockMs);
    case kRead:
      return PollRead(hChannel, in, sizeof in, 1500);
    case kPoll:  // polls as the printer's own exchanges come: the lowest result (a failure)
      Eventually(
          [&] {
            iResult = std::min(iResult, MLCPollChannels2(FALSE, 0));
            return false;
          },
          400);
      return iResult;
    case kPing:
      return MLCPingMlc(hWitness);
    case kVcomm:
      return MLCPingVcomm(hWitness);
    case kMessage:  // a status request, its answer read blocking: its length, or the failure
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
  bool bOk = MLCWrite(hEcho, abOut, 300, FALSE, 0) == 300 &&
             PollRead(hEcho, abIn, 300, 3000) == 300 && memcmp(abOut, abIn, 300) == 0;
  return MLCCloseChannel(hEcho) == MLC_SUCCESS && bOk;
}

// Waits until the printer took in all the host wrote and acted on every fault due by now.
void WaitQuiet(Printer& printer) {
  uint64_t n = printer.runner->quiet_rounds() + 2;
  ASSERT_TRUE(Eventually([&] {
    return !printer.runner->attached() || printer.runner->quiet_rounds() >= n;
  })) << "the printer's thread is stuck";
}

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {
 protected:
  static inline HWND hHelper;        // stands in for the helper's window
  static inline DWORD dwBaseBlocks;  // the port area's blocks with the link down

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
    // At most as before: another process detaching may free the idle port's device-ID block.
    EXPECT_LE(PortAreaBlocks(), dwBaseBlocks);
  }
};

TEST_P(FaultMatrix, Row) {
  const FaultRow& row = GetParam();
  hWitness = hChannel = 0;
  {
    emu::EmuConfig cfg = PrinterConfig();  // a device-ID fault is part of the printer's start
    bool bAtStart =
        emu::ApplyDeviceFault(row.lpszFault, &cfg.device_id, &cfg.id_length, &cfg.capabilities);
    Printer printer(cfg);
    ASSERT_TRUE(printer.runner);
    if (row.op != kBringUp) {
      ASSERT_EQ(Open(kEchoPsid, 4096, &hWitness, 0x55), MLC_SUCCESS);  // the link is up
      ASSERT_TRUE(Prepare(row.op));
    }
    std::istringstream faults(bAtStart ? "" : row.lpszFault);
    for (std::string fault, error; std::getline(faults, fault, ';');)
      ASSERT_TRUE(printer.runner->AddFault(fault, &error)) << error;
    ObtainPPI(0)->lLastLinkError = 0;
    ReleasePPI(0);

    WaitQuiet(printer);  // faults due at once are in force
    int iResult = Operate(row.op);
    WaitQuiet(printer);  // the printer took in what the host wrote last
    bool bLate = strncmp(row.lpszFault, "late=", 5) == 0;
    if (bLate) {
      // Once the printer answered every such command, the host reads the late reply.
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
    std::vector<MSG> notices = TakeMessages(hApp, kAppMsg, kAppMsg);
    bool bReset = row.op == kBringUp
                      ? !pPerPortInfo[0].fMlcInitDone  // nothing else of this process runs now
                      : std::any_of(notices.begin(), notices.end(), [](const MSG& m) {
                          return LOWORD(m.lParam) == MLC_DISCONNECT && m.wParam == 0x55;
                        });
    std::vector<BYTE> sent = printer.HostErrors();
    EXPECT_TRUE(bAtStart || !row.lpszFault[0] || printer.Count("** fault") >= 1)
        << "the printer committed the fault";
    EXPECT_TRUE(row.result.lo <= iResult && iResult <= row.result.hi)
        << "result " << iResult << ", owed " << row.result.lo << ".." << row.result.hi;
    EXPECT_EQ(bReset, row.bReset) << "link reset";
    EXPECT_EQ(MLCGetLastLinkError(0, 0), row.lLinkError) << "last link error";
    // A late reply read after the host gave up and reset is refused (2) or not, by timing.
    if (!bLate || sent != std::vector<BYTE>{2}) {
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

}  // namespace
