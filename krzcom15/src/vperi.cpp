// The exported peripheral side of the virtual wire.
//
// While attached, a keeper thread of the peripheral's process holds the
// wire's "Peripheral" mutex. The host side tests that mutex: when it can be
// taken, the keeper (and so, short of a detach, the process) is gone and
// the wire counts as free. A thread of its own keeps the mutex independent
// of which application thread attached, and lets one process be both host
// and peripheral.
#include "vperi.h"

#include <string.h>

#include <new>

#include "config.h"
#include "handles.h"
#include "wire.h"

namespace krzcom {

namespace {

constexpr DWORD kKeeperStartMs = 10000;

struct Peripheral {
  HandleObject base;  // first member: the table holds &base
  Wire wire;
  DWORD dwSession;
  HANDLE hKeeper;   // keeper thread
  HANDLE hStop;     // set: the keeper releases the mutex and ends
  HANDLE hStarted;  // set by the keeper once it knows whether it got the mutex
  BOOL fGotMutex;   // written by the keeper before hStarted
};

DWORD WINAPI KeeperMain(LPVOID lpParam) {
  Peripheral* p = (Peripheral*)lpParam;
  DWORD dwWait = WaitForSingleObject(p->wire.hAlive, 0);
  p->fGotMutex = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
  SetEvent(p->hStarted);
  if (!p->fGotMutex) return 1;
  WaitForSingleObject(p->hStop, INFINITE);
  ReleaseMutex(p->wire.hAlive);
  return 0;
}

// Ends the keeper thread (which releases the mutex) and waits for it.
void StopKeeper(Peripheral* p) {
  if (p->hKeeper == NULL) return;
  SetEvent(p->hStop);
  WaitForSingleObject(p->hKeeper, INFINITE);
  CloseHandle(p->hKeeper);
  p->hKeeper = NULL;
}

void DestroyPeripheral(HandleObject* pObj) {
  Peripheral* p = (Peripheral*)pObj;
  StopKeeper(p);
  if (p->hStop != NULL) CloseHandle(p->hStop);
  if (p->hStarted != NULL) CloseHandle(p->hStarted);
  WireClose(&p->wire);
  delete p;
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

// Claims the wire for p: under the wire's lock, so no host check and no
// other attach runs in between. ERROR_BUSY when a live peripheral holds it.
DWORD Claim(Peripheral* p) {
  DWORD dwError = WireLock(&p->wire);
  if (dwError != ERROR_SUCCESS) return dwError;
  p->hKeeper = CreateThread(NULL, 0, KeeperMain, p, 0, NULL);
  if (p->hKeeper == NULL) {
    dwError = GetLastError();
  } else if (WaitForSingleObject(p->hStarted, kKeeperStartMs) != WAIT_OBJECT_0) {
    dwError = ERROR_TIMEOUT;
  } else if (!p->fGotMutex) {
    dwError = ERROR_BUSY;
  } else {
    p->dwSession = WireSetAttached(&p->wire);
  }
  WireUnlock(&p->wire);
  if (dwError != ERROR_SUCCESS) {
    StopKeeper(p);
    return dwError;
  }
  // Host writers waiting for a peripheral may go on.
  SetEvent(p->wire.hToPeriRoom);
  return ERROR_SUCCESS;
}

// Gives the wire up. The keeper lets go of the mutex before the wire is
// unlocked, so an attach right after this one never finds it still held.
void Unclaim(Peripheral* p) {
  if (WireLock(&p->wire) == ERROR_SUCCESS) {
    if (p->wire.pHdr->fAttached && p->wire.pHdr->dwSession == p->dwSession)
      WireSetDetached(&p->wire);
    StopKeeper(p);
    WireUnlock(&p->wire);
  }
  StopKeeper(p);
}

// Looks up a peripheral handle and locks its wire; on success the caller
// owns a reference and the lock, and the attachment is still this one's.
DWORD Enter(DWORD hPeri, Peripheral** pp) {
  Peripheral* p = (Peripheral*)HandleGet(hPeri, kKindPeripheral);
  if (p == NULL) return ERROR_INVALID_HANDLE;
  DWORD dwError = WireLock(&p->wire);
  if (dwError != ERROR_SUCCESS) {
    HandlePut(&p->base);
    return dwError;
  }
  WireHeader* h = p->wire.pHdr;
  if (!h->fAttached || h->dwSession != p->dwSession) {
    WireUnlock(&p->wire);
    HandlePut(&p->base);
    return ERROR_NOT_READY;
  }
  *pp = p;
  return ERROR_SUCCESS;
}

void Leave(Peripheral* p) {
  WireUnlock(&p->wire);
  HandlePut(&p->base);
}

}  // namespace

}  // namespace krzcom

using namespace krzcom;

extern "C" {

KRZCOM15_API DWORD WINAPI VPERI_Attach(LPCSTR lpszPort) {
  PortConfig config;
  if (!ReadPortConfig(lpszPort, &config)) return Fail(ERROR_FILE_NOT_FOUND);
  Peripheral* p = new (std::nothrow) Peripheral();
  if (p == NULL) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  p->base.dwKind = kKindPeripheral;
  p->base.pfnDestroy = DestroyPeripheral;
  p->hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
  p->hStarted = CreateEventA(NULL, TRUE, FALSE, NULL);
  DWORD dwError = (p->hStop == NULL || p->hStarted == NULL) ? GetLastError() : ERROR_SUCCESS;
  if (dwError == ERROR_SUCCESS) dwError = WireOpen(&p->wire, &config);
  if (dwError == ERROR_SUCCESS) dwError = Claim(p);
  if (dwError != ERROR_SUCCESS) {
    DestroyPeripheral(&p->base);
    return Fail(dwError);
  }
  DWORD hPeri = HandleInsert(&p->base);
  if (hPeri == 0) {
    Unclaim(p);
    DestroyPeripheral(&p->base);
    return Fail(ERROR_TOO_MANY_OPEN_FILES);
  }
  SetLastError(ERROR_SUCCESS);
  return hPeri;
}

KRZCOM15_API BOOL WINAPI VPERI_Detach(DWORD hPeri) {
  Peripheral* p = (Peripheral*)HandleRemove(hPeri, kKindPeripheral);
  if (p == NULL) return Fail(ERROR_INVALID_HANDLE);
  Unclaim(p);
  // Wake this peripheral's own readers and writers: they find it detached.
  SetEvent(p->wire.hToPeri);
  SetEvent(p->wire.hToHostRoom);
  HandlePut(&p->base);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KRZCOM15_API BOOL WINAPI VPERI_SetDeviceId(DWORD hPeri, LPCVOID lpId, DWORD cbId) {
  if (cbId > kMaxDeviceIdBytes || (lpId == NULL && cbId != 0)) return Fail(ERROR_INVALID_PARAMETER);
  Peripheral* p = NULL;
  DWORD dwError = Enter(hPeri, &p);
  if (dwError != ERROR_SUCCESS) return Fail(dwError);
  WireHeader* h = p->wire.pHdr;
  if (cbId != 0) memcpy(h->abDeviceId, lpId, cbId);
  h->cbDeviceId = cbId;
  Leave(p);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KRZCOM15_API BOOL WINAPI VPERI_SetCapabilities(DWORD hPeri, DWORD dwCaps) {
  Peripheral* p = NULL;
  DWORD dwError = Enter(hPeri, &p);
  if (dwError != ERROR_SUCCESS) return Fail(dwError);
  p->wire.pHdr->dwCaps = dwCaps;
  Leave(p);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KRZCOM15_API BOOL WINAPI VPERI_Read(DWORD hPeri, LPVOID lpBuf, DWORD cbBuf, LPDWORD lpcbRead,
                                    LPBYTE lpbAddress, DWORD dwTimeoutMs) {
  if (lpcbRead != NULL) *lpcbRead = 0;
  if (lpcbRead == NULL || (lpBuf == NULL && cbBuf != 0)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD dwStart = GetTickCount();
  for (;;) {
    Peripheral* p = NULL;
    DWORD dwError = Enter(hPeri, &p);
    if (dwError != ERROR_SUCCESS) return Fail(dwError);
    BYTE bAddress = 0;
    DWORD cbRead = WireToPeriGet(&p->wire, (BYTE*)lpBuf, cbBuf, &bAddress);
    BOOL fMore = p->wire.pHdr->cbToPeriCount != 0;
    WireUnlock(&p->wire);
    if (cbRead != 0 || cbBuf == 0) {
      if (cbRead != 0) SetEvent(p->wire.hToPeriRoom);
      if (fMore) SetEvent(p->wire.hToPeri);  // for another reader thread
      HandlePut(&p->base);
      *lpcbRead = cbRead;
      if (lpbAddress != NULL && cbRead != 0) *lpbAddress = bAddress;
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    DWORD dwWaited = GetTickCount() - dwStart;
    if (dwWaited >= dwTimeoutMs) {
      HandlePut(&p->base);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    WaitForSingleObject(p->wire.hToPeri, dwTimeoutMs - dwWaited);
    HandlePut(&p->base);
  }
}

KRZCOM15_API BOOL WINAPI VPERI_Write(DWORD hPeri, LPCVOID lpBuf, DWORD cbBuf, LPDWORD lpcbWritten,
                                     DWORD dwTimeoutMs) {
  if (lpcbWritten != NULL) *lpcbWritten = 0;
  if (lpcbWritten == NULL || (lpBuf == NULL && cbBuf != 0)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD dwStart = GetTickCount();
  DWORD cbDone = 0;
  for (;;) {
    Peripheral* p = NULL;
    DWORD dwError = Enter(hPeri, &p);
    if (dwError != ERROR_SUCCESS) return Fail(dwError);
    DWORD cbStored = WireToHostPut(&p->wire, (const BYTE*)lpBuf + cbDone, cbBuf - cbDone);
    WireUnlock(&p->wire);
    if (cbStored != 0) SetEvent(p->wire.hToHost);
    cbDone += cbStored;
    *lpcbWritten = cbDone;
    if (cbDone == cbBuf) {
      HandlePut(&p->base);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    DWORD dwWaited = GetTickCount() - dwStart;
    if (dwWaited >= dwTimeoutMs) {
      HandlePut(&p->base);
      return Fail(ERROR_TIMEOUT);
    }
    WaitForSingleObject(p->wire.hToHostRoom, dwTimeoutMs - dwWaited);
    HandlePut(&p->base);
  }
}

}  // extern "C"
