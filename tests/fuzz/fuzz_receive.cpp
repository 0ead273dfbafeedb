// Fuzz target: peripheral bytes reach the host's receive path on LPT1 while a
// stream and a message channel are open (input format: tests/README.md).
#include <stdlib.h>

#include <map>
#include <utility>

#include "fuzz_support.h"
#include "krzmlc15.h"

namespace {

// The port after the opens of each ring and packet size (the channels: the first two slots).
auto* opened = new std::map<std::pair<LONG, WORD>, FuzzSnapshot*>();
WORD hStream, hMessage;

// Past a few dozen turns an input finds little new, at the cost of a short input each.
const int kMaxPieces = 32, kMaxTurns = 48;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  LONG lRing = 1024 * (1 + data[0] % 8);
  WORD wPtoH = (WORD)(7 + data[1] * 4);  // whole packets of 7..1027 bytes
  // Opened once, a snapshot brings link and channels back without an open's exchanges.
  FuzzSnapshot*& snapshot = (*opened)[{lRing, wPtoH}];
  if (snapshot) {
    FuzzRestoreAll(snapshot);
  } else {
    WORD hWas = hStream;
    if (!FuzzOpenChannels(lRing, wPtoH, &hStream, &hMessage) || (hWas && hWas != hStream)) abort();
    snapshot = FuzzTake();
  }

  // The pieces are queued up to the next empty one (a read never joins two).
  size_t at = 2;
  int nTurns = 0;
  for (int nPieces = 1; at < size; ++nPieces) {
    size_t cb = nPieces < kMaxPieces ? data[at++] : size - at;
    if (cb > size - at) cb = size - at;
    FuzzFeed(data + at, cb);
    at += cb;
    while (!cb && nTurns < kMaxTurns && FuzzUnread() && ++nTurns) FuzzHostTurn(hStream, hMessage);
  }
  while (nTurns < kMaxTurns && FuzzUnread() && ++nTurns) FuzzHostTurn(hStream, hMessage);

  FuzzCheck();
  FuzzResetAndCheck(false);
  return 0;
}
