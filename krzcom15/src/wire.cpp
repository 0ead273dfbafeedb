#include "wire.h"

#include <string.h>

namespace krzcom {

namespace {

// Named objects may be opened by every local user, as physical ports are.
struct OpenSecurity {
  SECURITY_DESCRIPTOR sd;
  SECURITY_ATTRIBUTES sa;
  OpenSecurity() {
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
  }
};

DWORD Min(DWORD a, DWORD b) { return a < b ? a : b; }

// Copies into a ring at logical position (head + count), wrapping.
void RingPut(BYTE* pbRing, DWORD cbSize, DWORD dwHead, DWORD cbCount, const BYTE* pbSrc, DWORD cb) {
  DWORD dwTail = (dwHead + cbCount) % cbSize;
  DWORD cbFirst = Min(cb, cbSize - dwTail);
  memcpy(pbRing + dwTail, pbSrc, cbFirst);
  memcpy(pbRing, pbSrc + cbFirst, cb - cbFirst);
}

void RingGet(const BYTE* pbRing, DWORD cbSize, DWORD dwHead, BYTE* pbDst, DWORD cb) {
  DWORD cbFirst = Min(cb, cbSize - dwHead);
  memcpy(pbDst, pbRing + dwHead, cbFirst);
  memcpy(pbDst + cbFirst, pbRing, cb - cbFirst);
}

void ResetStreams(WireHeader* h) {
  h->dwToPeriHead = 0;
  h->cbToPeriCount = 0;
  h->dwSegHead = 0;
  h->dwSegCount = 0;
  h->dwToHostHead = 0;
  SetToHostCount(h, 0);
}

void InitHeader(WireHeader* h, const PortConfig* pConfig) {
  memset(h, 0, sizeof *h);
  h->cbToPeriSize = pConfig->cbToPeripheral;
  h->cbToHostSize = pConfig->cbToHost;
  h->dwCaps = kDefaultCaps;
  h->bAddress = kDefaultAddress;
  h->dwMagic = kWireMagic;
}

BOOL SizeValid(DWORD cb) { return cb >= kMinRingBytes && cb <= kMaxRingBytes; }

// Checks every invariant the ring functions rely on.
BOOL Consistent(const WireHeader* h) {
  if (!SizeValid(h->cbToPeriSize) || !SizeValid(h->cbToHostSize)) return FALSE;
  if (h->dwToPeriHead >= h->cbToPeriSize || h->cbToPeriCount > h->cbToPeriSize) return FALSE;
  if (h->dwToHostHead >= h->cbToHostSize || h->cbToHostCount > h->cbToHostSize) return FALSE;
  if (h->dwSegHead >= kMaxSegments || h->dwSegCount > kMaxSegments) return FALSE;
  if (h->cbDeviceId > kMaxDeviceIdBytes) return FALSE;
  DWORD cbSegments = 0;
  for (DWORD i = 0; i < h->dwSegCount; ++i) {
    DWORD cbSeg = h->aSeg[(h->dwSegHead + i) % kMaxSegments].cbLength;
    if (cbSeg == 0 || cbSeg > h->cbToPeriSize) return FALSE;
    cbSegments += cbSeg;
  }
  return cbSegments == h->cbToPeriCount;
}

// Brings the mapping into a usable state after taking it over from a
// process that died holding the mutex, or when it was never initialised.
void Repair(WireHeader* h, const PortConfig* pConfig) {
  if (h->dwMagic != kWireMagic) {
    if (pConfig != NULL) {
      InitHeader(h, pConfig);
    } else {
      PortConfig c = {};
      c.cbToPeripheral = kDefaultRingBytes;
      c.cbToHost = kDefaultRingBytes;
      InitHeader(h, &c);
    }
    return;
  }
  if (!SizeValid(h->cbToPeriSize)) h->cbToPeriSize = kDefaultRingBytes;
  if (!SizeValid(h->cbToHostSize)) h->cbToHostSize = kDefaultRingBytes;
  if (h->cbDeviceId > kMaxDeviceIdBytes) h->cbDeviceId = 0;
  if (h->fBusy || !Consistent(h)) ResetStreams(h);
  h->fBusy = 0;
}

void CloseIf(HANDLE* ph) {
  if (*ph != NULL) CloseHandle(*ph);
  *ph = NULL;
}

}  // namespace

DWORD WireOpen(Wire* pWire, const PortConfig* pConfig) {
  static OpenSecurity s_security;
  Wire w = {};
  char szName[64];
  DWORD dwError = ERROR_SUCCESS;

  struct EventSlot {
    HANDLE* ph;
    WireObject e;
  } const events[] = {{&w.hToPeri, kObjToPeri},
                      {&w.hToPeriRoom, kObjToPeriRoom},
                      {&w.hToHostRoom, kObjToHostRoom},
                      {&w.hToHost, kObjToHost}};

  WireObjectName(pConfig->szPort, kObjMutex, szName);
  w.hMutex = CreateMutexA(&s_security.sa, FALSE, szName);
  WireObjectName(pConfig->szPort, kObjAlive, szName);
  w.hAlive = CreateMutexA(&s_security.sa, FALSE, szName);
  if (w.hMutex == NULL || w.hAlive == NULL) dwError = GetLastError();
  for (const EventSlot& ev : events) {
    if (dwError != ERROR_SUCCESS) break;
    WireObjectName(pConfig->szPort, ev.e, szName);
    *ev.ph = CreateEventA(&s_security.sa, FALSE, FALSE, szName);
    if (*ev.ph == NULL) dwError = GetLastError();
  }
  if (dwError != ERROR_SUCCESS) {
    WireClose(&w);
    return dwError;
  }

  // The mapping is created and initialised under the mutex, so no process
  // ever sees a half-initialised header (a creator that died half way is
  // repaired by the next one).
  DWORD dwWait = WaitForSingleObject(w.hMutex, kLockTimeoutMs);
  if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED) {
    dwError = dwWait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    WireClose(&w);
    return dwError;
  }
  WireObjectName(pConfig->szPort, kObjMap, szName);
  w.hMap = CreateFileMappingA(INVALID_HANDLE_VALUE, &s_security.sa, PAGE_READWRITE, 0, kMapBytes,
                              szName);
  if (w.hMap != NULL) {
    BYTE* pbView = (BYTE*)MapViewOfFile(w.hMap, FILE_MAP_ALL_ACCESS, 0, 0, kMapBytes);
    if (pbView != NULL) {
      w.pHdr = (WireHeader*)pbView;
      w.pToPeri = pbView + kHeaderBytes;
      w.pToHost = pbView + kHeaderBytes + kMaxRingBytes;
      if (dwWait == WAIT_ABANDONED || w.pHdr->dwMagic != kWireMagic) Repair(w.pHdr, pConfig);
    }
  }
  if (w.pHdr == NULL) {
    dwError = GetLastError();
    if (dwError == ERROR_SUCCESS) dwError = ERROR_NOT_ENOUGH_MEMORY;
  }
  ReleaseMutex(w.hMutex);
  if (dwError != ERROR_SUCCESS) {
    WireClose(&w);
    return dwError;
  }
  *pWire = w;
  return ERROR_SUCCESS;
}

void WireClose(Wire* pWire) {
  if (pWire->pHdr != NULL) UnmapViewOfFile(pWire->pHdr);
  pWire->pHdr = NULL;
  pWire->pToPeri = NULL;
  pWire->pToHost = NULL;
  CloseIf(&pWire->hMap);
  CloseIf(&pWire->hToPeri);
  CloseIf(&pWire->hToPeriRoom);
  CloseIf(&pWire->hToHostRoom);
  CloseIf(&pWire->hToHost);
  CloseIf(&pWire->hAlive);
  CloseIf(&pWire->hMutex);
}

DWORD WireLock(Wire* pWire) {
  DWORD dwWait = WaitForSingleObject(pWire->hMutex, kLockTimeoutMs);
  if (dwWait == WAIT_OBJECT_0) return ERROR_SUCCESS;
  if (dwWait == WAIT_ABANDONED) {
    Repair(pWire->pHdr, NULL);
    return ERROR_SUCCESS;
  }
  return dwWait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
}

void WireUnlock(Wire* pWire) { ReleaseMutex(pWire->hMutex); }

BOOL WirePeripheralAlive(Wire* pWire) {
  WireHeader* h = pWire->pHdr;
  if (!h->fAttached) return FALSE;
  // The peripheral's keeper thread holds the mutex: taking it now means
  // that thread (and, unless it detached, its process) is gone.
  DWORD dwWait = WaitForSingleObject(pWire->hAlive, 0);
  if (dwWait == WAIT_TIMEOUT) return TRUE;
  if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(pWire->hAlive);
  WireSetDetached(pWire);
  return FALSE;
}

void WireSetDetached(Wire* pWire) {
  WireHeader* h = pWire->pHdr;
  h->fBusy = 1;
  h->fAttached = 0;
  h->dwToPeriHead = 0;
  h->cbToPeriCount = 0;
  h->dwSegHead = 0;
  h->dwSegCount = 0;
  h->dwCaps = kDefaultCaps;
  h->cbDeviceId = 0;
  h->fBusy = 0;
}

DWORD WireSetAttached(Wire* pWire) {
  WireHeader* h = pWire->pHdr;
  h->fBusy = 1;
  ResetStreams(h);
  h->dwCaps = kDefaultCaps;
  h->cbDeviceId = 0;
  h->dwSession += 1;
  if (h->dwSession == 0) h->dwSession = 1;
  h->fAttached = 1;
  h->fBusy = 0;
  return h->dwSession;
}

DWORD WireToPeriPut(Wire* pWire, const BYTE* pbSrc, DWORD cb) {
  WireHeader* h = pWire->pHdr;
  cb = Min(cb, h->cbToPeriSize - h->cbToPeriCount);
  if (cb == 0) return 0;
  h->fBusy = 1;
  WireSegment* pLast =
      h->dwSegCount ? &h->aSeg[(h->dwSegHead + h->dwSegCount - 1) % kMaxSegments] : NULL;
  if (pLast != NULL && pLast->bAddress == h->bAddress) {
    pLast->cbLength += cb;
  } else if (h->dwSegCount < kMaxSegments) {
    WireSegment* pNew = &h->aSeg[(h->dwSegHead + h->dwSegCount) % kMaxSegments];
    pNew->cbLength = cb;
    pNew->bAddress = h->bAddress;
    h->dwSegCount += 1;
  } else {
    cb = 0;  // every segment is in use: no room for another address change
  }
  if (cb != 0) {
    RingPut(pWire->pToPeri, h->cbToPeriSize, h->dwToPeriHead, h->cbToPeriCount, pbSrc, cb);
    h->cbToPeriCount += cb;
    h->dwToPeriTotal += cb;
  }
  h->fBusy = 0;
  return cb;
}

DWORD WireToPeriGet(Wire* pWire, BYTE* pbDst, DWORD cb, BYTE* pbAddress) {
  WireHeader* h = pWire->pHdr;
  if (h->dwSegCount == 0 || cb == 0) return 0;
  h->fBusy = 1;
  WireSegment* pSeg = &h->aSeg[h->dwSegHead];
  cb = Min(cb, pSeg->cbLength);
  *pbAddress = pSeg->bAddress;
  RingGet(pWire->pToPeri, h->cbToPeriSize, h->dwToPeriHead, pbDst, cb);
  h->dwToPeriHead = (h->dwToPeriHead + cb) % h->cbToPeriSize;
  h->cbToPeriCount -= cb;
  pSeg->cbLength -= cb;
  if (pSeg->cbLength == 0) {
    h->dwSegHead = (h->dwSegHead + 1) % kMaxSegments;
    h->dwSegCount -= 1;
  }
  h->fBusy = 0;
  return cb;
}

DWORD WireToHostPut(Wire* pWire, const BYTE* pbSrc, DWORD cb) {
  WireHeader* h = pWire->pHdr;
  cb = Min(cb, h->cbToHostSize - h->cbToHostCount);
  if (cb == 0) return 0;
  h->fBusy = 1;
  RingPut(pWire->pToHost, h->cbToHostSize, h->dwToHostHead, h->cbToHostCount, pbSrc, cb);
  SetToHostCount(h, h->cbToHostCount + cb);
  h->dwToHostTotal += cb;
  h->fBusy = 0;
  return cb;
}

DWORD WireToHostGet(Wire* pWire, BYTE* pbDst, DWORD cb) {
  WireHeader* h = pWire->pHdr;
  cb = Min(cb, h->cbToHostCount);
  if (cb == 0) return 0;
  h->fBusy = 1;
  RingGet(pWire->pToHost, h->cbToHostSize, h->dwToHostHead, pbDst, cb);
  h->dwToHostHead = (h->dwToHostHead + cb) % h->cbToHostSize;
  SetToHostCount(h, h->cbToHostCount - cb);
  h->fBusy = 0;
  return cb;
}

}  // namespace krzcom
