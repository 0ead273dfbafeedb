// A client process of the data tests: opens two echo channels on LPT1,
// sends checked traffic through both at once and closes them.
//   krzmlc15_datachild PSID_A PSID_B BYTES SEED
// or polls the link every 20 ms for TOTAL ms after DELAY ms, opening nothing:
//   krzmlc15_datachild poll DELAY TOTAL
// Exit code 0 on success; 10 + the open's code negated when an open
// failed; 3 when the traffic went wrong; 4 when a close failed; 5 without a port handle.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "data_traffic.h"
#include "krzmlc15.h"

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "poll") == 0) {
    DWORD hPort = MLCGetPortHandle(0);
    if (!hPort) return 5;
    Sleep((DWORD)atoi(argv[2]));
    for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < (DWORD)atoi(argv[3]);) {
      MLCPollChannels(FALSE);
      Sleep(20);
    }
    MLCReleasePortHandle(hPort);
    return 0;
  }
  if (argc < 5) return 2;
  DWORD hPort = MLCGetPortHandle(0);
  if (!hPort) return 5;
  std::vector<WORD> handles;
  for (int i = 1; i <= 2; ++i) {
    DWORD dwBuffer = 8192;
    WORD hChannel = 0;
    int iResult = MLCOpenChannel(0, (DWORD)atoi(argv[i]), MLC_STREAM_CHANNEL, &dwBuffer, &hChannel,
                                 NULL, 0, 0, NULL, NULL);
    if (iResult != MLC_SUCCESS) {
      fprintf(stderr, "datachild: open of socket %s: %d\n", argv[i], iResult);
      return 10 - iResult;
    }
    handles.push_back(hChannel);
  }
  std::string error = EchoTraffic(handles, (size_t)atol(argv[3]), (unsigned)atoi(argv[4]), 60000);
  int iExit = 0;
  if (!error.empty()) {
    fprintf(stderr, "datachild: %s\n", error.c_str());
    iExit = 3;
  }
  for (WORD h : handles)
    if (MLCCloseChannel(h) != MLC_SUCCESS && iExit == 0) iExit = 4;
  MLCReleasePortHandle(hPort);
  return iExit;
}
