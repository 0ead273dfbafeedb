#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "channel/chanrec.h"
#include "channel/creditcheck.h"
#include "channel/ownopen.h"
#include "emu_config.h"
#include "krzcom15.h"
#include "krzmlc15.h"
#include "layout.h"
#include "link/link.h"
#include "peripheral.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"
#include "testutil.h"
#include "vmem.h"

namespace {

DWORD hPort;   // our own handle of LPT1, for feeding
HWND hHelper;  // stands in for the helper's window
std::unique_ptr<emu::Peripheral> printer;
DWORD dwNow, dwBaseline;  // the core's clock; the area's blocks once a link was up
std::string* g_pRecord;   // appends every piece fed while set

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) return 0;  // the stand-in helper never closes
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// The emulator's core answers every write of the host at once.
void Answer(void*, const BYTE* pb, DWORD cb) {
  printer->Receive(0x4D, pb, cb, ++dwNow);
  emu::Bytes out = printer->TakeOutput();
  FuzzFeed(out.data(), out.size());
}

// The port's shared area, mapped once (it lives while mapped).
BYTE* Area() {
  static BYTE* lpArea = [] {
    std::string name = "KRZMEM15.Area." + PortAreaName(0);
    HANDLE hMap = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    BYTE* lp = hMap ? (BYTE*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    if (!lp) abort();
    CloseHandle(hMap);  // the view keeps the mapping
    return lp;
  }();
  return lpArea;
}

DWORD AreaBlocks() { return ((const krzmem::AreaHeader*)Area())->blocks; }

void FuzzDrain() {  // forgets the port's bytes both ways and the messages to the helper
  VMemTaken taken;
  VCOMM_EscapeCommFunction(hPort, VMEM_ESC_TAKE, NULL, &taken);
  TakeMessages(NULL);
}

void Reset(bool bHelperUp) {
  StartAllOverAgain(0, FALSE);
  FuzzDrain();
  if (bHelperUp) FuzzHelperUp();
}

const char* CheckStream(const StreamChannel* s) {
  if (s->bFlags & STREAM_HAS_BUFFER) {
    if (s->lLastPos <= 0 || s->lLastPos != s->wAllocated) return "stream ring size";
    if (s->lReadPos < 0 || s->lReadPos >= s->lLastPos) return "stream read position";
    if (s->lWritePos < 0 || s->lWritePos >= s->lLastPos) return "stream write position";
    if (s->wLength < 0 || s->wLength > s->wAllocated) return "stream bytes stored";
    if ((s->lWritePos - s->lReadPos + s->lLastPos) % s->lLastPos != s->wLength % s->lLastPos)
      return "stream ring positions against bytes stored";
  } else if (s->wLength != 0) {
    return "bytes stored without a ring";
  }
  if (s->wAvailBytes < 0) return "stream freed bytes";
  if (s->wPeriPtoHCredits < 0 || s->wPeriPtoHCredits > 65535) return "peripheral's stream credit";
  if (s->wHostHtoPCredits > 65535) return "host's stream credit";
  return nullptr;
}

const char* CheckMessage(BYTE bPort, const MessageChannel* m) {
  if (m->bSlotCount < 1 || m->bSlotCount > 2) return "message slot count";
  if (m->lReadSlot < -1 || m->lReadSlot >= m->bSlotCount) return "message read slot";
  unsigned nNodes = 0;
  HMEMBLOCK hNode = m->hMsgQueueHead, hLast = 0;
  for (; hNode && nNodes <= 256; ++nNodes) {
    const QueuedMessage* q = (const QueuedMessage*)LockMLCCheck(bPort, hNode);
    if (!q) return "message queue node";
    hLast = hNode;
    hNode = q->hNext;
    UnlockMLCCheck(bPort, hLast);
  }
  if (nNodes != m->bQueuedMsgs) return "queued messages against linked nodes";
  if (nNodes && hLast != m->hMsgQueueTail) return "message queue tail";
  return nullptr;
}

}  // namespace

void FuzzOnHostWrite(void (*pfnWritten)(void*, const BYTE*, DWORD), void* pContext) {
  VMemResponder responder{pfnWritten, pContext};
  VCOMM_EscapeCommFunction(hPort, VMEM_ESC_RESPONDER, &responder, NULL);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!getenv("W32POSIX_NAMESPACE") || !getenv("W32POSIX_ROOT"))
    abort();  // a private object namespace and Windows root (tests/README.md)
  // A helper program an open may start fails at once, not searching the PATH.
  setenv("PATH", "", 1);
  WriteTextFile(WindowsDirFile("KRZCOM15.INI"), "[LPT1]\r\nBackend=memory\r\n");
  WriteTextFile(WindowsDirFile("KRZTBX15.INI"),
                "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=0\r\n"
                "MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=0\r\nMLC_INTER_PACKET_TIME_OUT=0\r\n"
                "CreditTimeout=0\r\n");
  LoadIniValues();
  hHelper = MakeWindow("FuzzHelper", QuietProc);
  if (!hHelper || MLCSetup(hHelper) != MLC_SUCCESS) abort();
  hPort = VCOMM_OpenCommA("LPT1", 1);
  WORD hStream, hMessage;
  std::string answers;  // to the opens, as pieces
  g_pRecord = &answers;
  if (!hPort || !FuzzOpenChannels(4096, 1030, &hStream, &hMessage)) abort();
  g_pRecord = nullptr;
  Reset(true);
  dwBaseline = AreaBlocks();
  if (const char* lpszSeed = getenv("FUZZ_REPLIES_SEED")) {
    FILE* f = fopen(lpszSeed, "wb");
    if (!f || fwrite(answers.data(), 1, answers.size(), f) != answers.size()) abort();
    fclose(f);
  }
  return 0;
}

void FuzzHelperUp() {
  TakeMessages(NULL);  // what the library posted to the helper before
  MLCSetup(hHelper);
  // Held, as by a PML initialisation, the event keeps resets from stopping the stand-in.
  WaitForSingleObject(hPMLInitDeInit, 0);
}

WORD FuzzOpen(BYTE bPsid, BYTE bType, DWORD dwBuffer) {
  WORD h = 0;
  int iResult = MLCOpenChannel(0, bPsid, bType, &dwBuffer, &h, NULL, 0, 0, NULL, NULL);
  return iResult == MLC_SUCCESS ? h : 0;
}

bool FuzzOpenChannels(LONG lRing, WORD wPtoH, WORD* phStream, WORD* phMessage) {
  Reset(true);
  emu::EmuConfig cfg;
  cfg.max_ptoh = wPtoH;
  cfg.credit_request_ms = 0;
  cfg.services = emu::DefaultServices();
  printer = std::make_unique<emu::Peripheral>(cfg, nullptr);
  FuzzOnHostWrite(Answer, NULL);
  *phStream = FuzzOpen(3, MLC_STREAM_CHANNEL, (DWORD)lRing);
  *phMessage = FuzzOpen(1, MLC_PACKET_CHANNEL, 1);
  FuzzOnHostWrite(NULL, NULL);
  FuzzDrain();
  return *phStream && *phMessage;
}

void FuzzFeed(const BYTE* pb, size_t cb) {
  if (g_pRecord) {  // as a piece: its length byte, then its bytes
    if (cb > 255) abort();
    g_pRecord->push_back((char)cb);
    g_pRecord->append((const char*)pb, cb);
  }
  VMemFeed feed{pb, (DWORD)cb};
  VCOMM_EscapeCommFunction(hPort, VMEM_ESC_FEED, &feed, NULL);
}

bool FuzzUnread() { return VCOMM_WaitInput(hPort, 0) != 0; }

void FuzzHostTurn(WORD hStream, WORD hMessage) {
  static BYTE buffer[65536];
  MLCPollChannels2(FALSE, 0);
  if (hStream) MLCRead(hStream, buffer, 3000, FALSE, 0);
  if (hMessage) MLCRead(hMessage, buffer, sizeof buffer, FALSE, 0);
}

void FuzzResetAndCheck(bool bHelperUp) {
  Reset(bHelperUp);
  if (AreaBlocks() == dwBaseline) return;
  fprintf(stderr, "port area: %lu blocks, %lu before\n", (unsigned long)AreaBlocks(),
          (unsigned long)dwBaseline);
  abort();
}

void FuzzCheck() {
  PerPortInfo* lpPPI = ObtainPPI(0);
  const char* broken = nullptr;
  if (lpPPI->bChannelsUsed > lpPPI->bChannelsAllocated) broken = "channel counts";
  for (BYTE i = 0; !broken && i < lpPPI->bChannelsAllocated; ++i) {
    if (!ValidChannelIdx(0, i)) continue;
    BYTE bType = GetTypeIdx(0, i);
    const void* lpRecord = LockChannelIdx(0, i);
    if (!lpRecord) continue;
    broken = bType == MLC_STREAM_CHANNEL ? CheckStream((const StreamChannel*)lpRecord)
                                         : CheckMessage(0, (const MessageChannel*)lpRecord);
    UnlockChannelIdx(0, i);
  }
  ReleasePPI(0);
  char why[160];
  if (!broken && !CreditBooksHold(0, why, sizeof why)) broken = why;
  if (!broken) return;
  fprintf(stderr, "inconsistent shared records: %s\n", broken);
  abort();
}

struct FuzzSnapshot {
  PerPortInfo ppi;
  MlcGlobalData mgd;
  std::vector<HMEMBLOCK> table;  // the channel table
  std::string area;              // the bytes of LPT1's shared area in use
};

FuzzSnapshot* FuzzTake() {
  auto* s = new FuzzSnapshot();
  PerPortInfo* lpPPI = ObtainPPI(0);
  // Chunks lie end to end; past a free last chunk's header nothing is in use.
  BYTE* lpArea = Area();
  const auto* lpHeader = (const krzmem::AreaHeader*)lpArea;
  DWORD dwUsed = lpHeader->heapEnd, dwChunk = lpHeader->heapOff;
  while (dwChunk < lpHeader->heapEnd) {
    const auto* lpChunk = (const krzmem::Chunk*)(lpArea + dwChunk);
    if (!lpChunk->size) abort();
    if (!lpChunk->slot && dwChunk + lpChunk->size == lpHeader->heapEnd)
      dwUsed = dwChunk + krzmem::kMinChunk;
    dwChunk += lpChunk->size;
  }
  s->area.assign((const char*)lpArea, dwUsed);
  s->ppi = *lpPPI;
  s->mgd = *ObtainMGD();
  ReleaseMGD();
  if (lpPPI->hChanPtrArray) {
    const auto* lpTable = (const HMEMBLOCK*)LockMLCCheck(0, lpPPI->hChanPtrArray);
    s->table.assign(lpTable, lpTable + lpPPI->bChannelsAllocated);
    UnlockMLCCheck(0, lpPPI->hChanPtrArray);
  }
  ReleasePPI(0);
  return s;
}

void FuzzRestoreAll(const FuzzSnapshot* s) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  memcpy(Area(), s->area.data(), s->area.size());
  // A record written back is this process's open still, though its slot was opened since.
  for (size_t i = 0; i < s->table.size(); ++i) {
    if (!s->table[i]) continue;
    void* lpRecord = LockMLCCheck(0, s->table[i]);
    DWORD dwSerial = OwnOpenSerial(0, (BYTE)(MLC_FIRST_HSID + i));
    if (*(const BYTE*)lpRecord == MLC_STREAM_CHANNEL)
      ((StreamChannel*)lpRecord)->dwOpenSerial = dwSerial;
    else
      ((MessageChannel*)lpRecord)->dwOpenSerial = dwSerial;
    UnlockMLCCheck(0, s->table[i]);
  }
  *lpPPI = s->ppi;
  *ObtainMGD() = s->mgd;
  ReleaseMGD();
  ReleasePPI(0);
}
