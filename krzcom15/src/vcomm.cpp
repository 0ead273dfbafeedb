// The exported port functions: handle bookkeeping and dispatch to the
// backend each port is configured for.
#include <string.h>

#include <atomic>
#include <new>

#include "backend.h"
#include "config.h"
#include "handles.h"
#include "krzcom15.h"
#include "vperi.h"

namespace krzcom {

namespace {

struct HostPort {
  HandleObject base;  // first member: the table holds &base
  const Backend* pBackend;
  void* pState;
  std::atomic<DWORD> dwLastError;
};

void DestroyHostPort(HandleObject* pObj) {
  HostPort* p = (HostPort*)pObj;
  p->pBackend->pfnClose(p->pState);
  delete p;
}

HostPort* GetHost(DWORD hPort) { return (HostPort*)HandleGet(hPort, kKindHost); }

// Records the outcome of a call on the handle and in the thread's error.
BOOL Finish(HostPort* p, DWORD dwError) {
  if (dwError != ERROR_SUCCESS) p->dwLastError = dwError;
  HandlePut(&p->base);
  SetLastError(dwError);
  return dwError == ERROR_SUCCESS;
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

// Opens the backend of a port for one call or one handle.
DWORD OpenBackend(LPCSTR lpszPort, const Backend** ppBackend, void** ppState) {
  PortConfig config;
  if (!ReadPortConfig(lpszPort, &config)) return ERROR_FILE_NOT_FOUND;
  const Backend* pBackend = BackendFind(config.szBackend);
  if (pBackend == NULL) return ERROR_NOT_SUPPORTED;
  DWORD dwError = pBackend->pfnOpen(&config, ppState);
  if (dwError == ERROR_SUCCESS) *ppBackend = pBackend;
  return dwError;
}

// Enters a host port whose backend is open, or fails with dwError.
DWORD InsertHost(HostPort* p, DWORD dwError) {
  if (dwError != ERROR_SUCCESS) {
    delete p;
    return Fail(dwError);
  }
  p->base.dwKind = kKindHost;
  p->base.pfnDestroy = DestroyHostPort;
  p->dwLastError = ERROR_SUCCESS;
  DWORD hPort = HandleInsert(&p->base);
  if (hPort == 0) {
    DestroyHostPort(&p->base);
    return Fail(ERROR_TOO_MANY_OPEN_FILES);
  }
  SetLastError(ERROR_SUCCESS);
  return hPort;
}

}  // namespace

}  // namespace krzcom

using namespace krzcom;

extern "C" {

KRZCOM15_API DWORD WINAPI VCOMM_OpenCommA(LPCSTR lpszPort, DWORD dwMode) {
  (void)dwMode;  // always 1; kept for the callers' sake
  HostPort* p = new (std::nothrow) HostPort();
  if (p == NULL) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  return InsertHost(p, OpenBackend(lpszPort, &p->pBackend, &p->pState));
}

KRZCOM15_API DWORD WINAPI VCOMM_OpenDeviceA(LPCSTR lpszBackend, LPCSTR lpszDevice,
                                            DWORD dwWriteTimeoutMs) {
  const Backend* pBackend = lpszBackend ? BackendFind(lpszBackend) : NULL;
  if (pBackend == NULL || !pBackend->fDevice) return Fail(ERROR_INVALID_NAME);
  if (lpszDevice == NULL || strlen(lpszDevice) >= sizeof(PortConfig{}.szDevice))
    return Fail(ERROR_FILE_NOT_FOUND);
  PortConfig config = {};
  config.iPort = -1;  // not one of LPT1..LPT3
  config.dwWriteTimeoutMs =
      dwWriteTimeoutMs > kMaxWriteTimeoutMs ? kMaxWriteTimeoutMs : dwWriteTimeoutMs;
  strcpy(config.szDevice, lpszDevice);
  HostPort* p = new (std::nothrow) HostPort();
  if (p == NULL) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  p->pBackend = pBackend;
  return InsertHost(p, pBackend->pfnOpen(&config, &p->pState));
}

KRZCOM15_API BOOL WINAPI VCOMM_CloseComm(DWORD hPort) {
  HandleObject* pObj = HandleRemove(hPort, kKindHost);
  if (pObj == NULL) return Fail(ERROR_INVALID_HANDLE);
  HandlePut(pObj);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KRZCOM15_API BOOL WINAPI VCOMM_ReadComm(DWORD hPort, LPVOID lpBuf, DWORD cbToRead,
                                        LPDWORD lpcbRead) {
  HostPort* p = GetHost(hPort);
  if (p == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (lpcbRead == NULL || (lpBuf == NULL && cbToRead != 0))
    return Finish(p, ERROR_INVALID_PARAMETER);
  DWORD cbRead = 0;
  DWORD dwError = p->pBackend->pfnRead(p->pState, (BYTE*)lpBuf, cbToRead, &cbRead);
  *lpcbRead = cbRead;
  return Finish(p, dwError);
}

KRZCOM15_API BOOL WINAPI VCOMM_WriteComm(DWORD hPort, LPCVOID lpBuf, DWORD cbToWrite,
                                         LPDWORD lpcbWritten) {
  HostPort* p = GetHost(hPort);
  if (p == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (lpcbWritten == NULL || (lpBuf == NULL && cbToWrite != 0))
    return Finish(p, ERROR_INVALID_PARAMETER);
  DWORD cbWritten = 0;
  DWORD dwError = cbToWrite == 0
                      ? ERROR_SUCCESS
                      : p->pBackend->pfnWrite(p->pState, (const BYTE*)lpBuf, cbToWrite, &cbWritten);
  *lpcbWritten = cbWritten;
  return Finish(p, dwError);
}

KRZCOM15_API BOOL WINAPI VCOMM_EscapeCommFunction(DWORD hPort, DWORD dwFunction, LPVOID lpIn,
                                                  LPVOID lpOut) {
  HostPort* p = GetHost(hPort);
  if (p == NULL) return Fail(ERROR_INVALID_HANDLE);
  return Finish(p, p->pBackend->pfnEscape(p->pState, dwFunction, lpIn, lpOut));
}

KRZCOM15_API DWORD WINAPI VCOMM_GetLastError(DWORD hPort) {
  HostPort* p = GetHost(hPort);
  if (p == NULL) return ERROR_INVALID_HANDLE;
  DWORD dwError = p->dwLastError;
  HandlePut(&p->base);
  return dwError;
}

KRZCOM15_API BOOL WINAPI VCOMM_WaitInput(DWORD hPort, DWORD dwTimeoutMs) {
  HostPort* p = GetHost(hPort);
  if (p == NULL) return Fail(ERROR_INVALID_HANDLE);
  DWORD dwError = p->pBackend->pfnWaitInput != NULL
                      ? p->pBackend->pfnWaitInput(p->pState, dwTimeoutMs)
                      : ERROR_NOT_SUPPORTED;
  // A time-out is an answer, not a failure of the port: the handle's last
  // error is left alone.
  HandlePut(&p->base);
  SetLastError(dwError);
  return dwError == ERROR_SUCCESS;
}

KRZCOM15_API BOOL WINAPI VPERI_HostWaitInput(DWORD hPort, DWORD dwTimeoutMs) {
  return VCOMM_WaitInput(hPort, dwTimeoutMs);
}

KRZCOM15_API BOOL WINAPI VCOMM_GetDeviceIdA(LPCSTR lpszPort, LPVOID lpBuf, DWORD cbBuf,
                                            LPDWORD lpcbRead) {
  if (lpcbRead != NULL) *lpcbRead = 0;
  if (lpBuf == NULL || lpcbRead == NULL) return Fail(ERROR_INVALID_PARAMETER);
  const Backend* pBackend = NULL;
  void* pState = NULL;
  DWORD dwError = OpenBackend(lpszPort, &pBackend, &pState);
  if (dwError != ERROR_SUCCESS) return Fail(dwError);
  DWORD cbRoom = cbBuf;
  dwError = pBackend->pfnEscape(pState, VCOMM_ESC_GET_DEVICE_ID, &cbRoom, lpBuf);
  pBackend->pfnClose(pState);
  if (dwError != ERROR_SUCCESS) return Fail(dwError);
  *lpcbRead = cbRoom;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
