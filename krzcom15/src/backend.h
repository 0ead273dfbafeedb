// The seam between the port functions and whatever carries the bytes.
//
// A backend is a small table of functions. Each returns ERROR_SUCCESS or
// the error code the port handle records for VCOMM_GetLastError (CE_PTO for
// a write time-out). The virtual wire and the in-process memory port exist
// today; hardware backends add a table and a line in BackendFind.
#pragma once

#include <windows.h>

#include "config.h"

namespace krzcom {

struct Backend {
  const char* pszName;  // the value of "Backend=" that selects it
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

// The backend named in a port's configuration, or NULL.
const Backend* BackendFind(const char* pszName);

}  // namespace krzcom
