// The in-memory backend: a script of peripheral bytes in this process
// (vmem.h), handed out in the pieces the script names.
#include <string.h>

#include <mutex>
#include <vector>

#include "backend.h"
#include "krzcom15.h"
#include "vmem.h"

namespace krzcom {

namespace {

struct Script {
  std::mutex lock;
  std::vector<BYTE> bytes;
  std::vector<DWORD> pieces;
  size_t pos = 0;        // next byte to hand out
  size_t piece = 0;      // index of the current piece
  size_t pieceLeft = 0;  // bytes left of the current piece
  DWORD cbWritten = 0;
};

Script& TheScript() {
  static Script* s = new Script;  // never destroyed: handles may outlive main
  return *s;
}

const char kDeviceId[] = "MFG:Memory;CMD:MLC;";

DWORD Open(const PortConfig*, void** ppState) {
  *ppState = &TheScript();
  return ERROR_SUCCESS;
}

void Close(void*) {}

DWORD Read(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead) {
  Script* s = (Script*)pState;
  std::lock_guard<std::mutex> g(s->lock);
  *pcbRead = 0;
  if (s->pos >= s->bytes.size()) return ERROR_SUCCESS;
  if (s->pieceLeft == 0) {
    s->pieceLeft = s->piece < s->pieces.size() ? (s->pieces[s->piece] ? s->pieces[s->piece] : 1)
                                               : s->bytes.size() - s->pos;
    ++s->piece;
  }
  size_t n = s->bytes.size() - s->pos;
  if (n > s->pieceLeft) n = s->pieceLeft;
  if (n > cb) n = cb;
  memcpy(pbBuf, s->bytes.data() + s->pos, n);
  s->pos += n;
  s->pieceLeft -= n;
  *pcbRead = (DWORD)n;
  return ERROR_SUCCESS;
}

DWORD Write(void* pState, const BYTE*, DWORD cb, DWORD* pcbWritten) {
  Script* s = (Script*)pState;
  std::lock_guard<std::mutex> g(s->lock);
  s->cbWritten += cb;
  *pcbWritten = cb;
  return ERROR_SUCCESS;
}

DWORD Escape(void*, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut) {
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL:
    case VCOMM_ESC_CHECK_CONNECTION:
      return ERROR_SUCCESS;
    case VCOMM_ESC_GET_DEVICE_ID: {  // length bytes first
      if (!lpIn || !lpOut) return ERROR_INVALID_PARAMETER;
      DWORD cbRoom = *(DWORD*)lpIn;
      BYTE ab[sizeof kDeviceId + 1];
      DWORD cbId = (DWORD)sizeof kDeviceId - 1 + 2;
      ab[0] = (BYTE)(cbId >> 8);
      ab[1] = (BYTE)cbId;
      memcpy(ab + 2, kDeviceId, sizeof kDeviceId - 1);
      DWORD n = cbId < cbRoom ? cbId : cbRoom;
      memcpy(lpOut, ab, n);
      *(DWORD*)lpIn = n;
      return ERROR_SUCCESS;
    }
    case VCOMM_ESC_GET_CAPABILITIES:
      if (!lpOut) return ERROR_INVALID_PARAMETER;
      *(DWORD*)lpOut = 4;  // ECP
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

DWORD WaitInput(void* pState, DWORD) {
  Script* s = (Script*)pState;
  std::lock_guard<std::mutex> g(s->lock);
  return s->pos < s->bytes.size() ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

}  // namespace

const Backend g_memoryBackend = {"memory", Open, Close, Read, Write, Escape, WaitInput};

}  // namespace krzcom

using namespace krzcom;

extern "C" {

KRZCOM15_API void WINAPI VMEM_SetScript(LPCVOID lpBytes, DWORD cb, const DWORD* lpPieces,
                                        DWORD nPieces) {
  Script& s = TheScript();
  std::lock_guard<std::mutex> g(s.lock);
  s.bytes.assign((const BYTE*)lpBytes, (const BYTE*)lpBytes + cb);
  s.pieces.assign(lpPieces, lpPieces + nPieces);
  s.pos = s.piece = s.pieceLeft = 0;
  s.cbWritten = 0;
}

KRZCOM15_API DWORD WINAPI VMEM_Unread(void) {
  Script& s = TheScript();
  std::lock_guard<std::mutex> g(s.lock);
  return (DWORD)(s.bytes.size() - s.pos);
}

KRZCOM15_API DWORD WINAPI VMEM_Written(void) {
  Script& s = TheScript();
  std::lock_guard<std::mutex> g(s.lock);
  return s.cbWritten;
}

}  // extern "C"
