// Fuzz target: the printer's answers while the host brings the link up and
// opens and closes channels are arbitrary bytes. Input: pieces, each a
// length byte and that many bytes; every time the host writes to LPT1 (the
// in-process memory port) the next piece is queued as the printer's answer,
// so the replies the host waits for (MLC_INIT, the socket configurations,
// the opens, the closes, credit) and any peer commands or data that come
// with them are read from it. Afterwards the shared records must be
// consistent and, once the link is reset locally, the port's shared area
// must hold exactly the blocks it held before. The stand-in helper is set
// up again before each open, as the helper the library would start after
// stopping the last one.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_support.h"
#include "krzmlc15.h"

namespace {

FuzzPort* port;

struct Pieces {
  const uint8_t* p;
  size_t left;
};

// The host wrote: queue the next piece as the answer.
void Answer(void* pContext, const BYTE*, DWORD) {
  Pieces* pieces = (Pieces*)pContext;
  if (!pieces->left) return;
  size_t cb = pieces->p[0];
  if (cb > pieces->left - 1) cb = pieces->left - 1;
  FuzzFeed(port, pieces->p + 1, cb);
  pieces->p += cb + 1;
  pieces->left -= cb + 1;
}

}  // namespace

// With FUZZ_REPLIES_SEED=FILE set, the emulator's core's answers to the
// opens are written to FILE as pieces: the seed of a corpus
// (tests/fuzz/seeds-replies).
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
  Pieces pieces{data, size};
  FuzzOnHostWrite(port, Answer, &pieces);
  static BYTE buffer[4096];
  DWORD dwRing = 4096, dwSlots = 1;
  WORD hStream = 0, hMessage = 0;
  if (MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwRing, &hStream, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hStream = 0;
  FuzzHelperUp(port);
  if (MLCOpenChannel(0, 1, MLC_PACKET_CHANNEL, &dwSlots, &hMessage, NULL, 0, 0, NULL, NULL) !=
      MLC_SUCCESS)
    hMessage = 0;
  for (int i = 0; i < 4 && FuzzUnread(port); ++i) {
    MLCPollChannels2(FALSE, 0);
    if (hStream) MLCRead(hStream, buffer, sizeof buffer, FALSE, 0);
    if (hMessage) MLCRead(hMessage, buffer, sizeof buffer, FALSE, 0);
  }
  FuzzCheck();
  if (hStream) MLCCloseChannel(hStream);
  if (hMessage) MLCCloseChannel(hMessage);
  FuzzOnHostWrite(port, NULL, NULL);
  FuzzResetAndCheck(port, true);
  return 0;
}
