// The child program's link and client commands (see child_main.cpp):
//
//   linkup <port> <ready> <go>
//     takes a handle of the port, sets <ready>, waits for <go>, brings the
//     port's link up; exit code 100 + MLCInit's result.
//   linkhold <port> <ready>
//     takes a handle of the port and the port's mutex, sends MLC_CREDIT and
//     waits (up to a minute) for its reply holding the mutex, as a sender
//     does; sets <ready> once the command is out. Meant to be killed there.
//   linkread <port> <ready>
//     takes a handle of the port and the port's mutex, sets <ready> and
//     polls, waiting up to a minute for the rest of a packet the peripheral
//     has only begun. Meant to be killed there.
// On the public calls only, exit code 0 when everything held, else a bit
// per failed check:
//   nohandle <hchannel> <psid>
//     without a port handle: every call that could send must refuse (-6).
//   hostile - -
//     P1284WndProc with a window that is not a wait window; the escape that
//     moves the wire's channel address while the link is up must fail.
//   reopen <psid> <opened> <done>
//     opens a stream channel on an echo socket, sets <opened>, waits for
//     <done>, then checks its channel still echoes and closes it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "krzcom15.h"
#include "krzmlc15.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "testutil.h"

namespace {

int Check(bool fHeld, int iBit, const char* lpszWhat, int iGot) {
  if (!fHeld) fprintf(stderr, "child: %s gave %d\n", lpszWhat, iGot);
  return fHeld ? 0 : 1 << iBit;
}

int WithoutPortHandle(DWORD hChannel, DWORD dwPsid) {
  BYTE abInfo[8] = {}, abData[4] = {1, 2, 3, 4};
  DWORD dwBuffer = 4096;
  WORD hNew = 0;
  int r[6] = {
      MLCGetSocketInfo(0, dwPsid, abInfo, sizeof abInfo),
      MLCOpenChannel(0, dwPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hNew, NULL, 0, 0, NULL, NULL),
      MLCWrite(hChannel, abData, sizeof abData, FALSE, 0),
      MLCRead(hChannel, abData, sizeof abData, FALSE, 0),
      MLCPingMlc(hChannel),
      MLCCloseChannel(hChannel)};
  int iFailed = 0;
  for (int i = 0; i < 6; ++i) iFailed |= Check(r[i] == MLC_PHYSICAL_LINK_FAILURE, i, "call", r[i]);
  return iFailed;
}

int Hostile() {
  HWND hWnd = MakeWindow("ChildHostileWnd");
  SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0x1235);  // no wait state: an odd address
  for (WORD wCode = MLC_READ_STREAM; wCode <= MLC_DISCONNECT; ++wCode)
    P1284WndProc(hWnd, MLC_NOTIFY_MSG, 0, MAKELPARAM(wCode, 4));
  DestroyWindow(hWnd);
  DWORD hPort = MLCGetPortHandle(0);
  BYTE bAddress = 0x4E;
  int iEscape = MLCEscapeCommFunction(0, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, 1, NULL, 0, 0);
  MLCReleasePortHandle(hPort);
  return Check(hPort != 0, 0, "port handle", 0) | Check(iEscape == 0, 1, "escape", iEscape);
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

}  // namespace

int RunLinkCommand(int argc, char** argv) {
  if (argc < 4) return -1;
  if (strcmp(argv[1], "nohandle") == 0)
    return WithoutPortHandle(strtoul(argv[2], NULL, 0), strtoul(argv[3], NULL, 0));
  if (strcmp(argv[1], "hostile") == 0) return Hostile();
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
