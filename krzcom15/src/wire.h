// The virtual wire: the machine-wide state of one port's virtual link.
//
// One named file mapping per port holds a header and two byte rings:
// host-to-peripheral (every byte tagged, through a queue of segments, with
// the ECP channel address in force when the host wrote it) and
// peripheral-to-host. A named mutex guards the whole mapping; four named
// auto-reset events wake waiters (data for the peripheral, room for the host
// writer, room for the peripheral writer, data for a host that waits). A
// second named mutex, held by a thread of the attached peripheral's process
// for as long as it is attached, tells a live peripheral from one whose
// process died.
//
// Every process (and every handle) opens its own set of these objects. The
// rings are touched only by the functions below; header fields are read or
// written by callers only with the wire locked (the one exception being the
// unlocked "anything for the host?" count check, which only reads).
#pragma once

#include <windows.h>

#include "config.h"

namespace krzcom {

constexpr DWORD kWireMagic = 0x4B435731;  // "KCW1": layout version 1
constexpr DWORD kMaxDeviceIdBytes = 1024;
constexpr DWORD kMaxSegments = 1024;
constexpr DWORD kDefaultCaps = 4;        // ECP
constexpr BYTE kDefaultAddress = 0x00;   // ECP channel address after creation
constexpr DWORD kLockTimeoutMs = 10000;  // a lock held longer is a hung process

struct WireSegment {
  DWORD cbLength;  // bytes of the segment still in the ring
  BYTE bAddress;   // their ECP channel address
  BYTE abPad[3];
};

struct WireHeader {
  DWORD dwMagic;       // kWireMagic once initialised
  DWORD fBusy;         // set while an update is under way (repair after a crash)
  DWORD cbToPeriSize;  // ring capacities, fixed when the wire is created
  DWORD cbToHostSize;
  DWORD fAttached;   // a peripheral claims the wire
  DWORD dwSession;   // incremented by every attach; never 0 while attached
  DWORD dwCaps;      // capability word answered to the host
  DWORD cbDeviceId;  // raw device ID as set by the peripheral
  BYTE abDeviceId[kMaxDeviceIdBytes];
  BYTE bAddress;  // host's current ECP channel address
  BYTE abPad[3];
  DWORD dwToPeriHead;  // host-to-peripheral ring
  DWORD cbToPeriCount;
  DWORD dwSegHead;  // segments of that ring, oldest first
  DWORD dwSegCount;
  WireSegment aSeg[kMaxSegments];
  DWORD dwToHostHead;  // peripheral-to-host ring
  DWORD cbToHostCount;
  DWORD dwToPeriTotal;  // bytes ever passed each way (wrapping counters)
  DWORD dwToHostTotal;
};

// The peripheral-to-host count is read without the lock by the host's
// "anything there?" checks (a poll loop and the input wait), so its stores
// and those reads are atomic; every other field is used under the lock.
inline DWORD ToHostCountNow(const WireHeader* h) {
  return __atomic_load_n(&h->cbToHostCount, __ATOMIC_ACQUIRE);
}
inline void SetToHostCount(WireHeader* h, DWORD cb) {
  __atomic_store_n(&h->cbToHostCount, cb, __ATOMIC_RELEASE);
}

// Mapping layout: header, then the two rings at their largest size. Pages
// of a ring beyond its configured capacity are never touched.
constexpr DWORD kHeaderBytes = (sizeof(WireHeader) + 63) & ~63u;
constexpr DWORD kMapBytes = kHeaderBytes + 2 * kMaxRingBytes;

struct Wire {
  HANDLE hMutex;  // guards the mapping
  HANDLE hMap;
  HANDLE hToPeri;      // set: bytes for the peripheral arrived
  HANDLE hToPeriRoom;  // set: the peripheral took bytes, or attached
  HANDLE hToHostRoom;  // set: the host took bytes
  HANDLE hToHost;      // set: bytes for the host arrived
  HANDLE hAlive;       // held by the attached peripheral
  WireHeader* pHdr;
  BYTE* pToPeri;
  BYTE* pToHost;
};

enum WireObject {
  kObjMutex,
  kObjMap,
  kObjToPeri,
  kObjToPeriRoom,
  kObjToHostRoom,
  kObjAlive,
  kObjToHost
};

// Name of one of a port's named objects ("KRZCOM15.LPT1.Mutex" ...); the
// buffer holds at least 40 bytes. (Inline: the tests use it to reach the
// objects directly.)
inline void WireObjectName(LPCSTR lpszPort, WireObject eObject, LPSTR lpszName) {
  static const char* const kSuffix[] = {"Mutex",      "Map",        "ToPeri", "ToPeriRoom",
                                        "ToHostRoom", "Peripheral", "ToHost"};
  wsprintfA(lpszName, "KRZCOM15.%s.%s", lpszPort, kSuffix[eObject]);
}

// Opens (creating when missing) the wire of the configured port. A new wire
// takes its ring sizes from the configuration. Returns ERROR_SUCCESS or the
// error; on failure *pWire is left empty.
DWORD WireOpen(Wire* pWire, const PortConfig* pConfig);
void WireClose(Wire* pWire);

// Takes the wire's mutex (waiting at most kLockTimeoutMs). A mutex left by
// a dead process is taken over; an update it interrupted is undone by
// emptying both rings. Returns ERROR_SUCCESS or the error.
DWORD WireLock(Wire* pWire);
void WireUnlock(Wire* pWire);

// The functions below are called with the wire locked.

// TRUE while a peripheral is attached and its process lives. A peripheral
// found dead is detached here (its pending host bytes are dropped).
BOOL WirePeripheralAlive(Wire* pWire);

// Marks the wire free of a peripheral: drops the bytes waiting for it and
// forgets its device ID and capability word.
void WireSetDetached(Wire* pWire);

// Marks a newly attached peripheral: both rings are emptied, the device ID
// is cleared and the capability word is the default. Returns the session.
DWORD WireSetAttached(Wire* pWire);

// Stores up to cb host bytes, tagged with the current channel address.
// Returns the number stored (0 when the ring or the segment queue is full).
DWORD WireToPeriPut(Wire* pWire, const BYTE* pbSrc, DWORD cb);
// Takes up to cb bytes of one channel address; *pbAddress receives it.
DWORD WireToPeriGet(Wire* pWire, BYTE* pbDst, DWORD cb, BYTE* pbAddress);
DWORD WireToHostPut(Wire* pWire, const BYTE* pbSrc, DWORD cb);
DWORD WireToHostGet(Wire* pWire, BYTE* pbDst, DWORD cb);

}  // namespace krzcom
