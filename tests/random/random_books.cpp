// The host's credit books of every open stream channel with a receive ring,
// read under the port mutex: the ring's bytes, the freed bytes not yet
// granted and the credit the printer holds always add up to the credit the
// ring was opened with: wLength + wAvailBytes + P * wPeriPtoHCredits = P * G.
// Kept in one place so that a checker of the library's own can replace it.
#include "random_books.h"

#include <stdio.h>

#include "channel/chanrec.h"
#include "notify/retrieve.h"
#include "shared/locks.h"

std::string CheckRingBooks(BYTE bPort) {
  std::string why;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  for (BYTE i = 0; i < lpPPI->bChannelsAllocated && why.empty(); ++i) {
    if (GetTypeIdx(bPort, i) != MLC_STREAM_CHANNEL) continue;
    const auto* c = (const StreamChannel*)LockChannelIdx(bPort, i);
    const auto* s = c ? (const SocketInfo*)LockSocketIdx(bPort, c->wSocketIdx) : nullptr;
    // The direct reader books its own way (no ring between the port and it).
    if (s && (c->bFlags & STREAM_HAS_BUFFER) && !(c->bFlags & STREAM_DIRECT_READ) &&
        s->wPtoHPacketSize > 0) {
      LONG P = s->wPtoHPacketSize, G = c->wAllocated / P;
      LONG lSum = c->wLength + c->wAvailBytes + P * c->wPeriPtoHCredits;
      if (lSum != P * G || c->wLength < 0 || c->wLength > c->wAllocated || c->wAvailBytes < 0) {
        char sz[200];
        snprintf(sz, sizeof sz,
                 "ring books of host socket 0x%02X: %ld in ring + %ld free + %d x %ld credits "
                 "!= %d x %ld",
                 c->bHsid, (long)c->wLength, (long)c->wAvailBytes, (int)P,
                 (long)c->wPeriPtoHCredits, (int)P, (long)G);
        why = sz;
      }
    }
    if (s) UnlockSocketIdx(bPort, c->wSocketIdx);
    if (c) UnlockChannelIdx(bPort, i);
  }
  ReleasePPI(bPort);
  return why;
}

// Blocks in the port's area beyond those its record keeps between links.
std::string CheckPortBlocks(BYTE bPort, DWORD dwBlocks) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  DWORD dwHeld =
      (lpPPI->hDeviceID != 0) + (lpPPI->hSocketInfoArray != 0) + (lpPPI->hChanPtrArray != 0);
  int iUsed = lpPPI->bChannelsUsed;
  ReleasePPI(bPort);
  if (iUsed == 0 && (dwBlocks == 0 || dwBlocks == dwHeld)) return "";
  return "after the run " + std::to_string(iUsed) + " channels and " + std::to_string(dwBlocks) +
         " blocks are left in the port's area (its record holds " + std::to_string(dwHeld) + ")";
}

bool PortIdle(BYTE bPort) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  bool fIdle = !lpPPI->fMlcInitDone && lpPPI->bChannelsUsed == 0;
  ReleasePPI(bPort);
  return fIdle;
}
