#include "link_emu_support.h"

#include "channel/chanrec.h"
#include "shared/sharedmem.h"
#include "testutil.h"

Printer::Printer(const emu::EmuConfig& cfg) {
  runner = std::make_unique<emu::WireRunner>(cfg, &trace);
  runner->set_max_idle_wait_ms(5);  // quiet rounds follow each other quickly
  std::string error;
  if (!runner->Start("LPT1", &error)) runner.reset();
}

Printer::~Printer() {
  if (runner) runner->Stop();
}

std::vector<BYTE> Printer::HostErrors() {
  return runner->With([](emu::Peripheral& p) { return p.host_errors(); });
}

std::vector<std::string> Printer::Violations() {
  return runner->With([](emu::Peripheral& p) {
    std::vector<std::string> texts;
    for (const auto& v : p.violations()) texts.push_back(v.text);
    return texts;
  });
}

emu::EmuConfig PrinterConfig(const char* lpszFault) {
  emu::EmuConfig cfg;
  cfg.services = emu::DefaultServices();
  if (lpszFault) {
    emu::Fault fault;
    std::string error;
    if (emu::ParseFault(lpszFault, &fault, &error)) cfg.faults.push_back(fault);
  }
  return cfg;
}

DWORD PortAreaBlocks() { return AreaBlocks(0, false); }

BYTE AddChannel(BYTE bPort, BYTE bType, BYTE bPsid, DWORD dwCredits, WORD wPacketSize, LONG lRing,
                BYTE bSlots, WORD wSlot) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  BYTE bIndex = lpPPI->bChannelsAllocated, bHsid = (BYTE)(MLC_FIRST_HSID + bIndex);
  HMEMBLOCK hRecord = 0;
  auto fill = [&](auto* p) {  // what both kinds of record hold alike
    p->wHostHtoPCredits = (decltype(p->wHostHtoPCredits))dwCredits;
    p->bType = bType, p->bPsid = bPsid, p->bHsid = bHsid, p->bPort = bPort, p->fChannelOpen = 1;
  };
  if (bType == MLC_STREAM_CHANNEL) {
    hRecord = AllocMLCCheck(bPort, sizeof(StreamChannel));
    auto* p = (StreamChannel*)LockMLCCheck(bPort, hRecord);
    *p = StreamChannel{};
    fill(p);
    if (lRing) {
      p->bFlags = STREAM_HAS_BUFFER;
      p->hBuffer = AllocMLCCheck(bPort, (DWORD)lRing);
      p->lLastPos = p->wAllocated = lRing;
    }
  } else {
    hRecord = AllocMLCCheck(bPort, sizeof(MessageChannel));
    auto* p = (MessageChannel*)LockMLCCheck(bPort, hRecord);
    *p = MessageChannel{};
    fill(p);
    for (p->lReadSlot = -1; p->bSlotCount < bSlots; ++p->bSlotCount)
      p->hSlot[p->bSlotCount] = AllocMLCCheck(bPort, wSlot);
  }
  UnlockMLCCheck(bPort, hRecord);
  DWORD cbTable = (bIndex + 1) * sizeof(HMEMBLOCK);
  lpPPI->hChanPtrArray = lpPPI->hChanPtrArray
                             ? ReAllocMLCCheck(bPort, lpPPI->hChanPtrArray, cbTable)
                             : AllocMLCCheck(bPort, cbTable);
  ((HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray))[bIndex] = hRecord;
  UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  lpPPI->bChannelsAllocated++;
  lpPPI->bChannelsUsed++;
  if (wPacketSize) {
    lpPPI->hSocketInfoArray = AllocMLCCheck(bPort, sizeof(SocketInfo));
    auto* lpSocket = (SocketInfo*)LockMLCCheck(bPort, lpPPI->hSocketInfoArray);
    *lpSocket = SocketInfo{};
    lpSocket->bPsid = bPsid;
    lpSocket->wHtoPPacketSize = lpSocket->wPtoHPacketSize = wPacketSize;
    UnlockMLCCheck(bPort, lpPPI->hSocketInfoArray);
    lpPPI->bSocketInfoCount = 1;
  }
  ReleasePPI(bPort);
  return bHsid;
}

namespace {
// Starts LPT1's channel table afresh (the last link's table freed): the
// channel added next is in slot 0.
void FreshTable() {
  PerPortInfo* lpPPI = ObtainPPI(0);
  if (lpPPI->hChanPtrArray) FreeMLCCheck(0, lpPPI->hChanPtrArray);
  lpPPI->hChanPtrArray = 0;
  lpPPI->bChannelsAllocated = lpPPI->bChannelsUsed = 0;
  ReleasePPI(0);
}

// fn on the record in slot 0 of LPT1; then the link is marked up.
template <class T, class Fn>
void FinishSlotZero(Fn fn) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  fn((T*)LockChannelIdx(0, 0));
  UnlockChannelIdx(0, 0);
  lpPPI->fMlcInitDone = TRUE;
  ReleasePPI(0);
}
}  // namespace

void MakeStreamChannel(BYTE bPsid, DWORD dwHostCredits, LONG lRing, WORD wPtoH, LONG lStored) {
  FreshTable();
  AddChannel(0, MLC_STREAM_CHANNEL, bPsid, dwHostCredits, wPtoH, lRing);
  FinishSlotZero<StreamChannel>([&](StreamChannel* p) {
    if (!lRing) return;
    p->wLength = lStored;
    p->lWritePos = lStored % lRing;
    // The ring's worth of credit, at least one packet's.
    p->wPeriPtoHCredits = wPtoH && lRing > wPtoH ? lRing / wPtoH : 1;
  });
}

void MakeMessageChannel(BYTE bPsid, WORD wHostCredits, WORD wPtoH) {
  FreshTable();
  AddChannel(0, MLC_PACKET_CHANNEL, bPsid, wHostCredits, wPtoH, 0, wPtoH ? 1 : 0, wPtoH);
  FinishSlotZero<MessageChannel>([&](MessageChannel* p) { p->wPeriPtoHCredits = wPtoH ? 1 : 0; });
}
