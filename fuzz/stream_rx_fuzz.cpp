// Fuzzes the receive path: arbitrary peripheral bytes, cut into arbitrary
// pieces, reach the link through KRZCOM15's in-memory backend while a stream
// channel (with a ring) and a packet channel are open on LPT1. Between polls
// the input also chooses reads of the ring and polls that grant credit.
// After every step the channel records must be consistent; after every
// input the reset that ends it must leave no block in the port's area.
//
// The input: ring size, peripheral-to-host packet size, the host's credit,
// the piece sizes, the steps, then the peripheral's bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "channel/channel.h"
#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "layout.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "vmem.h"

namespace {

constexpr BYTE kStreamPsid = 2;
constexpr BYTE kPacketPsid = 3;
constexpr WORD kSlotSize = 256;

DWORD g_dwBaseBlocks = 0;

[[noreturn]] void Fail(const char* lpszWhat) {
  fprintf(stderr, "invariant broken: %s\n", lpszWhat);
  abort();
}

void WriteFile(const std::string& path, const char* lpszText) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) Fail("cannot write an INI file");
  fputs(lpszText, f);
  fclose(f);
}

DWORD PortAreaBlocks() {
  std::string name = "KRZMEM15.Area.LPT1";
  HANDLE hMap = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (!hMap) return 0;
  DWORD dwBlocks = 0;
  const auto* lpHeader = (const krzmem::AreaHeader*)MapViewOfFile(hMap, FILE_MAP_READ, 0, 0,
                                                                  sizeof(krzmem::AreaHeader));
  if (lpHeader) {
    dwBlocks = lpHeader->blocks;
    UnmapViewOfFile(lpHeader);
  }
  CloseHandle(hMap);
  return dwBlocks;
}

HMEMBLOCK NewBlock(DWORD cb) {
  HMEMBLOCK h = AllocMLCCheck(0, cb);
  if (!h) Fail("no block");
  memset(LockMLCCheck(0, h), 0, cb);
  UnlockMLCCheck(0, h);
  return h;
}

// The port as two opens would leave it: link up, two sockets, a stream
// channel in slot 0 and a packet channel in slot 1.
void OpenChannels(LONG lRing, WORD wPtoH, DWORD dwHostCredits) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->hSocketInfoArray = NewBlock(2 * sizeof(SocketInfo));
  auto* lpSockets = (SocketInfo*)LockMLCCheck(0, lpPPI->hSocketInfoArray);
  lpSockets[0].bPsid = kStreamPsid;
  lpSockets[0].wHtoPPacketSize = 1024;
  lpSockets[0].wPtoHPacketSize = wPtoH;
  lpSockets[1].bPsid = kPacketPsid;
  lpSockets[1].wHtoPPacketSize = lpSockets[1].wPtoHPacketSize = kSlotSize;
  UnlockMLCCheck(0, lpPPI->hSocketInfoArray);
  lpPPI->bSocketInfoCount = 2;

  HMEMBLOCK hStream = NewBlock(sizeof(StreamChannel));
  auto* s = (StreamChannel*)LockMLCCheck(0, hStream);
  s->bType = MLC_STREAM_CHANNEL;
  s->bPsid = kStreamPsid;
  s->bHsid = MLC_FIRST_HSID;
  s->fChannelOpen = s->fNotifyOnClose = 1;
  s->bFlags = STREAM_HAS_BUFFER;
  s->hBuffer = NewBlock((DWORD)lRing);
  s->lLastPos = s->wAllocated = lRing;
  s->wPeriPtoHCredits = lRing / wPtoH;
  s->wPtoHMark = s->wPeriPtoHCredits * 3 / 4;
  s->wHostHtoPCredits = dwHostCredits;
  s->wSocketIdx = 0;
  UnlockMLCCheck(0, hStream);

  HMEMBLOCK hPacket = NewBlock(sizeof(MessageChannel));
  auto* m = (MessageChannel*)LockMLCCheck(0, hPacket);
  m->bType = MLC_PACKET_CHANNEL;
  m->bPsid = kPacketPsid;
  m->bHsid = MLC_FIRST_HSID + 1;
  m->fChannelOpen = m->fNotifyOnClose = 1;
  m->bSlotCount = 2;
  m->hSlot[0] = NewBlock(kSlotSize);
  m->hSlot[1] = NewBlock(kSlotSize);
  m->lReadSlot = -1;
  m->wHostHtoPCredits = 1;
  m->wSocketIdx = 1;
  UnlockMLCCheck(0, hPacket);

  lpPPI->hChanPtrArray = NewBlock(2 * sizeof(HMEMBLOCK));
  auto* lpTable = (HMEMBLOCK*)LockMLCCheck(0, lpPPI->hChanPtrArray);
  lpTable[0] = hStream;
  lpTable[1] = hPacket;
  UnlockMLCCheck(0, lpPPI->hChanPtrArray);
  lpPPI->bChannelsAllocated = lpPPI->bChannelsUsed = 2;
  lpPPI->bLastMlcCommand = NO_COMMAND;
  lpPPI->fMlcInitDone = TRUE;
  MlcGlobalData* lpMGD = ObtainMGD();
  lpMGD->wTotalChannelsOpened = 2;
  ReleaseMGD();
  ReleasePPI(0);
}

// The records of whatever is still open hold together.
void CheckRecords(LONG lCreditBytes) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  if (lpPPI->bChannelsUsed > lpPPI->bChannelsAllocated) Fail("more channels used than slots");
  if (lpPPI->fMlcInitDone && lpPPI->hChanPtrArray) {
    if (ValidChannelIdx(0, 0)) {
      const auto* s = (const StreamChannel*)LockChannelIdx(0, 0);
      const auto* lpSocket = (const SocketInfo*)LockSocketIdx(0, s->wSocketIdx);
      LONG P = lpSocket ? lpSocket->wPtoHPacketSize : 0;
      if (lpSocket) UnlockSocketIdx(0, s->wSocketIdx);
      if (s->lLastPos != s->wAllocated || s->lLastPos <= 0) Fail("ring size changed");
      if (s->lWritePos < 0 || s->lWritePos >= s->lLastPos) Fail("write position outside the ring");
      if (s->lReadPos < 0 || s->lReadPos > s->lLastPos) Fail("read position outside the ring");
      if (s->wLength < 0 || s->wLength > s->wAllocated) Fail("stored count outside the ring");
      if ((s->lReadPos + s->wLength) % s->lLastPos != s->lWritePos) Fail("ring positions disagree");
      if (s->wHostHtoPCredits > 0xFFFF) Fail("host credit past 65535");
      if (s->wPeriPtoHCredits < 0 || s->wAvailBytes < 0) Fail("negative credit books");
      if (s->wLength + s->wAvailBytes + P * s->wPeriPtoHCredits != lCreditBytes)
        Fail("stored + freed + peripheral's credit != credit granted at open");
      UnlockChannelIdx(0, 0);
    }
    if (ValidChannelIdx(0, 1)) {
      const auto* m = (const MessageChannel*)LockChannelIdx(0, 1);
      if (m->lReadSlot < -1 || m->lReadSlot >= (LONG)m->bSlotCount) Fail("read slot out of range");
      for (int i = 0; i < 2; ++i)
        if (m->wSlotLength[i] > kSlotSize) Fail("message longer than its slot");
      UnlockChannelIdx(0, 1);
    }
  }
  ReleasePPI(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char szWindows[MAX_PATH];
  GetWindowsDirectoryA(szWindows, sizeof szWindows);
  std::string windows = szWindows;
  WriteFile(windows + "/KRZCOM15.INI",
            "[LPT1]\r\nBackend=memory\r\n[LPT2]\r\nBackend=memory\r\n[LPT3]\r\nBackend=memory\r\n");
  // Short waits: a reply or the rest of a packet that the script does not
  // hold is given up after a few milliseconds.
  WriteFile(
      windows + "/KRZTBX15.INI",
      "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=2\r\n"
      "MLC_PACKET_TIMEOUT_WHILE_BUSY=2\r\nMLC_INTER_PACKET_TIME_OUT=1\r\nCreditTimeout=2\r\n");
  LoadIniValues();
  MLCSetup(NULL);  // no helper window: nothing to start or stop; opens the port handles
  if (!MLCGetPortHandle(0)) Fail("no handle of LPT1");
  StartAllOverAgain(0, FALSE);
  g_dwBaseBlocks = PortAreaBlocks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  LONG lRing = fdp.ConsumeIntegralInRange<LONG>(1, 16384);
  WORD wPtoH = fdp.ConsumeIntegralInRange<WORD>(1, 4096);
  if (wPtoH > lRing) wPtoH = (WORD)lRing;  // an open asks for at least one packet's ring
  DWORD dwHostCredits = fdp.ConsumeIntegralInRange<DWORD>(0, 0xFFFF);
  std::vector<DWORD> pieces(fdp.ConsumeIntegralInRange<size_t>(0, 32));
  for (DWORD& piece : pieces) piece = fdp.ConsumeIntegralInRange<DWORD>(0, 300);
  std::vector<BYTE> steps = fdp.ConsumeBytes<BYTE>(fdp.ConsumeIntegralInRange<size_t>(0, 16));
  std::vector<BYTE> wire = fdp.ConsumeRemainingBytes<BYTE>();

  OpenChannels(lRing, wPtoH, dwHostCredits);
  const LONG lCreditBytes = (lRing / wPtoH) * (LONG)wPtoH;
  VMEM_SetScript(wire.data(), (DWORD)wire.size(), pieces.data(), (DWORD)pieces.size());
  std::vector<BYTE> buffer(65536);
  // Steps go on while the script lasts, and a few more once it is read.
  size_t nAfterScript = 0;
  for (size_t i = 0; i < 4096 && pPerPortInfo[0].fMlcInitDone; ++i) {
    BYTE bStep = steps.empty() ? 0 : steps[i % steps.size()];
    int iResult = MLC_PACKET_SUCCESSFUL;
    switch (bStep & 3) {
      case 1:  // the client reads part of the ring (freed space waits for a grant)
        MLCRead(MLC_MAKE_CHANNEL(0, MLC_FIRST_HSID), buffer.data(), (bStep >> 2) * 97 + 1, 0, 0);
        break;
      case 2:  // a poll: credit granted back, then one packet read
        MLCPollChannels2(FALSE, 0);
        break;
      default: {
        BYTE bHsid, bPsid, bCommand;
        WORD wLength;
        iResult = PollForData(0, &bHsid, &bPsid, &bCommand, &wLength, 0);
      }
    }
    CheckRecords(lCreditBytes);
    if (VMEM_Unread() == 0 && (iResult == MLC_NO_DATA || ++nAfterScript > 8)) break;
  }
  StartAllOverAgain(0, FALSE);
  if (pPerPortInfo[0].hChanPtrArray || pPerPortInfo[0].bChannelsUsed) Fail("reset left channels");
  if (PortAreaBlocks() != g_dwBaseBlocks) Fail("a block of the port area was not freed");
  return 0;
}
