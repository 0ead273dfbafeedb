// Fuzz target: arbitrary peripheral bytes, cut into arbitrary pieces, reach
// the host's receive path through the in-process memory port while a stream
// channel and a message channel are open on LPT1. After each input the
// shared records must be consistent and, once the link is reset locally,
// the port's shared area must hold exactly the blocks it held before.
//
// Input: byte 0 picks the stream channel's ring size, byte 1 the socket's
// peripheral-to-host packet size; then pieces, each a length byte and that
// many bytes (length 0: the host polls and reads before the next piece).
// Between pieces the host polls and reads, so one packet may be taken in
// over several polls.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "vmem.h"

namespace {

FuzzPort* port;
DWORD dwBaseline;  // blocks of a port whose link was up once (its device ID stays)

void HostTurn(WORD hStream, WORD hMessage) {
  static BYTE buffer[65536];
  MLCPollChannels2(FALSE, 0);
  MLCRead(hStream, buffer, 3000, FALSE, 0);
  MLCRead(hMessage, buffer, sizeof buffer, FALSE, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  port = FuzzPortStart();
  WORD hStream, hMessage;
  if (!port || !FuzzOpenChannels(port, 4096, 1030, &hStream, &hMessage)) abort();
  StartAllOverAgain(0, FALSE);
  dwBaseline = FuzzPortBlocks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  LONG lRing = 1024 * (1 + data[0] % 8);
  WORD wPtoH = (WORD)(7 + data[1] * 4);  // whole packets of 7..1027 bytes
  WORD hStream = 0, hMessage = 0;
  if (!FuzzOpenChannels(port, lRing, wPtoH, &hStream, &hMessage)) abort();

  size_t at = 2;
  while (at < size) {
    size_t cb = data[at++];
    if (cb > size - at) cb = size - at;
    FuzzFeed(port, data + at, cb);
    at += cb;
    HostTurn(hStream, hMessage);
  }
  // Let the host take in whatever is still waiting.
  for (int i = 0; i < 8 && FuzzUnread(port); ++i) HostTurn(hStream, hMessage);

  if (const char* broken = FuzzCheckRecords()) {
    fprintf(stderr, "inconsistent shared records: %s\n", broken);
    abort();
  }
  StartAllOverAgain(0, FALSE);
  FuzzDrain(port);
  if (FuzzPortBlocks() != dwBaseline) {
    fprintf(stderr, "port area: %lu blocks, %lu before\n", (unsigned long)FuzzPortBlocks(),
            (unsigned long)dwBaseline);
    abort();
  }
  return 0;
}
