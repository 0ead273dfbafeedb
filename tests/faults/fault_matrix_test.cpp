// The fault matrix: every fault the emulator can commit against the
// operation it hits, one test per row (the table in tests/README.md says what
// each row checks and owes).
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

// The operation in flight when the fault strikes.
enum class Op {
  kBringUp,     // the first open of a link: MLC_INIT, socket configuration, open
  kOpen,        // an open on a link that is up
  kClose,       // closing a channel
  kWrite,       // a stream write to the print sink
  kCreditWait,  // a stream write larger than the sink's credit
  kRead,        // stream data from the source, through polls, read back
  kPoll,        // polls while the printer starts exchanges of its own
  kPing,        // MLCPingMlc on a channel
  kVcomm,       // MLCPingVcomm on a channel
  kMessage,     // a status request on a message channel, its answer read back blocking
  kBlockRead,   // a blocking stream read from the sink, which sends nothing
  kBlockWrite,  // a blocking stream write larger than the sink's credit
};

struct Owed {  // the result a call owes: one code, or a range (a byte count)
  int lo, hi;
};
inline Owed Is(int v) { return {v, v}; }

struct FaultRow {
  const char* lpszId;     // test name and README key
  const char* lpszFault;  // emulator faults, ';' between several
  Op op;
  Owed result;
  bool bReset;                   // the link is reset (the witness channel is told)
  std::vector<BYTE> hostErrors;  // MLC_ERROR codes the host owes the printer
  LONG lLinkError = 0;           // only a failing port sets it; the emulator's faults are protocol
  bool bAtStart = false;         // the fault is part of the printer's start (device ID)
  // Late replies come after the host gave up and reset: whether it reads and
  // refuses one (MLC_ERROR 2) depends on timing, so these count as well.
  std::vector<BYTE> staleErrors{};
};

// The rows: fault, operation, and what the library owes. Time-outs are the
// test's INI values (replies 300 ms, credit 300 ms).
const std::vector<FaultRow>& FaultRows() {
  const std::vector<BYTE> none, e0{0}, e1{1}, e2{2}, e3{3}, e5{5}, e6{6}, e7{7};
  const Owed ok = Is(MLC_SUCCESS);
  // A poll's worst result: 1 when a packet it read broke the link (reset),
  // 0 when everything it read was handled.
  const Owed handled = Is(0), broke = Is(1);
  // Reply time-outs send MLC_ERROR 6 only where the waiter asks for it
  // (socket configuration, credit exchanges); the others just reset.
  static const std::vector<FaultRow> rows = {
      // Bring-up: MLC_INIT and the socket configuration. An open retries a
      // failed bring-up once after a reset, so one fault costs nothing.
      {"BringUpInitUnanswered", "noreply=init", Op::kBringUp, ok, false, none},
      {"BringUpInitTwiceUnanswered", "noreply=init;noreply=init#2", Op::kBringUp,
       Is(MLC_INIT_FAILED), true, none},
      {"BringUpInitLate", "late=init:1200", Op::kBringUp, ok, true, e2},
      {"BringUpInitRefused", "result=init", Op::kBringUp, ok, false, none},
      {"BringUpInitMalformed", "badlen=init", Op::kBringUp, ok, false, e0},
      {"BringUpInitUnknownReply", "unknown=init", Op::kBringUp, ok, false, e2},
      {"BringUpInitHalf", "half=init", Op::kBringUp, ok, false, e6},
      {"BringUpInitSplit", "split=init:3:50", Op::kBringUp, ok, false, none},
      {"BringUpConfigUnanswered", "noreply=config", Op::kBringUp, ok, false, e6},
      {"BringUpConfigRefused", "result=config:2", Op::kBringUp, Is(MLC_SOCKET_CONFIG_FAILED), false,
       none},
      {"BringUpConfigMalformed", "badlen=config", Op::kBringUp, ok, false, e0},
      {"BringUpNoMlcInDeviceId", "idnomlc", Op::kBringUp, Is(MLC_INIT_FAILED), true, none, 0, true},
      {"BringUpNoEcp", "noecp", Op::kBringUp, Is(MLC_INIT_FAILED), true, none, -72, true},
      {"BringUpDeviceIdLengthLies", "idlen=9000", Op::kBringUp, Is(MLC_INIT_FAILED), true, none, 0,
       true},
      // Opening on a live link: a failed exchange resets it, a refusal does not.
      {"OpenUnanswered", "noreply=open", Op::kOpen, Is(MLC_OPEN_FAILED), true, none},
      {"OpenLate", "late=open:700", Op::kOpen, Is(MLC_OPEN_FAILED), true, none, 0, false, e2},
      {"OpenMaxedOut", "result=open", Op::kOpen, Is(MLC_NO_CHANNEL), false, none},
      {"OpenRefused", "result=open:2", Op::kOpen, Is(MLC_NO_CHANNEL), false, none},
      {"OpenMalformed", "badlen=open", Op::kOpen, Is(MLC_OPEN_FAILED), true, e0},
      {"OpenUnknownReply", "unknown=open", Op::kOpen, Is(MLC_OPEN_FAILED), true, e2},
      {"OpenHalf", "half=open", Op::kOpen, Is(MLC_OPEN_FAILED), true, e6},
      {"OpenSplit", "split=open:3:50", Op::kOpen, ok, false, none},
      // Closing: a refused close leaves the channel open and usable.
      {"CloseUnanswered", "noreply=close", Op::kClose, Is(MLC_CLOSE_FAILED), true, none},
      {"CloseRefused", "result=close", Op::kClose, Is(MLC_CLOSE_FAILED), false, none},
      {"CloseMalformed", "badlen=close", Op::kClose, Is(MLC_CLOSE_FAILED), true, e0},
      {"CloseHalf", "half=close", Op::kClose, Is(MLC_CLOSE_FAILED), true, e6},
      {"CloseLate", "late=close:700", Op::kClose, Is(MLC_CLOSE_FAILED), true, none, 0, false, e2},
      // Stream writes: what went out is reported; a dead link is -6.
      {"WriteIntoAStalledWire", "stall@t=0", Op::kCreditWait, Is(MLC_PHYSICAL_LINK_FAILURE), true,
       none},
      // The sink's 8 packets of credit, 4102 bytes each, and no more.
      {"WriteOutOfCredit", "nodrain@t=0", Op::kCreditWait, Is(8 * 4102), false, none},
      {"WriteCreditRequestUnanswered", "nodrain@t=0;noreply=creditreq", Op::kCreditWait,
       Is(MLC_PHYSICAL_LINK_FAILURE), true, e6},
      {"WriteCreditDebited", "debit=2@t=0", Op::kWrite, Is(16384), false, none},
      // Stream data through polls: the host refuses what breaks its books,
      // the link is reset, and the read finds its channel gone.
      {"ReadOversizedPacket", "oversize@t=0", Op::kRead, Is(MLC_INVALID_HANDLE), true, e5},
      {"ReadPacketForAnotherSocket", "badpsid@t=0", Op::kRead, Is(MLC_INVALID_HANDLE), true, e7},
      {"ReadHalfPacket", "half=data", Op::kRead, Is(MLC_INVALID_HANDLE), true, e6},
      // At least the 30000 bytes the read waits for; how many packets more had
      // arrived by then depends on timing.
      {"ReadSplitPacket", "split=data:3:50", Op::kRead, {30000, INT_MAX}, false, none},
      {"ReadCreditOverflow", "overflow@t=0", Op::kRead, Is(MLC_INVALID_HANDLE), true, e3},
      // The printer's own exchanges, met by polls.
      {"PollPeripheralError", "error=6@t=0", Op::kPoll, broke, true, none},
      // Past the credit on a channel nobody reads: no grant is on its way
      // (a packet that arrives while one awaits its reply counts on it).
      {"PollPacketWithoutCredit", "nocredit@t=0", Op::kPoll, broke, true, e1},
      {"PollCreditRequest", "creditreq@t=0", Op::kPoll, handled, false, none},
      {"PollUnsupportedCommand", "unsupported@t=0", Op::kPoll, handled, false, none},
      {"PollCreditForUnknownSocket", "badcredit@t=0", Op::kPoll, broke, true, e7},
      {"PollCreditForWrongPsid", "badcredit=psid@t=0", Op::kPoll, handled, false, none},
      {"PollDebitForUnknownSocket", "baddebit@t=0", Op::kPoll, handled, false, none},
      {"PollDebit", "debit=1@t=0", Op::kPoll, handled, false, none},
      {"PollEmptyCommand", "emptycmd@t=0", Op::kPoll, broke, true, e0},
      {"PollShortHeader", "shortlen@t=0", Op::kPoll, broke, true, e0},
      {"PollPrinterGone", "detach@t=0", Op::kPoll, handled, false, none},
      // Liveness checks find a dead printer and reset the link.
      {"PingStalledWire", "stall@t=0", Op::kPing, ok, true, none},
      {"PingUnanswered", "noreply=credit", Op::kPing, ok, true, e6},
      // The port's connection check fails: its error is the last link error.
      {"VcommPrinterGone", "detach@t=0", Op::kVcomm, ok, true, none, 21},
      // Message channels: the answer is one message; what breaks the host's
      // books resets the link and the blocked read finds its channel gone
      // (-6: it went away during the wait). A printer that stopped reading
      // still takes a short message into the wire's buffer: only the answer
      // is missing.
      {"MessageRoundTrip", "", Op::kMessage, Is(13), false, none},
      {"MessageSplit", "split=data:3:50", Op::kMessage, Is(13), false, none},
      {"MessageOversized", "oversize@t=0", Op::kMessage, Is(MLC_PHYSICAL_LINK_FAILURE), true, e5},
      {"MessageHalf", "half=data", Op::kMessage, Is(MLC_PHYSICAL_LINK_FAILURE), true, e6},
      {"MessageCreditPast16Bits", "msgcredit=300@t=0", Op::kMessage, Is(13), false, none},
      {"MessageUnanswered", "stall@t=0", Op::kMessage, Is(MLC_TIME_OUT), false, none},
      // Blocking calls wait in their window, polling the port themselves; a
      // reset wakes them.
      {"BlockingReadTimesOut", "", Op::kBlockRead, Is(MLC_TIME_OUT), false, none},
      {"BlockingReadLinkDropped", "error=6@t=0", Op::kBlockRead, Is(MLC_PHYSICAL_LINK_FAILURE),
       true, none},
      // Some of the job, not all: what the sink's credit took before the window closed.
      {"BlockingWriteOutOfCredit", "nodrain@t=0", Op::kBlockWrite, {1, 65534}, false, none},
      {"BlockingWriteStalled", "stall@t=0", Op::kBlockWrite, Is(MLC_PHYSICAL_LINK_FAILURE), true,
       none},
  };
  return rows;
}

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
    // No more than before: the device-ID block may go too, when a process
    // without channels detaches meanwhile and frees the idle port's state.
    EXPECT_LE(PortAreaBlocks(), dwBaseBlocks);
  }
};

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
    std::istringstream faults(row.bAtStart ? "" : row.lpszFault);
    for (std::string fault, error; std::getline(faults, fault, ';');)
      ASSERT_TRUE(printer.runner->AddFault(fault, &error)) << error;
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
    bool bLinkDown = !pPerPortInfo[0].fMlcInitDone;  // nothing else of this process runs now
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

}  // namespace
