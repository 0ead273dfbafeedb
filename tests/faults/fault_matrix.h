// The rows of the fault matrix and the operations they hit.
#pragma once

#include <windows.h>

#include <climits>
#include <string>
#include <vector>

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

// The result a call owes: one code, or a range (a byte count).
struct Owed {
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
  // The port's last link error afterwards. Only a failing port sets it; the
  // emulator's faults are in the protocol, so it stays 0 unless a row says.
  LONG lLinkError = 0;
  bool bAtStart = false;  // the fault is part of the printer's start (device ID)
  // Late replies: the stale reply comes after the host gave up and reset.
  // Whether the host then reads it and refuses it (MLC_ERROR 2) depends on
  // when it arrives, so these codes are accepted instead of hostErrors too.
  std::vector<BYTE> staleErrors{};
};

const std::vector<FaultRow>& FaultRows();

// gtest names a failing row by its id.
#include <ostream>
inline void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.lpszId; }
