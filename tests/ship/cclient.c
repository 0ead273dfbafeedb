/* A client in plain C, linked against the import library without warnings:
 * the records' sizes and field offsets in this build's word size, and with
 * "--all" against the emulator on LPT1 every export called for real. */
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
  (void)dwPort, (void)dwCode, (void)dwAppData, (void)dwCount;
}

static int iFailed;
static void Check(int fOk, const char* lpszWhat, long lGot) {
  if (fOk) return;
  printf("unexpected: %s gave %ld\n", lpszWhat, lGot);
  ++iFailed;
}
static void Expect(long lGot, long lWant, const char* lpszWhat) {
  Check(lGot == lWant, lpszWhat, lGot);
}
#define EXPECT_RESULT(call, want) Expect((long)(call), (want), #call)

/* Every export for real, against a printer whose socket 4 is a source (byte
 * i of its stream is i mod 256). Returns the number of unexpected results. */
static int CallEverything(void) {
  DWORD dwSize = 4096, dwHport, dwStart;
  WORD hChannel = 0;
  BYTE bStatus = 0;
  BYTE abSocket[SOCKET_INFO_SIZE];
  char szId[256];
  unsigned char abData[64];
  PollStats stats[3];
  int iRead = 0, i;
  dwHport = MLCGetPortHandle(0); /* channels need this process's port handle */
  Check(dwHport != 0 && GetHportVal(0) == dwHport, "the port handle", (long)dwHport);
  EXPECT_RESULT(MLCOpenChannel(0, 4, MLC_STREAM_CHANNEL, &dwSize, &hChannel, NULL, 0, 7,
                               OnChannelEvent, &bStatus),
                MLC_SUCCESS);
  if (iFailed) return iFailed;
  EXPECT_RESULT(MLCGetSocketInfo(0, 4, abSocket, (int)sizeof abSocket), MLC_SUCCESS);
  EXPECT_RESULT(MLCWrite(hChannel, "x", 1, FALSE, 0), 1);
  EXPECT_RESULT(MLCResetPollStats(0), MLC_SUCCESS);
  for (dwStart = GetTickCount(); iRead <= 0 && GetTickCount() - dwStart < 10000;) {
    MLCPollChannels(FALSE);
    MLCPollChannels2(TRUE, 0);
    iRead = MLCRead(hChannel, abData, (int)sizeof abData, FALSE, 0);
  }
  Check(iRead > 0, "MLCRead of the source's bytes", iRead);
  for (i = 0; i < iRead; ++i) Check(abData[i] == i % 256, "the source's byte", abData[i]);
  Check(MLCRead64(hChannel, NULL, 0, FALSE, 0) >= 0, "MLCRead64 of the waiting count", 0);
  EXPECT_RESULT(MLCRetrievePollStats(0, &stats[0], &stats[1], &stats[2]), MLC_SUCCESS);
  /* Since the reset: at least the polls made here, by type (0 and 2). */
  Check(stats[0].dwPacketPolls + stats[0].dwEmptyPolls > 0, "type 0 polls", 0);
  Check(stats[2].dwPacketPolls + stats[2].dwEmptyPolls > 0, "type 2 polls", 0);
  EXPECT_RESULT(MLCGetLastLinkError(0, hChannel), 0);
  EXPECT_RESULT(MLCPingVcomm(hChannel), 1);
  EXPECT_RESULT(MLCPingMlc(hChannel), 1);
  Check(MLCGetDeviceId(0, szId, (int)sizeof szId) >= 1 && strstr(szId, "CMD:MLC") != NULL,
        "MLCGetDeviceId", 0);
  EXPECT_RESULT(MLCCompareDevID(0, "COMMAND SET", "CMD", "MLC"), 0);
  EXPECT_RESULT(MLCCompareDevID(0, "COMMAND SET", "CMD", "XYZ"), MLC_DEVICE_ID_MISMATCH);
  EXPECT_RESULT(MLCSetup(NULL), 0); /* the helper did it when the channel opened */
  /* Escape 23, the port's connection check: the port library's word. */
  MLCEscapeCommFunction(hChannel, 23, NULL, 0, NULL, 0, 0);
  {
    DWORD dwLength = sizeof abData; /* shorter than the largest packet: nothing read */
    EXPECT_RESULT(RetrieveData(0, abData, &dwLength), MLC_BUFFER_TOO_SMALL);
  }
  EXPECT_RESULT(CallBackWndProc(NULL, WM_NULL, 0, 0), 0);
  EXPECT_RESULT(P1284WndProc(NULL, WM_NULL, 0, 0), 0);
  EXPECT_RESULT(MLCCloseChannel(hChannel), MLC_SUCCESS);
  EXPECT_RESULT(MLCCloseChannel(hChannel), MLC_INVALID_HANDLE);
  EXPECT_RESULT(MLCReleasePortHandle(dwHport), 1);
  EXPECT_RESULT(MLCReleasePortHandle(dwHport), 0); /* no longer one of this process's */
  return iFailed;
}

/* Calls that leave everything as it was. */
static void Probe(void) {
  PollStats stats[3];
  EXPECT_RESULT(MLCRetrievePollStats(3, &stats[0], &stats[1], &stats[2]), MLC_INVALID_PORT);
  EXPECT_RESULT(MLCRetrievePollStats(0, NULL, &stats[1], &stats[2]), MLC_INVALID_TYPE);
  EXPECT_RESULT(MLCResetPollStats(3), MLC_INVALID_PORT);
  EXPECT_RESULT(MLCCloseChannel(0x0300), MLC_INVALID_HANDLE);
  EXPECT_RESULT(MLCOpenChannel(3, 4, MLC_STREAM_CHANNEL, NULL, NULL, NULL, 0, 0, NULL, NULL),
                MLC_INVALID_PORT);
  EXPECT_RESULT(MLCGetSocketInfo(3, 4, NULL, 0), MLC_INVALID_PORT);
  EXPECT_RESULT(MLCGetDeviceId(3, NULL, 0), MLC_INVALID_PORT);
  EXPECT_RESULT(GetHportVal(3), 0);
  EXPECT_RESULT(MLCGetPortHandle(3), 0);
  EXPECT_RESULT(MLCReleasePortHandle(0), 0);
  EXPECT_RESULT(MLCRedirect(0, 0), 0);
  EXPECT_RESULT(WEP(0), 1);
  EXPECT_RESULT(MLCGetLastLinkError(3, 0), 0);
  EXPECT_RESULT(MLCWaitForPMLInitDeInitEvent(), 0);
  Check(MLCSetPMLInitDeInitEvent(), "MLCSetPMLInitDeInitEvent", 0);
}

int main(int argc, char** argv) {
  /* MLCCleanup belongs to the helper alone: it is only linked here. */
  void(WINAPI* volatile lpfnCleanup)(void) = MLCCleanup;
  if (argc < 2 || strcmp(argv[1], "--all") != 0) {
    printf("usage: cclient --all\n");
    return 2;
  }
  CallEverything();
  Probe();
  (void)lpfnCleanup;
  printf("all exports: %d unexpected results\n", iFailed);
  return iFailed ? 1 : 0;
}
