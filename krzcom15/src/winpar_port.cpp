// The "winpar" backend: a physical parallel port on Windows through the
// parallel-port class driver ("\\.\LPT1.4": the port's IEEE 1284 device),
// in ECP mode.
//
// - The driver opens a port for one handle only: a second owner gets a
//   sharing violation, reported as ERROR_BUSY.
// - Read and write time-outs are the serial ones (IOCTL_SERIAL_SET_TIMEOUTS):
//   reads return at once with what is there, writes give up after the
//   port's write time-out and say how much went out.
// - The channel address is the driver's (IOCTL_PAR_SET_WRITE_ADDRESS); it
//   is set again only when it changes.
// - The device ID comes raw (length bytes included) from the driver.
// Every device call goes through g_winparCalls, so that a test can put a
// driver of its own in their place.
#include <windows.h>
#include <winioctl.h>
// The driver header needs CTL_CODE from winioctl.h first.
#include <ntddpar.h>
#include <string.h>

#include <new>

#include "backend.h"
#include "krzcom15.h"
#include "winpar_seam.h"

#ifndef IOCTL_SERIAL_SET_TIMEOUTS
#define IOCTL_SERIAL_SET_TIMEOUTS \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

namespace krzcom {

const WinparCalls g_realWinparCalls = {CreateFileA, DeviceIoControl, ReadFile, WriteFile,
                                       CloseHandle};
const WinparCalls* g_winparCalls = &g_realWinparCalls;

namespace {

constexpr DWORD kMaxIdBytes = 1024;

struct WinparPort {
  CRITICAL_SECTION cs;  // one driver call at a time
  HANDLE hDevice = INVALID_HANDLE_VALUE;
  const WinparCalls* pCalls = NULL;
  BYTE bAddress = 0;
  bool fAddressSet = false;
  bool fEcp = false;
};

struct Hold {
  explicit Hold(WinparPort* p) : p_(p) { EnterCriticalSection(&p_->cs); }
  ~Hold() { LeaveCriticalSection(&p_->cs); }
  WinparPort* p_;
};

DWORD LastError() {
  DWORD dwError = GetLastError();
  switch (dwError) {
    case ERROR_SHARING_VIOLATION:
      return ERROR_BUSY;
    case ERROR_PATH_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case ERROR_SUCCESS:
      return ERROR_GEN_FAILURE;
    default:
      return dwError;
  }
}

BOOL Ioctl(WinparPort* p, DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut,
           DWORD* pcbOut) {
  DWORD cb = 0;
  BOOL fOk = p->pCalls->pfnDeviceIoControl(p->hDevice, dwCode, pIn, cbIn, pOut, cbOut, &cb, NULL);
  if (pcbOut) *pcbOut = cb;
  return fOk;
}

DWORD Open(const PortConfig* pConfig, void** ppState) {
  if (pConfig->szDevice[0] == '\0') return ERROR_FILE_NOT_FOUND;
  WinparPort* p = new (std::nothrow) WinparPort();
  if (p == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  p->pCalls = g_winparCalls;
  p->hDevice = p->pCalls->pfnCreateFileA(pConfig->szDevice, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                         OPEN_EXISTING, 0, NULL);
  if (p->hDevice == INVALID_HANDLE_VALUE) {
    DWORD dwError = LastError();
    delete p;
    return dwError;
  }
  COMMTIMEOUTS to = {};
  to.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return at once
  to.WriteTotalTimeoutConstant = pConfig->dwWriteTimeoutMs;
  if (!Ioctl(p, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, NULL, 0, NULL)) {
    DWORD dwError = LastError();
    p->pCalls->pfnCloseHandle(p->hDevice);
    delete p;
    return dwError;
  }
  PARCLASS_NEGOTIATION_MASK mask = {ECP_ANY, ECP_ANY};
  PARCLASS_NEGOTIATION_MASK got = {};
  p->fEcp = Ioctl(p, IOCTL_IEEE1284_NEGOTIATE, &mask, sizeof mask, &got, sizeof got, NULL) &&
            (got.usWriteMask & ECP_ANY) != 0;
  InitializeCriticalSection(&p->cs);
  *ppState = p;
  return ERROR_SUCCESS;
}

void Close(void* pState) {
  WinparPort* p = (WinparPort*)pState;
  p->pCalls->pfnCloseHandle(p->hDevice);
  DeleteCriticalSection(&p->cs);
  delete p;
}

DWORD Read(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead) {
  WinparPort* p = (WinparPort*)pState;
  Hold hold(p);
  *pcbRead = 0;
  DWORD cbRead = 0;
  if (cb && !p->pCalls->pfnReadFile(p->hDevice, pbBuf, cb, &cbRead, NULL)) return LastError();
  *pcbRead = cbRead;
  return ERROR_SUCCESS;
}

DWORD Write(void* pState, const BYTE* pbBuf, DWORD cb, DWORD* pcbWritten) {
  WinparPort* p = (WinparPort*)pState;
  Hold hold(p);
  *pcbWritten = 0;
  if (!p->fAddressSet) {
    if (!Ioctl(p, IOCTL_PAR_SET_WRITE_ADDRESS, &p->bAddress, 1, NULL, 0, NULL)) return LastError();
    p->fAddressSet = true;
  }
  DWORD cbWritten = 0;
  BOOL fOk = p->pCalls->pfnWriteFile(p->hDevice, pbBuf, cb, &cbWritten, NULL);
  *pcbWritten = cbWritten;
  if (!fOk && GetLastError() != ERROR_TIMEOUT && GetLastError() != ERROR_SEM_TIMEOUT)
    return LastError();
  return cbWritten < cb ? CE_PTO : ERROR_SUCCESS;
}

DWORD Escape(void* pState, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut) {
  WinparPort* p = (WinparPort*)pState;
  Hold hold(p);
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL: {
      if (lpIn == NULL) return ERROR_INVALID_PARAMETER;
      BYTE bAddress = *(const BYTE*)lpIn & 0x7F;
      if (bAddress != p->bAddress) p->fAddressSet = false;
      p->bAddress = bAddress;
      return ERROR_SUCCESS;
    }
    case VCOMM_ESC_GET_DEVICE_ID: {
      if (lpIn == NULL || lpOut == NULL) return ERROR_INVALID_PARAMETER;
      BYTE abId[kMaxIdBytes];
      DWORD cbId = 0;
      if (!Ioctl(p, IOCTL_PAR_QUERY_RAW_DEVICE_ID, NULL, 0, abId, sizeof abId, &cbId))
        return LastError();
      DWORD* pcbRoom = (DWORD*)lpIn;
      DWORD cbCopy = cbId < *pcbRoom ? cbId : *pcbRoom;
      memcpy(lpOut, abId, cbCopy);
      *pcbRoom = cbCopy;
      return ERROR_SUCCESS;
    }
    case VCOMM_ESC_GET_CAPABILITIES:
      if (lpOut == NULL) return ERROR_INVALID_PARAMETER;
      *(DWORD*)lpOut = p->fEcp ? VCOMM_CAP_ECP : 0;
      return ERROR_SUCCESS;
    case VCOMM_ESC_CHECK_CONNECTION: {
      PAR_QUERY_INFORMATION info = {};
      if (!Ioctl(p, IOCTL_PAR_QUERY_INFORMATION, NULL, 0, &info, sizeof info, NULL))
        return LastError();
      return (info.Status & (PARALLEL_NOT_CONNECTED | PARALLEL_POWER_OFF)) ? ERROR_NOT_READY
                                                                           : ERROR_SUCCESS;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace

// No wait for input: the driver offers none, so callers poll reads.
const Backend g_winparBackend = {"winpar", TRUE, Open, Close, Read, Write, Escape, NULL};

}  // namespace krzcom
