/* A client in plain C: includes the library's header and calls every
 * export through its declared prototype (the build links it against the
 * import library without warnings), and asserts the size and the field
 * offsets of every record the library shares or hands out, in this build's
 * word size. Run with "--probe" it makes calls that change nothing: no
 * port is opened, no helper started. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "krzmlc15.h"
#include "shared/layout.h" /* asserts the shared records itself */

_Static_assert(sizeof(PollStats) == 8, "PollStats");
_Static_assert(offsetof(PollStats, dwEmptyPolls) == 4, "PollStats layout");
_Static_assert(sizeof(PollStats) == sizeof(PollStat), "the exported form of the port's counters");
_Static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Windows widths");
_Static_assert(MLC_MAKE_CHANNEL(1, 0x80) == 0x0180, "channel handle");

static void CALLBACK OnChannelEvent(DWORD dwPort, DWORD dwCode, DWORD dwAppData, DWORD dwCount) {
  printf("callback: port %lu code %lu data %lu count %lu\n", (unsigned long)dwPort,
         (unsigned long)dwCode, (unsigned long)dwAppData, (unsigned long)dwCount);
}

/* Every export once. Only reached with a printer to talk to. */
static int CallEverything(void) {
  DWORD dwSize = 4096;
  WORD hChannel = 0;
  BYTE bStatus = 0;
  BYTE abSocket[SOCKET_INFO_SIZE];
  char szId[256];
  char abData[64];
  PollStats stats[3];
  int iResult = MLCOpenChannel(0, 4, MLC_STREAM_CHANNEL, &dwSize, &hChannel, NULL, 0, 7,
                               OnChannelEvent, &bStatus);
  if (iResult != MLC_SUCCESS) return iResult;
  MLCGetSocketInfo(0, 4, abSocket, (int)sizeof abSocket);
  MLCWrite(hChannel, "x", 1, FALSE, 0);
  MLCRead(hChannel, abData, (int)sizeof abData, FALSE, 0);
  MLCRead64(hChannel, NULL, 0, FALSE, 0);
  MLCPollChannels(FALSE);
  MLCPollChannels2(TRUE, 0);
  MLCRetrievePollStats(0, &stats[0], &stats[1], &stats[2]);
  MLCResetPollStats(0);
  MLCGetLastLinkError(0, hChannel);
  MLCPingVcomm(hChannel);
  MLCPingMlc(hChannel);
  MLCGetDeviceId(0, szId, (int)sizeof szId);
  MLCCompareDevID(0, "COMMAND SET", "CMD", "MLC");
  MLCEscapeCommFunction(hChannel, 0, NULL, 0, NULL, 0, 0);
  {
    DWORD dwLength = sizeof abData;
    RetrieveData(0, abData, &dwLength);
    CallBackWndProc(NULL, WM_NULL, 0, 0);
    P1284WndProc(NULL, WM_NULL, 0, 0);
  }
  return MLCCloseChannel(hChannel);
}

/* Calls that leave everything as it was. */
static int Probe(void) {
  PollStats stats[3];
  int iFailures = 0;
  iFailures += MLCRetrievePollStats(3, &stats[0], &stats[1], &stats[2]) != MLC_INVALID_PORT;
  iFailures += MLCRetrievePollStats(0, NULL, &stats[1], &stats[2]) != MLC_INVALID_TYPE;
  iFailures += MLCResetPollStats(3) != MLC_INVALID_PORT;
  iFailures += MLCCloseChannel(0x0300) != MLC_INVALID_HANDLE;
  iFailures += MLCOpenChannel(3, 4, MLC_STREAM_CHANNEL, NULL, NULL, NULL, 0, 0, NULL, NULL) !=
               MLC_INVALID_PORT;
  iFailures += MLCGetSocketInfo(3, 4, NULL, 0) != MLC_INVALID_PORT;
  iFailures += MLCGetDeviceId(3, NULL, 0) != MLC_INVALID_PORT;
  iFailures += GetHportVal(3) != 0;
  iFailures += MLCGetPortHandle(3) != 0;
  iFailures += MLCReleasePortHandle(0) != 0;
  iFailures += MLCRedirect(0, 0) != 0;
  iFailures += WEP(0) != 1;
  iFailures += MLCGetLastLinkError(3, 0) != 0;
  iFailures += MLCWaitForPMLInitDeInitEvent() != 0;
  iFailures += !MLCSetPMLInitDeInitEvent();
  printf("probe: %d unexpected results\n", iFailures);
  return iFailures;
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--probe") == 0) return Probe() ? 1 : 0;
  if (argc > 1 && strcmp(argv[1], "--all") == 0) {
    int iResult = CallEverything();
    if (argc > 2) MLCSetup(NULL), MLCCleanup();
    printf("close: %d\n", iResult);
    return iResult == MLC_SUCCESS ? 0 : 1;
  }
  printf("usage: cclient --probe | --all\n");
  return 2;
}
