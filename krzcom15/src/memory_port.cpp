// The "memory" backend (include/vmem.h): a port whose far side is the
// calling process. One record per port, shared by the port's handles in
// this process; the feeding thread and the host's thread take turns under
// an unnamed mutex of the port.
#include <string.h>

#include <deque>
#include <new>
#include <vector>

#include "backend.h"
#include "krzcom15.h"
#include "vmem.h"

namespace krzcom {

namespace {

struct MemoryPort {
  HANDLE hLock;
  std::deque<std::vector<BYTE>> pieces;  // fed, not yet read
  size_t cbFrontRead = 0;                // bytes of the front piece already read
  DWORD cbWritten = 0;
  std::vector<BYTE> kept;  // last bytes written, at most VMEM_KEPT
  std::vector<BYTE> deviceId;
  VMemResponder responder{NULL, NULL};
};

struct MemoryPorts {
  MemoryPort ports[3];
  MemoryPorts() {
    static const char kId[] = "\x00\x29MFG:Memory;CMD:MLC;CLS:PRINTER;MDL:Fed;";
    for (MemoryPort& p : ports) {
      p.hLock = CreateMutexA(NULL, FALSE, NULL);
      p.deviceId.assign(kId, kId + sizeof kId - 1);
    }
  }
};

MemoryPort* PortRecord(int iPort) {
  static MemoryPorts* all = new MemoryPorts();  // lives as long as the process
  return &all->ports[iPort];
}

DWORD Open(const PortConfig* pConfig, void** ppState) {
  *ppState = PortRecord(pConfig->iPort);
  return ERROR_SUCCESS;
}

void Close(void*) {}

DWORD Read(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead) {
  MemoryPort* p = (MemoryPort*)pState;
  WaitForSingleObject(p->hLock, INFINITE);
  DWORD cbRead = 0;
  if (!p->pieces.empty()) {
    const std::vector<BYTE>& front = p->pieces.front();
    size_t cbLeft = front.size() - p->cbFrontRead;
    cbRead = (DWORD)(cb < cbLeft ? cb : cbLeft);
    memcpy(pbBuf, front.data() + p->cbFrontRead, cbRead);
    p->cbFrontRead += cbRead;
    if (p->cbFrontRead == front.size()) {
      p->pieces.pop_front();
      p->cbFrontRead = 0;
    }
  }
  ReleaseMutex(p->hLock);
  *pcbRead = cbRead;
  return ERROR_SUCCESS;
}

DWORD Write(void* pState, const BYTE* pbBuf, DWORD cb, DWORD* pcbWritten) {
  MemoryPort* p = (MemoryPort*)pState;
  WaitForSingleObject(p->hLock, INFINITE);
  p->cbWritten += cb;
  p->kept.insert(p->kept.end(), pbBuf, pbBuf + cb);
  if (p->kept.size() > VMEM_KEPT) p->kept.erase(p->kept.begin(), p->kept.end() - VMEM_KEPT);
  VMemResponder responder = p->responder;
  ReleaseMutex(p->hLock);
  *pcbWritten = cb;
  if (responder.pfnWritten) responder.pfnWritten(responder.pContext, pbBuf, cb);
  return ERROR_SUCCESS;
}

DWORD Take(MemoryPort* p, VMemTaken* pOut) {
  pOut->cbWritten = p->cbWritten;
  pOut->cbUnread = 0;
  for (const std::vector<BYTE>& piece : p->pieces) pOut->cbUnread += (DWORD)piece.size();
  pOut->cbUnread -= (DWORD)p->cbFrontRead;
  pOut->cbKept = (DWORD)p->kept.size();
  if (!p->kept.empty()) memcpy(pOut->abKept, p->kept.data(), p->kept.size());
  p->pieces.clear();
  p->cbFrontRead = 0;
  p->cbWritten = 0;
  p->kept.clear();
  return ERROR_SUCCESS;
}

DWORD Escape(void* pState, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut) {
  MemoryPort* p = (MemoryPort*)pState;
  DWORD dwError = ERROR_SUCCESS;
  WaitForSingleObject(p->hLock, INFINITE);
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL:
    case VCOMM_ESC_CHECK_CONNECTION:
      break;
    case VCOMM_ESC_GET_CAPABILITIES:
      if (lpOut)
        *(DWORD*)lpOut = 4;
      else
        dwError = ERROR_INVALID_PARAMETER;
      break;
    case VCOMM_ESC_GET_DEVICE_ID: {
      if (!lpIn || !lpOut) {
        dwError = ERROR_INVALID_PARAMETER;
        break;
      }
      DWORD cbRoom = *(DWORD*)lpIn;
      DWORD cbId = cbRoom < p->deviceId.size() ? cbRoom : (DWORD)p->deviceId.size();
      memcpy(lpOut, p->deviceId.data(), cbId);
      *(DWORD*)lpIn = cbId;
      break;
    }
    case VMEM_ESC_FEED: {
      const VMemFeed* pFeed = (const VMemFeed*)lpIn;
      if (!pFeed || (!pFeed->pbBytes && pFeed->cbBytes))
        dwError = ERROR_INVALID_PARAMETER;
      else if (pFeed->cbBytes)
        p->pieces.emplace_back(pFeed->pbBytes, pFeed->pbBytes + pFeed->cbBytes);
      break;
    }
    case VMEM_ESC_DEVICE_ID: {
      const VMemFeed* pFeed = (const VMemFeed*)lpIn;
      if (!pFeed || !pFeed->pbBytes)
        dwError = ERROR_INVALID_PARAMETER;
      else
        p->deviceId.assign(pFeed->pbBytes, pFeed->pbBytes + pFeed->cbBytes);
      break;
    }
    case VMEM_ESC_RESPONDER:
      if (lpIn)
        p->responder = *(const VMemResponder*)lpIn;
      else
        dwError = ERROR_INVALID_PARAMETER;
      break;
    case VMEM_ESC_TAKE:
      dwError = lpOut ? Take(p, (VMemTaken*)lpOut) : ERROR_INVALID_PARAMETER;
      break;
    default:
      dwError = ERROR_INVALID_FUNCTION;
  }
  ReleaseMutex(p->hLock);
  return dwError;
}

DWORD WaitInput(void* pState, DWORD dwTimeoutMs) {
  MemoryPort* p = (MemoryPort*)pState;
  WaitForSingleObject(p->hLock, INFINITE);
  bool fAny = !p->pieces.empty();
  ReleaseMutex(p->hLock);
  if (!fAny && dwTimeoutMs) Sleep(dwTimeoutMs < 10 ? dwTimeoutMs : 10);
  return fAny ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

}  // namespace

const Backend g_memoryBackend = {"memory", FALSE, Open, Close, Read, Write, Escape, WaitInput};

}  // namespace krzcom
