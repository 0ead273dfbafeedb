// A client process of the scene tests, on the public calls only. Opens two
// echo channels on LPT1, sends checked traffic through both and closes them:
//   krzmlc15_datachild PSID_A PSID_B BYTES SEED
// or polls the link, opening nothing, until the named event is set:
//   krzmlc15_datachild poll EVENT
// Exit code 0 on success; 10 + the open's code negated when an open failed;
// 3 when the traffic went wrong; 4 when a close failed; 5 without a port
// handle or the event.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "data_traffic.h"
#include "krzmlc15.h"

int main(int argc, char** argv) {
  DWORD hPort = MLCGetPortHandle(0);
  if (!hPort || argc < 3) return 5;
  int iExit = 0;
  if (strcmp(argv[1], "poll") == 0) {
    HANDLE hStop = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!hStop) return 5;
    while (WaitForSingleObject(hStop, 20) == WAIT_TIMEOUT) MLCPollChannels(FALSE);
    CloseHandle(hStop);
  } else if (argc == 5) {
    std::vector<WORD> handles;
    for (int i = 1; i <= 2; ++i) {
      DWORD dwBuffer = 8192;
      WORD hChannel = 0;
      int iResult = MLCOpenChannel(0, (DWORD)atoi(argv[i]), MLC_STREAM_CHANNEL, &dwBuffer,
                                   &hChannel, NULL, 0, 0, NULL, NULL);
      if (iResult != MLC_SUCCESS) return 10 - iResult;
      handles.push_back(hChannel);
    }
    std::string error = EchoTraffic(handles, (size_t)atol(argv[3]), (unsigned)atoi(argv[4]), 60000);
    if (!error.empty()) fprintf(stderr, "datachild: %s\n", error.c_str()), iExit = 3;
    for (WORD h : handles)
      if (MLCCloseChannel(h) != MLC_SUCCESS && iExit == 0) iExit = 4;
  }
  MLCReleasePortHandle(hPort);
  return iExit;
}
