// Fuzz target: the printer's answers while the host brings the link up and
// opens and closes channels: each write of the host gets the next piece of
// the input (a length byte and that many bytes).
#include <algorithm>

#include "fuzz_support.h"
#include "krzmlc15.h"

namespace {

const uint8_t* pPieces;  // what is left of the input's pieces
size_t cbLeft;

void Answer(void*, const BYTE*, DWORD) {
  if (!cbLeft) return;
  size_t cb = std::min<size_t>(pPieces[0], cbLeft - 1);
  FuzzFeed(pPieces + 1, cb);
  pPieces += cb + 1, cbLeft -= cb + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pPieces = data, cbLeft = size;
  FuzzOnHostWrite(Answer, NULL);
  WORD hStream = FuzzOpen(3, MLC_STREAM_CHANNEL, 4096);
  FuzzHelperUp();
  WORD hMessage = FuzzOpen(1, MLC_PACKET_CHANNEL, 1);
  for (int i = 0; i < 4 && FuzzUnread(); ++i) FuzzHostTurn(hStream, hMessage);
  FuzzCheck();
  if (hStream) MLCCloseChannel(hStream);
  if (hMessage) MLCCloseChannel(hMessage);
  FuzzOnHostWrite(NULL, NULL);
  FuzzResetAndCheck(true);
  return 0;
}
