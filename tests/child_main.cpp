// Child program of the library's tests: a process with the library loaded
// that plays one part (exit codes: what the part reports).
//   hold <ready|-> <go> [use|devid|fill <port>]...: sets up ports (use: a used
//     channel slot; devid: a device-ID block; fill: both and a socket array),
//     sets <ready>, waits for <go>; bit n = port n mapped at attach, + 16 * attach count.
//   ppi <port> <ready> <go>: holds the port's mutex from <ready> to <go>.
//   refail - -: fails an attach (its mutex name taken), attaches again: 16 * count.
//   helper - -: starts the helper and leaves it running; launch: starts and
//     stops it as link initialisation does (19: MLC_SYSTEM_FAILURE).
//   (none): under the helper's name, never sets up; idles (owning the mutex
//     krzmlc15-idle-helper) while the event krzmlc15-idle-helper-end exists, unset.
//   linkup <port> <ready> <go>: brings the link up at <go>; 100 + MLCInit's result.
//   linkhold|linkread <port> <ready>: holding the port's mutex, sends MLC_CREDIT
//     and waits for the reply, or waits for the rest of a begun packet; to be killed.
//   reopen <psid> <opened> <done>: opens an echo stream channel (public calls),
//     and at <done> checks it still echoes and closes it; a bit per failed check.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/lifecycle.h"
#include "shared/sharedmem.h"
#include "testutil.h"

namespace {

HANDLE Event(const char* lpszName) {
  return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, lpszName);
}

void SetUpPort(const char* lpszKind, BYTE bPort) {
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

int AttachFailsAndKeepsNothing() {
  HINSTANCE hInstance = hMlcInstance;
  MlcDllEntry(hInstance, DLL_PROCESS_DETACH);
  HANDLE hBlocker = CreateEventA(NULL, TRUE, FALSE, "KRZMLC15_MLCAttachMutex_");
  if (MlcDllEntry(hInstance, DLL_PROCESS_ATTACH)) return 1;
  if (OpenMutexA(SYNCHRONIZE, FALSE, "PPI_API_MUTEX_LPT1")) return 2;  // made before, kept
  if (AreaExists("KRZMLC15_MLCGlobal_")) return 3;  // the global area is still held
  CloseHandle(hBlocker);
  return MlcDllEntry(hInstance, DLL_PROCESS_ATTACH) ? 16 * (int)AttachedProcesses() : 4;
}

int Launch() {
  int iResult = LaunchHiddenExe();
  if (iResult != 1) return iResult == MLC_SYSTEM_FAILURE ? 19 : 1;
  HWND hHidden = HiddenWindow();
  if (!IsWindow(hHidden)) return 1;
  KillHiddenExe();
  bool fGone = Eventually([&] { return !IsWindow(hHidden); });
  MLCSetPMLInitDeInitEvent();
  MLCCleanup();
  return fGone ? 0 : 1;
}

int IdleUnderTheHelpersName() {
  HANDLE hEnd = OpenEventA(SYNCHRONIZE, FALSE, "krzmlc15-idle-helper-end");
  if (!hEnd) return 250;  // no such test running: end at once
  HANDLE hRunning = CreateMutexA(NULL, TRUE, "krzmlc15-idle-helper");
  HWND hWnd = MakeWindow("IdleHelper");
  SetTimer(hWnd, 1, 50, NULL);
  MSG msg;
  for (int iTicks = 0; iTicks < 1200 && WaitForSingleObject(hEnd, 0) != WAIT_OBJECT_0 &&
                       GetMessageA(&msg, NULL, 0, 0) > 0;
       ++iTicks)
    DispatchMessageA(&msg);
  DestroyWindow(hWnd);
  ReleaseMutex(hRunning);
  return 0;
}

int Check(bool fHeld, int iBit, const char* lpszWhat, int iGot) {
  if (!fHeld) fprintf(stderr, "child: %s gave %d\n", lpszWhat, iGot);
  return fHeld ? 0 : 1 << iBit;
}

int Reopen(DWORD dwPsid, const char* lpszOpened, const char* lpszDone) {
  HANDLE hDone = OpenEventA(SYNCHRONIZE, FALSE, lpszDone);
  DWORD hPort = MLCGetPortHandle(0), dwBuffer = 4096;
  WORD hChannel = 0;
  int iOpen =
      MLCOpenChannel(0, dwPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, NULL, 0, 0, NULL, NULL);
  int iFailed = Check(hDone && hPort && iOpen == MLC_SUCCESS, 0, "open", iOpen);
  SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, lpszOpened));
  if (iFailed || WaitForSingleObject(hDone, 30000) != WAIT_OBJECT_0) return iFailed | 2;
  const char szText[] = "ident";
  char szBack[sizeof szText] = {};
  int iWrite = MLCWrite(hChannel, szText, sizeof szText, TRUE, 10000);
  int iRead = MLCRead(hChannel, szBack, sizeof szBack, TRUE, 10000);
  iFailed |= Check(iWrite == (int)sizeof szText, 2, "write", iWrite);
  iFailed |= Check(iRead == (int)sizeof szText && strcmp(szBack, szText) == 0, 3, "echo", iRead);
  iFailed |= Check(MLCCloseChannel(hChannel) == MLC_SUCCESS, 4, "close", 0);
  MLCReleasePortHandle(hPort);
  return iFailed;
}

// The link commands; -1 when argv names none of them.
int RunLinkCommand(int argc, char** argv) {
  if (argc < 4) return -1;
  if (strcmp(argv[1], "reopen") == 0 && argc >= 5)
    return Reopen(strtoul(argv[2], NULL, 0), argv[3], argv[4]);
  BYTE bPort = (BYTE)atoi(argv[2]);
  HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, argv[3]);
  bool fLink = strncmp(argv[1], "link", 4) == 0;
  if (fLink && !MLCGetPortHandle(bPort)) return 252;
  if (strcmp(argv[1], "linkup") == 0 && argc >= 5) {
    SetEvent(hEvent);
    HANDLE hGo = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    if (WaitForSingleObject(hGo, 30000) != WAIT_OBJECT_0) return 251;
    return 100 + MLCInit(bPort);
  }
  if (strcmp(argv[1], "linkhold") == 0) {
    PerPortInfo* lpPPI = ObtainPPI(bPort);
    const BYTE credit[] = {0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, MLC_CREDIT, 0x80, 0x01, 0x00, 0x00};
    if (!SendPacket(bPort, credit, sizeof credit, NULL)) return 253;
    lpPPI->bLastMlcCommand = MLC_CREDIT;
    SetEvent(hEvent);
    ReceivePacket(bPort, 0, 0, MLC_CREDIT_REPLY, FALSE, 60000);
    ReleasePPI(bPort);
    return 0;
  }
  if (strcmp(argv[1], "linkread") == 0) {
    gMLC_Inter_Packet_Time_Out = 60000;
    ObtainPPI(bPort);
    SetEvent(hEvent);
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    PollForData(bPort, &bHsid, &bPsid, &bCommand, &wLength, 0);
    ReleasePPI(bPort);
    return 0;
  }
  return fLink ? 250 : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return IdleUnderTheHelpersName();
  if (strcmp(argv[1], "launch") == 0) return Launch();
  int iLinkResult = RunLinkCommand(argc, argv);
  if (iLinkResult >= 0) return iLinkResult;
  if (argc < 4 || (strcmp(argv[1], "ppi") == 0 && argc < 5)) return 250;
  if (strcmp(argv[1], "refail") == 0) return AttachFailsAndKeepsNothing();
  if (strcmp(argv[1], "helper") == 0) return LaunchHiddenExe() == 1 ? 0 : 1;
  if (strcmp(argv[1], "hold") == 0) {
    int iResult = 0;
    for (int i = 0; i < MLC_PORT_COUNT; ++i) iResult |= PortMapMemInfo[i] ? 1 << i : 0;
    for (int i = 4; i + 1 < argc; i += 2) SetUpPort(argv[i], (BYTE)atoi(argv[i + 1]));
    iResult += 16 * (int)AttachedProcesses();
    SetEvent(Event(argv[2]));
    return WaitForSingleObject(Event(argv[3]), 30000) == WAIT_OBJECT_0 ? iResult : 251;
  }
  BYTE bPort = (BYTE)atoi(argv[2]);  // ppi
  ObtainPPI(bPort);
  SetEvent(Event(argv[3]));
  if (WaitForSingleObject(Event(argv[4]), 30000) != WAIT_OBJECT_0) return 251;
  ReleasePPI(bPort);
  return 0;
}
