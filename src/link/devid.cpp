// The IEEE 1284 device ID: parsing, comparing and handing it to clients.
#include <string.h>

#include "debug/cm_debug.h"
#include "krzcom15.h"
#include "link/link.h"
#include "port/porthandle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

BOOL ParseIDString(LPSTR lpszText, WORD wLength, LPCSTR lpszKey1, LPCSTR lpszKey2,
                   LPCSTR lpszValue) {
  if (!lpszText || !lpszValue) return FALSE;
  char* p = lpszText;
  char* end = lpszText + strnlen(lpszText, wLength);
  while (p < end) {
    char* colon = (char*)memchr(p, ':', (size_t)(end - p));
    if (!colon) return FALSE;
    *colon = 0;
    const char* key = p;
    char* value = colon + 1;
    char* semi = (char*)memchr(value, ';', (size_t)(end - value));
    if (!semi) return FALSE;
    *semi = 0;
    if ((lpszKey1 && strcmp(key, lpszKey1) == 0) || (lpszKey2 && strcmp(key, lpszKey2) == 0)) {
      // Only the first key with either name is looked at.
      for (char* item = value;;) {
        char* comma = strchr(item, ',');
        if (comma) *comma = 0;
        if (strcmp(item, lpszValue) == 0) return TRUE;
        if (!comma) return FALSE;
        item = comma + 1;
      }
    }
    p = semi + 1;
  }
  return FALSE;
}

namespace {

// Reads the raw device ID through a handle of the port (or by name when
// there is none) into lpId, which has room for MLC_DEVICE_ID_SIZE + 1
// bytes. FALSE on failure, with *lpdwError the port's error.
BOOL ReadRawId(BYTE bPort, DWORD hPort, BYTE* lpId, DWORD cbRoom, DWORD* lpcbId, DWORD* lpdwError) {
  DWORD dwCount = cbRoom;
  BOOL fOK;
  if (hPort) {
    fOK = VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &dwCount, lpId);
    *lpdwError = fOK ? 0 : VCOMM_GetLastError(hPort);
  } else {
    fOK = VCOMM_GetDeviceIdA(MLCPortInfoStr[bPort].szName, lpId, cbRoom, &dwCount);
    *lpdwError = fOK ? 0 : GetLastError();
  }
  *lpcbId = fOK ? (dwCount > cbRoom ? cbRoom : dwCount) : 0;
  return fOK;
}

// Copies what fits of lpszText into the caller's buffer (iLength > 0
// bytes): the whole text when it fits with its terminator, else the first
// iLength - 2 characters and a terminator.
int HandOut(LPSTR lpBuffer, int iLength, LPCSTR lpszText, int iTextLength, int iSuccess) {
  if (iLength > iTextLength) {
    CopyMemory(lpBuffer, lpszText, (SIZE_T)iTextLength + 1);
    return iSuccess;
  }
  int iCopy = iLength - 2 > 0 ? iLength - 2 : 0;
  CopyMemory(lpBuffer, lpszText, (SIZE_T)iCopy);
  lpBuffer[iCopy] = 0;
  return MLC_BUFFER_TOO_SMALL;
}

// Reads the ID from the device, stores its text alone in the port's block
// and hands it out.
int ReadAndHandOut(BYTE bPort, PerPortInfo* lpPPI, DWORD hPort, LPSTR lpBuffer, int iLength,
                   int iSuccessFromText) {
  if (!lpPPI->hDeviceID) {
    lpPPI->hDeviceID = AllocMLCCheck(bPort, MLC_DEVICE_ID_SIZE);
    if (!lpPPI->hDeviceID) return MLC_SYSTEM_FAILURE;
  }
  BYTE abId[MLC_DEVICE_ID_REQUEST + 1];
  DWORD cbId = 0, dwError = 0;
  if (!ReadRawId(bPort, hPort, abId, MLC_DEVICE_ID_REQUEST, &cbId, &dwError)) {
    if (hPort) lpPPI->lLastLinkError = (LONG)dwError;
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  if (cbId <= 2) return MLC_NO_DEVICE_ID;
  DWORD cbText = WireWord(abId);
  if (cbText < 3) return MLC_NO_DEVICE_ID;
  if (cbText > cbId) cbText = cbId;
  abId[cbText] = 0;
  LPCSTR lpszText = (LPCSTR)abId + 2;
  int iTextLength = (int)strlen(lpszText);
  LPSTR lpszStored = (LPSTR)LockMLCCheck(bPort, lpPPI->hDeviceID);
  if (lpszStored) {
    CopyMemory(lpszStored, lpszText, (SIZE_T)iTextLength + 1);
    UnlockMLCCheck(bPort, lpPPI->hDeviceID);
  }
  return HandOut(lpBuffer, iLength, lpszText, iTextLength,
                 iSuccessFromText ? iTextLength : MLC_SUCCESS);
}

}  // namespace

int WINAPI MLCCompareDevID(DWORD dwPort, LPCSTR lpszKey1, LPCSTR lpszKey2, LPCSTR lpszValue) {
  if (dwPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  BYTE bPort = (BYTE)dwPort;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  DWORD hPort = GetPortHandle(bPort);
  DWORD hOpened = 0;
  if (!hPort) {
    hOpened = hPort = VCOMM_OpenCommA(MLCPortInfoStr[bPort].szName, 1);
    if (!hPort) {
      ReleasePPI(bPort);
      return MLC_PHYSICAL_LINK_FAILURE;
    }
  }
  BYTE abId[MLC_DEVICE_ID_SIZE + 1];
  DWORD cbId = 0, dwError = 0;
  BOOL fRead = ReadRawId(bPort, hPort, abId, MLC_DEVICE_ID_SIZE, &cbId, &dwError);
  if (!fRead) lpPPI->lLastLinkError = (LONG)dwError;
  if (hOpened) VCOMM_CloseComm(hOpened);
  ReleasePPI(bPort);
  if (!fRead || cbId <= 2) return MLC_PHYSICAL_LINK_FAILURE;
  DWORD cbLength = WireWord(abId);
  // Shorter than delivered (and so every length below 3) is refused; this
  // test is the reverse of the bring-up's and is kept as callers know it.
  if (cbLength < cbId) return MLC_PHYSICAL_LINK_FAILURE;
  DWORD cbCut = cbLength < cbId ? cbLength : cbId;
  abId[cbCut] = 0;
  if (ParseIDString((LPSTR)abId + 2, (WORD)(cbCut - 2), lpszKey1, lpszKey2, lpszValue)) return 0;
  return MLC_DEVICE_ID_MISMATCH;
}

int WINAPI MLCGetDeviceId(DWORD dwPort, LPSTR lpBuffer, int iLength) {
  // Nothing fits in no room: refuse without writing.
  if (!lpBuffer || iLength <= 0)
    return dwPort >= MLC_PORT_COUNT ? MLC_INVALID_PORT : MLC_BUFFER_TOO_SMALL;
  lpBuffer[0] = 0;
  if (dwPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  BYTE bPort = (BYTE)dwPort;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  int iReturn;
  DWORD hPort = GetPortHandle(bPort);
  LPSTR lpszStored =
      (hPort && lpPPI->hDeviceID) ? (LPSTR)LockMLCCheck(bPort, lpPPI->hDeviceID) : NULL;
  if (lpszStored && lpszStored[0]) {
    int iTextLength = (int)strnlen(lpszStored, MLC_DEVICE_ID_SIZE - 1);
    if (iLength > iTextLength) {
      CopyMemory(lpBuffer, lpszStored, (SIZE_T)iTextLength);
      lpBuffer[iTextLength] = 0;
      iReturn = MLC_SUCCESS;
    } else {
      iReturn = MLC_BUFFER_TOO_SMALL;
    }
    UnlockMLCCheck(bPort, lpPPI->hDeviceID);
  } else {
    if (lpszStored) UnlockMLCCheck(bPort, lpPPI->hDeviceID);
    // No handle: read by name. A handle but nothing read yet: read through
    // the handle rather than answer from an empty block.
    iReturn = ReadAndHandOut(bPort, lpPPI, hPort, lpBuffer, iLength, !hPort);
  }
  MLCLOG(DBG_EXIT, "<--MLCGetDeviceId, iReturn %d\n", iReturn);
  ReleasePPI(bPort);
  return iReturn;
}
