// The seam between the port functions and whatever carries the bytes.
//
// A backend is a small table of functions. Each returns ERROR_SUCCESS or
// the error code the port handle records for VCOMM_GetLastError (CE_PTO for
// a write time-out). Every backend is one file with its table at the
// bottom; BackendFind lists the tables built on this platform.
//
// What every backend may count on, and must keep:
// - pfnOpen runs once per handle (VCOMM_OpenCommA, VCOMM_OpenDeviceA) or
//   per VCOMM_GetDeviceIdA call; pfnClose once, after the last call on the
//   state has returned.
// - The other functions may be called on one state from several threads
//   at once (a bridge reads on one thread while it writes on another): a
//   backend serialises what its device cannot do concurrently itself.
// - pfnRead is polled, often: it must return at once and cost little when
//   nothing is waiting. Time-outs are the caller's: only pfnWrite (the
//   port's write time-out) and pfnWaitInput (its argument) may wait.
#pragma once

#include <windows.h>

#include "config.h"

namespace krzcom {

struct Backend {
  const char* pszName;  // the value of "Backend=" that selects it
  // TRUE when the backend reaches the hardware named by "Device=": such a
  // backend may also be opened directly by VCOMM_OpenDeviceA.
  BOOL fDevice;
  // Opens the port for one handle; *ppState is the backend's own record.
  DWORD (*pfnOpen)(const PortConfig* pConfig, void** ppState);
  void (*pfnClose)(void* pState);
  // Returns at once with what is waiting (*pcbRead may be 0).
  DWORD (*pfnRead)(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead);
  // Stores what the peripheral takes; CE_PTO when it stalls for longer than
  // the port's write time-out, with *pcbWritten still telling the count.
  DWORD (*pfnWrite)(void* pState, const BYTE* pbBuf, DWORD cb, DWORD* pcbWritten);
  // Escape functions; the ones a backend does not know give
  // ERROR_INVALID_FUNCTION.
  DWORD (*pfnEscape)(void* pState, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut);
  // Waits until bytes are waiting to be read (ERROR_SUCCESS) or the time
  // is up (ERROR_TIMEOUT). May be NULL: not every backend can wait.
  DWORD (*pfnWaitInput)(void* pState, DWORD dwTimeoutMs);
};

extern const Backend g_virtualBackend;
extern const Backend g_memoryBackend;  // include/vmem.h
#if defined(__linux__)
extern const Backend g_ppdevBackend;  // ppdev_port.cpp: Linux parallel ports
#endif
#if defined(_WIN32)
extern const Backend g_winparBackend;  // winpar_port.cpp: the Windows parallel-port driver
#endif

// The backend named in a port's configuration, or NULL.
const Backend* BackendFind(const char* pszName);

}  // namespace krzcom
