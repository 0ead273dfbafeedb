// The other process of the KRZCOM15 multi-process tests, started as
// "krzcom15_child EVENT MODE PORT [ARG]"; it sets the named EVENT once ready:
//
//   hold-peri PORT       attach as peripheral with a test device ID, report
//                        ready, then stay attached until killed; exit code =
//                        the error when attaching fails
//   drain PORT N         attach, report ready, read N bytes on address 0x4D;
//                        exit code 0 when they are the test pattern, else 1-4
//   host-echo PORT ADDR  open as host, select ADDR (hex), report ready, wait
//                        for bytes and write them back; exit code = byte count
//                        (100+ on failure)
//   hold-lock PORT       take the wire's mutex, leave an update half done,
//                        report ready, then hold it until killed
#include <stdlib.h>
#include <string.h>

#include "test_support.h"
#include "wire.h"

namespace {

const char* g_pszReady;  // the event to set once ready

bool Ready() {
  HANDLE hReady = OpenEventA(EVENT_MODIFY_STATE, FALSE, g_pszReady);
  return hReady != NULL && SetEvent(hReady);
}

// Reports ready, then waits to be killed (ends by itself should the test die).
int ReadyUntilKilled() {
  if (!Ready()) return 5;
  WaitForSingleObject(CreateEventA(NULL, TRUE, FALSE, NULL), 120000);
  return 0;
}

int HoldPeripheral(const char* pszPort) {
  DWORD hPeri = VPERI_Attach(pszPort);
  if (hPeri == 0) return (int)GetLastError();
  std::string id = TestDeviceId("MFG:Child;CMD:MLC;");
  VPERI_SetDeviceId(hPeri, id.data(), (DWORD)id.size());
  return ReadyUntilKilled();
}

int Drain(const char* pszPort, DWORD cbTotal) {
  DWORD hPeri = VPERI_Attach(pszPort);
  if (hPeri == 0 || !Ready()) return 3;
  static BYTE ab[3000];
  for (DWORD cbDone = 0; cbDone < cbTotal;) {
    DWORD cb = 0;
    BYTE bAddress = 0;
    if (!VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 10000) || cb == 0) return 2;
    if (bAddress != 0x4D) return 1;
    for (DWORD i = 0; i < cb; ++i, ++cbDone)
      if (ab[i] != PatternByte(cbDone)) return 4;
  }
  return VPERI_Detach(hPeri) ? 0 : 3;
}

int HostEcho(const char* pszPort, BYTE bAddress) {
  DWORD hPort = VCOMM_OpenCommA(pszPort, 1);
  if (hPort == 0 || !VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL) ||
      !Ready())
    return 100;
  BYTE ab[256];
  DWORD cbRead = 0, cbWritten = 0;
  if (!VPERI_HostWaitInput(hPort, 10000) || !VCOMM_ReadComm(hPort, ab, sizeof ab, &cbRead))
    return 101;
  if (!VCOMM_WriteComm(hPort, ab, cbRead, &cbWritten) || cbWritten != cbRead) return 102;
  VCOMM_CloseComm(hPort);
  return (int)cbRead;
}

int HoldLock(const char* pszPort) {
  char szName[64];
  krzcom::WireObjectName(pszPort, krzcom::kObjMutex, szName);
  HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, szName);
  krzcom::WireObjectName(pszPort, krzcom::kObjMap, szName);
  HANDLE hMap = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, szName);
  if (hMutex == NULL || hMap == NULL) return 3;
  auto* h = (krzcom::WireHeader*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, krzcom::kMapBytes);
  if (h == NULL || WaitForSingleObject(hMutex, 10000) != WAIT_OBJECT_0) return 4;
  // As if killed in the middle of storing bytes: the counts no longer match.
  h->fBusy = 1;
  h->cbToPeriCount += 5;
  return ReadyUntilKilled();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 200;
  g_pszReady = argv[1];
  const char* pszCmd = argv[2];
  const char* pszPort = argv[3];
  if (strcmp(pszCmd, "hold-peri") == 0) return HoldPeripheral(pszPort);
  if (strcmp(pszCmd, "drain") == 0 && argc > 4) return Drain(pszPort, strtoul(argv[4], NULL, 10));
  if (strcmp(pszCmd, "host-echo") == 0 && argc > 4)
    return HostEcho(pszPort, (BYTE)strtoul(argv[4], NULL, 16));
  if (strcmp(pszCmd, "hold-lock") == 0) return HoldLock(pszPort);
  return 201;
}
