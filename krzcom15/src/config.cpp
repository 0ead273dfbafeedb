#include "config.h"

namespace krzcom {

namespace {

const char kIniFile[] = "KRZCOM15.INI";

DWORD Clamp(UINT uValue, DWORD dwMin, DWORD dwMax) {
  if (uValue < dwMin) return dwMin;
  if (uValue > dwMax) return dwMax;
  return uValue;
}

}  // namespace

int PortIndex(LPCSTR lpszPort) {
  if (lpszPort == NULL) return -1;
  const char* p = lpszPort;
  if ((p[0] != 'L' && p[0] != 'l') || (p[1] != 'P' && p[1] != 'p') || (p[2] != 'T' && p[2] != 't'))
    return -1;
  if (p[3] < '1' || p[3] > '0' + kPortCount || p[4] != '\0') return -1;
  return p[3] - '1';
}

BOOL ReadPortConfig(LPCSTR lpszPort, PortConfig* pConfig) {
  int iPort = PortIndex(lpszPort);
  if (iPort < 0 || pConfig == NULL) return FALSE;
  PortConfig c = {};
  c.iPort = iPort;
  c.szPort[0] = 'L';
  c.szPort[1] = 'P';
  c.szPort[2] = 'T';
  c.szPort[3] = (char)('1' + iPort);
  c.szPort[4] = '\0';

  char szBackend[sizeof c.szBackend];
  GetPrivateProfileStringA(c.szPort, "Backend", "virtual", szBackend, sizeof szBackend, kIniFile);
  for (size_t i = 0; i < sizeof szBackend; ++i) {
    char ch = szBackend[i];
    c.szBackend[i] = (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
    if (ch == '\0') break;
  }
  c.szBackend[sizeof c.szBackend - 1] = '\0';

  GetPrivateProfileStringA(c.szPort, "Device", "", c.szDevice, sizeof c.szDevice, kIniFile);
  c.dwWriteTimeoutMs =
      Clamp(GetPrivateProfileIntA(c.szPort, "WriteTimeout", kDefaultWriteTimeoutMs, kIniFile), 0,
            kMaxWriteTimeoutMs);
  c.cbToPeripheral =
      Clamp(GetPrivateProfileIntA(c.szPort, "ToPeripheralBuffer", kDefaultRingBytes, kIniFile),
            kMinRingBytes, kMaxRingBytes);
  c.cbToHost = Clamp(GetPrivateProfileIntA(c.szPort, "ToHostBuffer", kDefaultRingBytes, kIniFile),
                     kMinRingBytes, kMaxRingBytes);
  *pConfig = c;
  return TRUE;
}

}  // namespace krzcom
