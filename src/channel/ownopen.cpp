// Opens of this process, by port and slot (see ownopen.h). The table is
// private to the process and read and written under the port's mutex.
#include "channel/ownopen.h"

#include <atomic>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "shared/locks.h"

namespace {

constexpr int kSlots = 0x100 - MLC_FIRST_HSID;
// Atomic: a blocking call's window reads its entry without the port's mutex.
std::atomic<DWORD> s_adwOwnSerial[MLC_PORT_COUNT][kSlots];
std::atomic<DWORD> s_dwLastSerial{0};

bool InRange(BYTE bPort, BYTE bHsid) { return bPort < MLC_PORT_COUNT && bHsid >= MLC_FIRST_HSID; }

}  // namespace

DWORD NoteOwnOpen(BYTE bPort, BYTE bHsid) {
  DWORD dwSerial = ++s_dwLastSerial;
  if (dwSerial == 0) dwSerial = ++s_dwLastSerial;  // 0 stands for "no open"
  if (InRange(bPort, bHsid))
    s_adwOwnSerial[bPort][bHsid - MLC_FIRST_HSID].store(dwSerial, std::memory_order_relaxed);
  return dwSerial;
}

BOOL OwnOpenStale(BYTE bPort, BYTE bHsid, const void* lpRecord) {
  DWORD dwOwn = OwnOpenSerial(bPort, bHsid);
  if (!dwOwn || !lpRecord) return FALSE;
  DWORD dwProcess, dwSerial;
  if (*(const BYTE*)lpRecord == MLC_STREAM_CHANNEL) {
    dwProcess = ((const StreamChannel*)lpRecord)->dwOpenProcess;
    dwSerial = ((const StreamChannel*)lpRecord)->dwOpenSerial;
  } else {
    dwProcess = ((const MessageChannel*)lpRecord)->dwOpenProcess;
    dwSerial = ((const MessageChannel*)lpRecord)->dwOpenSerial;
  }
  return dwProcess != GetCurrentProcessId() || dwSerial != dwOwn;
}

BOOL OwnHandleStale(DWORD hChannel) {
  BYTE bPort = MLC_CHANNEL_PORT(hChannel);
  BYTE bHsid = MLC_CHANNEL_HSID(hChannel);
  if (!InRange(bPort, bHsid)) return FALSE;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  ObtainPPI(bPort);
  const void* lpRecord = LockChannelIdx(bPort, bIndex);
  BOOL fStale = OwnOpenStale(bPort, bHsid, lpRecord);
  if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return fStale;
}

DWORD OwnOpenSerial(BYTE bPort, BYTE bHsid) {
  return InRange(bPort, bHsid)
             ? s_adwOwnSerial[bPort][bHsid - MLC_FIRST_HSID].load(std::memory_order_relaxed)
             : 0;
}

void ForgetOwnOpen(BYTE bPort, BYTE bHsid) {
  if (InRange(bPort, bHsid))
    s_adwOwnSerial[bPort][bHsid - MLC_FIRST_HSID].store(0, std::memory_order_relaxed);
}
