// Fuzz target: arbitrary peripheral bytes, cut into arbitrary pieces, reach
// the host's receive path through the in-process memory port while a stream
// channel and a message channel are open on LPT1. After each input the
// shared records must be consistent and, once the link is reset locally,
// the port's shared area must hold exactly the blocks it held before.
//
// Input: byte 0 picks the stream channel's ring size, byte 1 the socket's
// peripheral-to-host packet size; then pieces, each a length byte and that
// many bytes, the 32nd piece being all the rest. Each piece reaches the host
// in a read of its own, so one packet may be taken in over several reads;
// an empty piece is a pause: the host polls and reads until it has taken in
// everything before it, and a packet it cuts is cut short.
//
// The records are checked (also the credit books) after each input, then
// the link is reset; the next input with the same ring and packet size gets
// the link and channels back from the snapshot taken after their opens.
#include <stdlib.h>

#include <map>
#include <utility>

#include "fuzz_support.h"
#include "krzmlc15.h"

namespace {

FuzzPort* port;

// Channels opened with one ring and packet size: their handles, and the
// snapshot of the port after the opens.
struct Open {
  WORD hStream = 0, hMessage = 0;
  FuzzSnapshot* snapshot = nullptr;
};
// Never destroyed: the snapshots stay reachable until the process ends.
auto* opened = new std::map<std::pair<LONG, WORD>, Open>();
WORD hStream, hMessage;  // the channels open now

// More pieces than this are taken in as one: past a few dozen polls an
// input finds little new, and each costs as much as a whole short input.
const int kMaxPieces = 32;
// Polls (each with a read of both channels) to take in what an input holds.
const int kMaxTurns = 48;

void HostTurn() {
  static BYTE buffer[65536];
  MLCPollChannels2(FALSE, 0);
  MLCRead(hStream, buffer, 3000, FALSE, 0);
  MLCRead(hMessage, buffer, sizeof buffer, FALSE, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  port = FuzzPortStart(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  LONG lRing = 1024 * (1 + data[0] % 8);
  WORD wPtoH = (WORD)(7 + data[1] * 4);  // whole packets of 7..1027 bytes
  // Each ring and packet size is opened once; its snapshot brings the link
  // and channels back, without the exchanges of an open, for every later
  // input that picks it.
  Open& open = (*opened)[{lRing, wPtoH}];
  if (open.snapshot) {
    FuzzRestoreAll(open.snapshot);
  } else {
    if (!FuzzOpenChannels(port, lRing, wPtoH, &open.hStream, &open.hMessage)) abort();
    open.snapshot = FuzzTake();
  }
  hStream = open.hStream, hMessage = open.hMessage;

  // The pieces are queued up to the next empty one: the host reads them one
  // by one (a read never joins two pieces) and takes in all that is queued
  // before the pieces after the empty one come.
  size_t at = 2;
  int nTurns = 0;
  for (int nPieces = 1; at < size; ++nPieces) {
    size_t cb = nPieces < kMaxPieces ? data[at++] : size - at;
    if (cb > size - at) cb = size - at;
    FuzzFeed(port, data + at, cb);
    at += cb;
    while (!cb && nTurns < kMaxTurns && FuzzUnread(port) && ++nTurns) HostTurn();
  }
  while (nTurns < kMaxTurns && FuzzUnread(port) && ++nTurns) HostTurn();

  FuzzCheck();
  // Whatever the input did, a reset brings the port's area back to its
  // baseline.
  FuzzResetAndCheck(port, false);
  return 0;
}
