// Drives the ppdev backend on a device through the port functions, one
// step per line of output, for the tests to compare with what the device
// saw: writes around an address change and a device-ID read, a read with
// nothing waiting, a wait for input, a write the printer stalls, and the
// device ID through the configuration of a port.
#include <krzcom15.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

namespace {

DWORD g_hPort = 0;

void Write(const char* psz) {
  DWORD cb = 0;
  BOOL fOk = VCOMM_WriteComm(g_hPort, psz, (DWORD)strlen(psz), &cb);
  printf("write %s %lu error %lu\n", fOk ? "ok" : "failed", (unsigned long)cb,
         fOk ? 0ul : (unsigned long)VCOMM_GetLastError(g_hPort));
}

void Address(BYTE b) { VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_SET_ECP_CHANNEL, &b, NULL); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_hPort = VCOMM_OpenDeviceA("ppdev", argv[1], 200);
  if (g_hPort == 0) {
    printf("open error %lu\n", (unsigned long)GetLastError());
    return 0;
  }
  DWORD dwCaps = 0;
  VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps);
  printf("caps %lu\n", (unsigned long)dwCaps);
  Address(0x4D);
  Write("abc");
  Write("def");
  BYTE abId[1026];
  DWORD cbId = sizeof abId;
  BOOL fOk = VCOMM_EscapeCommFunction(g_hPort, VCOMM_ESC_GET_DEVICE_ID, &cbId, abId);
  printf("id %s %lu %02x%02x\n", fOk ? "ok" : "failed", (unsigned long)cbId, abId[0], abId[1]);
  Write("ghi");
  Address(0x4D);
  Write("jkl");
  Address(0x4E);
  Write("m");
  char abBuf[64];
  DWORD cbRead = 99;
  fOk = VCOMM_ReadComm(g_hPort, abBuf, sizeof abBuf, &cbRead);
  printf("read %s %lu\n", fOk ? "ok" : "failed", (unsigned long)cbRead);
  fOk = VCOMM_WaitInput(g_hPort, 30);
  printf("wait %s %lu\n", fOk ? "ok" : "failed", (unsigned long)GetLastError());
  Write("0123456789012345678901234567890123456789");
  VCOMM_CloseComm(g_hPort);
  // The same device named in KRZCOM15.INI for LPT3.
  DWORD cbLpt3 = 0;
  fOk = VCOMM_GetDeviceIdA("LPT3", abId, sizeof abId, &cbLpt3);
  printf("LPT3 id %s %lu\n", fOk ? "ok" : "failed", (unsigned long)cbLpt3);
  return 0;
}
