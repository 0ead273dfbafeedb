// Measures the virtual wire within one process: host-to-peripheral
// throughput in packet-sized writes, and the round trip of a small packet
// (host write, peripheral read and reply, host waits and reads).
//   krzcom15_bench [PORT] [MEGABYTES] [ROUND_TRIPS]
#include <stdio.h>
#include <stdlib.h>

#include "krzcom15.h"
#include "vperi.h"

namespace {

struct Drain {
  DWORD hPeri;
  DWORD cbTotal;
  DWORD cbSeen;
};

DWORD WINAPI DrainMain(LPVOID lpParam) {
  Drain* d = (Drain*)lpParam;
  static BYTE ab[16384];
  while (d->cbSeen < d->cbTotal) {
    DWORD cb = 0;
    BYTE bAddress = 0;
    if (!VPERI_Read(d->hPeri, ab, sizeof ab, &cb, &bAddress, 5000) || cb == 0) return 1;
    d->cbSeen += cb;
  }
  return 0;
}

struct Echo {
  DWORD hPeri;
  DWORD dwCount;
};

DWORD WINAPI EchoMain(LPVOID lpParam) {
  Echo* e = (Echo*)lpParam;
  BYTE ab[64];
  for (DWORD i = 0; i < e->dwCount; ++i) {
    DWORD cb = 0, cbOut = 0;
    BYTE bAddress = 0;
    if (!VPERI_Read(e->hPeri, ab, sizeof ab, &cb, &bAddress, 5000) || cb == 0) return 1;
    if (!VPERI_Write(e->hPeri, ab, cb, &cbOut, 5000)) return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* pszPort = argc > 1 ? argv[1] : "LPT1";
  DWORD cbTotal = (argc > 2 ? (DWORD)atoi(argv[2]) : 64) * 1024 * 1024;
  DWORD dwTrips = argc > 3 ? (DWORD)atoi(argv[3]) : 20000;
  DWORD hPeri = VPERI_Attach(pszPort);
  DWORD hPort = VCOMM_OpenCommA(pszPort, 1);
  if (hPeri == 0 || hPort == 0) {
    fprintf(stderr, "cannot attach or open %s (error %lu)\n", pszPort,
            (unsigned long)GetLastError());
    return 1;
  }
  BYTE bAddress = 0x4D;
  VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL);

  static BYTE abPacket[4102];
  Drain d = {hPeri, cbTotal, 0};
  HANDLE hThread = CreateThread(NULL, 0, DrainMain, &d, 0, NULL);
  DWORD dwStart = GetTickCount();
  for (DWORD cbDone = 0; cbDone < cbTotal;) {
    DWORD cb = 0, cbWant = cbTotal - cbDone < sizeof abPacket ? cbTotal - cbDone : sizeof abPacket;
    if (!VCOMM_WriteComm(hPort, abPacket, cbWant, &cb)) return 2;
    cbDone += cb;
  }
  WaitForSingleObject(hThread, INFINITE);
  CloseHandle(hThread);
  DWORD dwMs = GetTickCount() - dwStart;
  printf("throughput: %lu bytes in %lu ms = %.1f MB/s (4102-byte writes)\n", (unsigned long)cbTotal,
         (unsigned long)dwMs, dwMs ? cbTotal / 1048576.0 / (dwMs / 1000.0) : 0.0);

  Echo e = {hPeri, dwTrips};
  hThread = CreateThread(NULL, 0, EchoMain, &e, 0, NULL);
  dwStart = GetTickCount();
  for (DWORD i = 0; i < dwTrips; ++i) {
    DWORD cb = 0;
    if (!VCOMM_WriteComm(hPort, abPacket, 8, &cb)) return 3;
    for (DWORD cbBack = 0; cbBack < 8; cbBack += cb) {
      if (!VPERI_HostWaitInput(hPort, 5000)) return 4;
      VCOMM_ReadComm(hPort, abPacket, 8 - cbBack, &cb);
    }
  }
  WaitForSingleObject(hThread, INFINITE);
  CloseHandle(hThread);
  dwMs = GetTickCount() - dwStart;
  printf("round trip: %lu x 8 bytes in %lu ms = %.1f us each\n", (unsigned long)dwTrips,
         (unsigned long)dwMs, dwTrips ? dwMs * 1000.0 / dwTrips : 0.0);
  VCOMM_CloseComm(hPort);
  VPERI_Detach(hPeri);
  return 0;
}
