// Child program of the library's tests: a process with the library loaded
// (attach at start, detach at exit) that plays one part.
//
//   hold <ready> <go> [use|devid|fill <port>]...
//     use: a channel table with one used slot; devid: a device-ID block;
//     fill: both and a socket array. Then sets <ready> and waits for <go>.
//     Exit code: bit n = port n was mapped at attach, + 16 * attach count.
//     <ready> "-": none.
//   ppi <port> <ready> <go|->
//     holds the port's mutex from <ready> until <go> (with "-": for ever).
//   refail - -
//     alone: detaches, fails to attach while an event holds the name of the
//     attach mutex, then attaches again. Exit code 16 * attach count when
//     the failed attach kept nothing, else 1..4.
//   helper - -
//     starts the helper and leaves without stopping it. Exit code 0 when
//     the helper set up.
//   linkup, linkhold: the link commands of child_link.cpp.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "channel/chanrec.h"
#include "notify/hidden.h"
#include "shared/lifecycle.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

static HANDLE Event(const char* lpszName) {
  return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, lpszName);
}

static void SetUpPort(const char* lpszKind, BYTE bPort) {
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  if (strcmp(lpszKind, "devid") != 0) {
    HMEMBLOCK hRecord = AllocMLCCheck(bPort, sizeof(StreamChannel));
    ((StreamChannel*)LockMLCCheck(bPort, hRecord))->bType = MLC_STREAM_CHANNEL;
    UnlockMLCCheck(bPort, hRecord);
    lpPPI->hChanPtrArray = AllocMLCCheck(bPort, sizeof(HMEMBLOCK));
    *(HMEMBLOCK*)LockMLCCheck(bPort, lpPPI->hChanPtrArray) = hRecord;
    UnlockMLCCheck(bPort, lpPPI->hChanPtrArray);
    lpPPI->bChannelsAllocated = lpPPI->bChannelsUsed = 1;
  }
  if (strcmp(lpszKind, "use") != 0) lpPPI->hDeviceID = AllocMLCCheck(bPort, 64);
  if (strcmp(lpszKind, "fill") == 0) lpPPI->hSocketInfoArray = AllocMLCCheck(bPort, 16);
  ReleasePPI(bPort);
}

static int AttachFailsAndKeepsNothing() {
  HINSTANCE hInstance = hMlcInstance;
  MlcDllEntry(hInstance, DLL_PROCESS_DETACH);
  HANDLE hBlocker = CreateEventA(NULL, TRUE, FALSE, "KRZMLC15_MLCAttachMutex_");
  if (MlcDllEntry(hInstance, DLL_PROCESS_ATTACH)) return 1;
  HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, "PPI_API_MUTEX_LPT1");
  if (hMutex) return 2;  // a mutex made before the failure is still open
  BOOL fInit = FALSE;
  HMEMAREA hArea = memCreateSharedArea(0x10000, "KRZMLC15_MLCGlobal_", 0x10000, &fInit);
  memReleaseSharedArea(hArea);
  if (!fInit) return 3;  // the global area is still held
  CloseHandle(hBlocker);
  if (!MlcDllEntry(hInstance, DLL_PROCESS_ATTACH)) return 4;
  int iResult = 16 * (int)ObtainMGD()->dwMlcAttachCount;
  ReleaseMGD();
  return iResult;
}

// child_link.cpp: -1 when argv names none of its commands.
int RunLinkCommand(int argc, char** argv);

int main(int argc, char** argv) {
  int iLinkResult = RunLinkCommand(argc, argv);
  if (iLinkResult >= 0) return iLinkResult;
  if (argc < 4 || (strcmp(argv[1], "ppi") == 0 && argc < 5)) return 250;
  if (strcmp(argv[1], "refail") == 0) return AttachFailsAndKeepsNothing();
  if (strcmp(argv[1], "helper") == 0) return LaunchHiddenExe() == 1 ? 0 : 1;
  int iPort = atoi(argv[2]);
  HANDLE hReady = Event(strcmp(argv[1], "hold") == 0 ? argv[2] : argv[3]);
  if (strcmp(argv[1], "hold") == 0) {
    int iResult = 0;
    for (int i = 0; i < MLC_PORT_COUNT; ++i) iResult |= PortMapMemInfo[i] ? 1 << i : 0;
    for (int i = 4; i + 1 < argc; i += 2) SetUpPort(argv[i], (BYTE)atoi(argv[i + 1]));
    iResult += 16 * (int)ObtainMGD()->dwMlcAttachCount;
    ReleaseMGD();
    SetEvent(hReady);
    return WaitForSingleObject(Event(argv[3]), 30000) == WAIT_OBJECT_0 ? iResult : 251;
  }
  ObtainPPI((BYTE)iPort);
  SetEvent(hReady);
  if (strcmp(argv[4], "-") == 0) {
    for (;;) Sleep(1000);  // until the test kills this process
  }
  if (WaitForSingleObject(Event(argv[4]), 30000) != WAIT_OBJECT_0) return 251;
  ReleasePPI((BYTE)iPort);
  return 0;
}
