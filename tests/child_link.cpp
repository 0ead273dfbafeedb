// The child program's link commands (see child_main.cpp):
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
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "krzmlc15.h"
#include "link/link.h"
#include "shared/config.h"
#include "shared/locks.h"

int RunLinkCommand(int argc, char** argv) {
  if (argc < 4) return -1;
  BYTE bPort = (BYTE)atoi(argv[2]);
  HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, argv[3]);
  if (strcmp(argv[1], "linkup") == 0 && argc >= 5) {
    if (!MLCGetPortHandle(bPort)) return 252;
    SetEvent(hEvent);
    HANDLE hGo = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    if (WaitForSingleObject(hGo, 30000) != WAIT_OBJECT_0) return 251;
    return 100 + MLCInit(bPort);
  }
  if (strcmp(argv[1], "linkhold") == 0) {
    if (!MLCGetPortHandle(bPort)) return 252;
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
    if (!MLCGetPortHandle(bPort)) return 252;
    gMLC_Inter_Packet_Time_Out = 60000;
    ObtainPPI(bPort);
    SetEvent(hEvent);
    BYTE bHsid, bPsid, bCommand;
    WORD wLength;
    PollForData(bPort, &bHsid, &bPsid, &bCommand, &wLength, 0);
    ReleasePPI(bPort);
    return 0;
  }
  return -1;
}
