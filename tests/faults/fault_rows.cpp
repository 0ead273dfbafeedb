// The rows of the fault matrix: fault, operation, and what the library owes.
// Time-outs are the test's INI values (replies 300 ms, credit 300 ms).
#include "fault_matrix.h"
#include "krzmlc15.h"

namespace {

std::vector<FaultRow> Build() {
  const std::vector<BYTE> none, e0{0}, e1{1}, e2{2}, e3{3}, e5{5}, e6{6}, e7{7};
  const Owed ok = Is(MLC_SUCCESS);
  // A poll's worst result: 1 when a packet it read broke the link (reset),
  // 0 when everything it read was handled.
  const Owed handled = Is(0), broke = Is(1);
  // Reply time-outs send MLC_ERROR 6 only where the waiter asks for it
  // (socket configuration, credit exchanges); the others just reset.
  return {
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
}

}  // namespace

const std::vector<FaultRow>& FaultRows() {
  static const std::vector<FaultRow> rows = Build();
  return rows;
}
