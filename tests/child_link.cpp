// The child program's link commands (see child_main.cpp):
//   linkup <port> <ready> <go>: brings the link up at <go>; 100 + MLCInit's result.
//   linkhold|linkread <port> <ready>: holding the port's mutex, sends MLC_CREDIT
//     and waits for the reply, or waits for the rest of a begun packet; to be killed.
//   reopen <psid> <opened> <done>: opens an echo stream channel (public calls),
//     and at <done> checks it still echoes and closes it; a bit per failed check.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

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
