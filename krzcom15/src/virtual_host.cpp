// Host side of the virtual wire: the "virtual" backend of the port functions.
#include <string.h>

#include <new>

#include "backend.h"
#include "krzcom15.h"
#include "wire.h"

namespace krzcom {

namespace {

struct VirtualPort {
  Wire wire;
  DWORD dwWriteTimeoutMs;
};

DWORD Open(const PortConfig* pConfig, void** ppState) {
  VirtualPort* p = new (std::nothrow) VirtualPort();
  if (p == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD dwError = WireOpen(&p->wire, pConfig);
  if (dwError != ERROR_SUCCESS) {
    delete p;
    return dwError;
  }
  p->dwWriteTimeoutMs = pConfig->dwWriteTimeoutMs;
  *ppState = p;
  return ERROR_SUCCESS;
}

void Close(void* pState) {
  VirtualPort* p = (VirtualPort*)pState;
  WireClose(&p->wire);
  delete p;
}

DWORD Read(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead) {
  VirtualPort* p = (VirtualPort*)pState;
  *pcbRead = 0;
  // The link layer polls in a tight loop; an empty ring is answered without
  // taking the lock (a count read a moment too early only means "nothing
  // yet", exactly as a read just before the bytes arrived).
  if (ToHostCountNow(p->wire.pHdr) == 0) return ERROR_SUCCESS;
  DWORD dwError = WireLock(&p->wire);
  if (dwError != ERROR_SUCCESS) return dwError;
  DWORD cbRead = WireToHostGet(&p->wire, pbBuf, cb);
  WireUnlock(&p->wire);
  if (cbRead != 0) SetEvent(p->wire.hToHostRoom);
  *pcbRead = cbRead;
  return ERROR_SUCCESS;
}

// Stores what fits, then waits for the peripheral to make room. The
// time-out counts from the last progress: a peripheral that keeps taking
// bytes, however slowly, never makes a write fail.
DWORD Write(void* pState, const BYTE* pbBuf, DWORD cb, DWORD* pcbWritten) {
  VirtualPort* p = (VirtualPort*)pState;
  DWORD cbDone = 0;
  DWORD dwSince = GetTickCount();
  for (;;) {
    DWORD dwError = WireLock(&p->wire);
    if (dwError != ERROR_SUCCESS) {
      *pcbWritten = cbDone;
      return dwError;
    }
    DWORD cbStored = 0;
    BOOL fRoomLeft = FALSE;
    if (WirePeripheralAlive(&p->wire)) {
      cbStored = WireToPeriPut(&p->wire, pbBuf + cbDone, cb - cbDone);
      WireHeader* h = p->wire.pHdr;
      fRoomLeft = h->cbToPeriCount < h->cbToPeriSize;
    }
    WireUnlock(&p->wire);
    if (cbStored != 0) {
      cbDone += cbStored;
      dwSince = GetTickCount();
      SetEvent(p->wire.hToPeri);
    }
    if (cbDone == cb) {
      // Another writer may be waiting for the room this one did not need.
      if (fRoomLeft && cbStored != 0) SetEvent(p->wire.hToPeriRoom);
      *pcbWritten = cbDone;
      return ERROR_SUCCESS;
    }
    DWORD dwWaited = GetTickCount() - dwSince;
    if (dwWaited >= p->dwWriteTimeoutMs) {
      *pcbWritten = cbDone;
      return CE_PTO;
    }
    WaitForSingleObject(p->wire.hToPeriRoom, p->dwWriteTimeoutMs - dwWaited);
  }
}

DWORD Escape(void* pState, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut) {
  VirtualPort* p = (VirtualPort*)pState;
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL:
    case VCOMM_ESC_GET_DEVICE_ID:
    case VCOMM_ESC_GET_CAPABILITIES:
    case VCOMM_ESC_CHECK_CONNECTION:
      break;
    default:
      return ERROR_INVALID_FUNCTION;
  }
  if ((dwFunction == VCOMM_ESC_SET_ECP_CHANNEL && lpIn == NULL) ||
      (dwFunction == VCOMM_ESC_GET_DEVICE_ID && (lpIn == NULL || lpOut == NULL)) ||
      (dwFunction == VCOMM_ESC_GET_CAPABILITIES && lpOut == NULL))
    return ERROR_INVALID_PARAMETER;

  DWORD dwError = WireLock(&p->wire);
  if (dwError != ERROR_SUCCESS) return dwError;
  WireHeader* h = p->wire.pHdr;
  BOOL fAlive = WirePeripheralAlive(&p->wire);
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL:
      h->bAddress = *(const BYTE*)lpIn;
      break;
    case VCOMM_ESC_GET_DEVICE_ID: {
      DWORD cbRoom = *(DWORD*)lpIn;
      if (!fAlive) {
        dwError = ERROR_NOT_READY;
        break;
      }
      DWORD cbId = cbRoom < h->cbDeviceId ? cbRoom : h->cbDeviceId;
      memcpy(lpOut, h->abDeviceId, cbId);
      *(DWORD*)lpIn = cbId;
      break;
    }
    case VCOMM_ESC_GET_CAPABILITIES:
      // The port itself can do ECP; an attached peripheral may say otherwise.
      *(DWORD*)lpOut = fAlive ? h->dwCaps : kDefaultCaps;
      break;
    case VCOMM_ESC_CHECK_CONNECTION:
      if (!fAlive) dwError = ERROR_NOT_READY;
      break;
  }
  WireUnlock(&p->wire);
  return dwError;
}

DWORD WaitInput(void* pState, DWORD dwTimeoutMs) {
  VirtualPort* p = (VirtualPort*)pState;
  DWORD dwStart = GetTickCount();
  for (;;) {
    if (ToHostCountNow(p->wire.pHdr) != 0) {
      SetEvent(p->wire.hToHost);  // another waiting host may want to know too
      return ERROR_SUCCESS;
    }
    DWORD dwWaited = GetTickCount() - dwStart;
    if (dwWaited >= dwTimeoutMs) return ERROR_TIMEOUT;
    WaitForSingleObject(p->wire.hToHost, dwTimeoutMs - dwWaited);
  }
}

}  // namespace

const Backend g_virtualBackend = {"virtual", FALSE, Open, Close, Read, Write, Escape, WaitInput};

}  // namespace krzcom
