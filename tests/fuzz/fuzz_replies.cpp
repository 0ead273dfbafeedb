// Fuzz target: the printer's answers while the host brings the link up and
// opens channels are arbitrary bytes. The input is queued on LPT1 (the
// in-process memory port) before the host starts, so every reply the host
// waits for (MLC_INIT, the socket configurations, the opens, the closes) and
// every peer command that comes in between is read from it. Afterwards the
// shared records must be consistent and, once the link is reset locally,
// the port's shared area must hold exactly the blocks it held before.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_support.h"
#include "krzmlc15.h"
#include "link/link.h"

namespace {

FuzzPort* port;
DWORD dwBaseline;  // blocks of a port whose link was up once (its device ID stays)

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  port = FuzzPortStart();
  WORD hStream, hMessage;
  if (!port || !FuzzOpenChannels(port, 4096, 1030, &hStream, &hMessage)) abort();
  FuzzReset(port);
  dwBaseline = FuzzPortBlocks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzFeed(port, data, size);
  static BYTE buffer[4096];
  DWORD dwRing = 4096, dwSlots = 1;
  WORD hStream = 0, hMessage = 0;
  if (MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwRing, &hStream, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hStream = 0;
  if (MLCOpenChannel(0, 1, MLC_PACKET_CHANNEL, &dwSlots, &hMessage, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hMessage = 0;
  for (int i = 0; i < 4 && FuzzUnread(port); ++i) {
    MLCPollChannels2(FALSE, 0);
    if (hStream) MLCRead(hStream, buffer, sizeof buffer, FALSE, 0);
    if (hMessage) MLCRead(hMessage, buffer, sizeof buffer, FALSE, 0);
  }
  if (const char* broken = FuzzCheckRecords()) {
    fprintf(stderr, "inconsistent shared records: %s\n", broken);
    abort();
  }
  if (hStream) MLCCloseChannel(hStream);
  if (hMessage) MLCCloseChannel(hMessage);
  FuzzReset(port);
  if (FuzzPortBlocks() != dwBaseline) {
    fprintf(stderr, "port area: %lu blocks, %lu before\n", (unsigned long)FuzzPortBlocks(),
            (unsigned long)dwBaseline);
    abort();
  }
  return 0;
}
