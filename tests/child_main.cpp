// Child program of the library's tests: a process that loads the library
// (attach at start, detach at exit), plays one part, and reports through
// its exit code and named events.
//
//   hold <ready> <go> [use P] [devid P] [fill P]...
//       sets up shared blocks on ports, sets <ready>, waits for <go>;
//       exit code: the attach count seen after setting up.
//       use P   a channel table of one slot holding a stream record;
//       devid P a device-ID block (the port is in use without a channel);
//       fill P  channel table, channel record, socket array and device ID.
//   report
//       exit code: bit n set when this process mapped port n at attach,
//       plus 16 times the attach count.
//   hold-ppi <P> <ready> <go|-> : takes port P's mutex, sets <ready>, waits
//       for <go> (for ever with "-"), releases the mutex.
//   check-ppi <P> <ms> : 0 when CheckPPI(P) gets the port within ms, else 1.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "channel/chanrec.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

HANDLE OpenNamedEvent(const char* lpszName) {
  return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, lpszName);
}

// A channel table of one used slot with a stream record, as an open
// channel leaves it.
void UsePort(BYTE bPort) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  HMEMBLOCK hRecord = AllocMLCCheck(bPort, sizeof(StreamChannel));
  StreamChannel* lpRecord = (StreamChannel*)LockMLCCheck(bPort, hRecord);
  lpRecord->bType = MLC_STREAM_CHANNEL;
  lpRecord->bHsid = MLC_FIRST_HSID;
  lpRecord->bPort = bPort;
  UnlockMLCCheck(bPort, hRecord);
  lpPPI->hChanPtrArray = AllocMLCCheck(bPort, sizeof(HMEMBLOCK));
  HMEMBLOCK* lpTable = (HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray);
  lpTable[0] = hRecord;
  UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
  lpPPI->bChannelsAllocated = 1;
  lpPPI->bChannelsUsed = 1;
  ReleasePPI(bPort);
}

void DeviceId(BYTE bPort) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  lpPPI->hDeviceID = AllocMLCCheck(bPort, 64);
  ReleasePPI(bPort);
}

void Fill(BYTE bPort) {
  UsePort(bPort);
  DeviceId(bPort);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  lpPPI->hSocketInfoArray = AllocMLCCheck(bPort, 2 * SOCKET_INFO_SIZE);
  lpPPI->bSocketInfoCount = 2;
  ReleasePPI(bPort);
}

int Hold(int argc, char** argv) {
  if (argc < 4) return 200;
  HANDLE hReady = OpenNamedEvent(argv[2]);
  HANDLE hGo = OpenNamedEvent(argv[3]);
  if (!hReady || !hGo) return 201;
  for (int i = 4; i + 1 < argc; i += 2) {
    BYTE bPort = (BYTE)atoi(argv[i + 1]);
    if (!strcmp(argv[i], "use")) {
      UsePort(bPort);
    } else if (!strcmp(argv[i], "devid")) {
      DeviceId(bPort);
    } else if (!strcmp(argv[i], "fill")) {
      Fill(bPort);
    } else {
      return 202;
    }
  }
  DWORD dwCount = ObtainMGD()->dwMlcAttachCount;
  ReleaseMGD();
  SetEvent(hReady);
  if (WaitForSingleObject(hGo, 60000) != WAIT_OBJECT_0) return 203;
  CloseHandle(hReady);
  CloseHandle(hGo);
  return (int)dwCount;
}

int Report() {
  int iMapped = 0;
  for (int iPort = 0; iPort < MLC_PORT_COUNT; ++iPort) {
    if (PortMapMemInfo[iPort]) iMapped |= 1 << iPort;
  }
  DWORD dwCount = ObtainMGD()->dwMlcAttachCount;
  ReleaseMGD();
  return iMapped + 16 * (int)dwCount;
}

int HoldPPI(int argc, char** argv) {
  if (argc < 5) return 200;
  BYTE bPort = (BYTE)atoi(argv[2]);
  HANDLE hReady = OpenNamedEvent(argv[3]);
  if (!hReady) return 201;
  ObtainPPI(bPort);
  SetEvent(hReady);
  if (strcmp(argv[4], "-") == 0) {
    for (;;) Sleep(1000);  // until the test kills this process
  }
  HANDLE hGo = OpenNamedEvent(argv[4]);
  if (!hGo || WaitForSingleObject(hGo, 60000) != WAIT_OBJECT_0) return 203;
  ReleasePPI(bPort);
  CloseHandle(hGo);
  CloseHandle(hReady);
  return 0;
}

int CheckPPIWithin(int argc, char** argv) {
  if (argc < 4) return 200;
  BYTE bPort = (BYTE)atoi(argv[2]);
  gPPI_Mutex_Timeout = atoi(argv[3]);
  PerPortInfo* lpPPI = CheckPPI(bPort);
  CheckReleasePPI(lpPPI, bPort);
  return lpPPI ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 250;
  if (!strcmp(argv[1], "hold")) return Hold(argc, argv);
  if (!strcmp(argv[1], "report")) return Report();
  if (!strcmp(argv[1], "hold-ppi")) return HoldPPI(argc, argv);
  if (!strcmp(argv[1], "check-ppi")) return CheckPPIWithin(argc, argv);
  return 251;
}
