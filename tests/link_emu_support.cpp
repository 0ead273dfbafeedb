#include "link_emu_support.h"

#include <string.h>

#include "channel/chanrec.h"
#include "shared/locks.h"
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

namespace {
// Puts the record in slot 0 of a new channel table and marks the link up.
void InstallChannel(PerPortInfo* lpPPI, HMEMBLOCK hRecord) {
  lpPPI->hChanPtrArray = AllocMLCCheck(0, sizeof(HMEMBLOCK));
  auto* lpTable = (HMEMBLOCK*)LockMLCCheck(0, lpPPI->hChanPtrArray);
  lpTable[0] = hRecord;
  UnlockMLCCheck(0, lpPPI->hChanPtrArray);
  lpPPI->bChannelsAllocated = 1;
  lpPPI->bChannelsUsed = 1;
  lpPPI->fMlcInitDone = TRUE;
  ReleasePPI(0);
}
}  // namespace

void MakeStreamChannel(BYTE bPsid, DWORD dwHostCredits, LONG lRing, WORD wPtoH, LONG lStored) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  HMEMBLOCK hRecord = AllocMLCCheck(0, sizeof(StreamChannel));
  auto* lpStream = (StreamChannel*)LockMLCCheck(0, hRecord);
  memset(lpStream, 0, sizeof *lpStream);
  lpStream->bType = MLC_STREAM_CHANNEL;
  lpStream->bPsid = bPsid;
  lpStream->bHsid = MLC_FIRST_HSID;
  lpStream->fChannelOpen = 1;
  lpStream->wHostHtoPCredits = dwHostCredits;
  if (lRing) {
    lpStream->bFlags = STREAM_HAS_BUFFER;
    lpStream->hBuffer = AllocMLCCheck(0, (DWORD)lRing);
    lpStream->lLastPos = lpStream->wAllocated = lRing;
    lpStream->wLength = lStored;
    lpStream->lWritePos = lStored % lRing;
    // The ring's worth of credit, at least one packet's.
    lpStream->wPeriPtoHCredits = wPtoH && lRing > wPtoH ? lRing / wPtoH : 1;
  }
  UnlockMLCCheck(0, hRecord);
  if (wPtoH) {
    lpPPI->hSocketInfoArray = AllocMLCCheck(0, sizeof(SocketInfo));
    auto* lpSocket = (SocketInfo*)LockMLCCheck(0, lpPPI->hSocketInfoArray);
    memset(lpSocket, 0, sizeof *lpSocket);
    lpSocket->bPsid = bPsid;
    lpSocket->wHtoPPacketSize = wPtoH;
    lpSocket->wPtoHPacketSize = wPtoH;
    UnlockMLCCheck(0, lpPPI->hSocketInfoArray);
    lpPPI->bSocketInfoCount = 1;
  }
  InstallChannel(lpPPI, hRecord);
}

void MakeMessageChannel(BYTE bPsid, WORD wHostCredits, WORD wPtoH) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  HMEMBLOCK hRecord = AllocMLCCheck(0, sizeof(MessageChannel));
  auto* lpMsgChan = (MessageChannel*)LockMLCCheck(0, hRecord);
  memset(lpMsgChan, 0, sizeof *lpMsgChan);
  lpMsgChan->bType = MLC_PACKET_CHANNEL;
  lpMsgChan->bPsid = bPsid;
  lpMsgChan->bHsid = MLC_FIRST_HSID;
  lpMsgChan->fChannelOpen = 1;
  lpMsgChan->wHostHtoPCredits = wHostCredits;
  lpMsgChan->lReadSlot = -1;
  if (wPtoH) {
    lpMsgChan->hSlot[0] = AllocMLCCheck(0, wPtoH);
    lpMsgChan->bSlotCount = 1;
    lpMsgChan->wPeriPtoHCredits = 1;
    lpPPI->hSocketInfoArray = AllocMLCCheck(0, sizeof(SocketInfo));
    auto* lpSocket = (SocketInfo*)LockMLCCheck(0, lpPPI->hSocketInfoArray);
    memset(lpSocket, 0, sizeof *lpSocket);
    lpSocket->bPsid = bPsid;
    lpSocket->wHtoPPacketSize = lpSocket->wPtoHPacketSize = wPtoH;
    UnlockMLCCheck(0, lpPPI->hSocketInfoArray);
    lpPPI->bSocketInfoCount = 1;
  }
  UnlockMLCCheck(0, hRecord);
  InstallChannel(lpPPI, hRecord);
}
