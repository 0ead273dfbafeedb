// Fuzz target: the printer's answers while the host brings the link up and
// opens and closes channels: each write of the host gets the next piece of
// the input (a length byte and that many bytes). Then the same checks as the
// receive target's follow.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "fuzz_support.h"
#include "krzmlc15.h"

namespace {

FuzzPort* port;

const uint8_t* pPieces;  // what is left of the input's pieces
size_t cbLeft;

// The host wrote: queue the next piece as the answer.
void Answer(void*, const BYTE*, DWORD) {
  if (!cbLeft) return;
  size_t cb = std::min<size_t>(pPieces[0], cbLeft - 1);
  FuzzFeed(port, pPieces + 1, cb);
  pPieces += cb + 1, cbLeft -= cb + 1;
}

}  // namespace

// FUZZ_REPLIES_SEED=FILE writes the core's answers to the opens there: the
// seed of tests/fuzz/seeds-replies.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string answers;
  port = FuzzPortStart(&answers);
  if (const char* lpszSeed = getenv("FUZZ_REPLIES_SEED")) {
    FILE* f = fopen(lpszSeed, "wb");
    if (!f || fwrite(answers.data(), 1, answers.size(), f) != answers.size()) abort();
    fclose(f);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pPieces = data, cbLeft = size;
  FuzzOnHostWrite(port, Answer, NULL);
  DWORD dwRing = 4096, dwSlots = 1;
  WORD hStream = 0, hMessage = 0;
  if (MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwRing, &hStream, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hStream = 0;
  FuzzHelperUp(port);
  if (MLCOpenChannel(0, 1, MLC_PACKET_CHANNEL, &dwSlots, &hMessage, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hMessage = 0;
  for (int i = 0; i < 4 && FuzzUnread(port); ++i) FuzzHostTurn(hStream, hMessage);
  FuzzCheck();
  if (hStream) MLCCloseChannel(hStream);
  if (hMessage) MLCCloseChannel(hMessage);
  FuzzOnHostWrite(port, NULL, NULL);
  FuzzResetAndCheck(port, true);
  return 0;
}
