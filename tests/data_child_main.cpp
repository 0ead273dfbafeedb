// A client process of the scene tests, on the public calls only:
//   krzmlc15_datachild PSID_A PSID_B BYTES SEED  checked echo traffic on two channels
//   krzmlc15_datachild poll EVENT                polls LPT1 until the event is set
// Exit code 0, or 10 - the open's code, 3 wrong traffic, 4 a failed close, 5
// no port handle or event.
#include <stdio.h>
#include <stdlib.h>

#include "data_traffic.h"

int main(int argc, char** argv) {
  DWORD hPort = MLCGetPortHandle(0);
  HANDLE hStop = argc == 3 ? OpenEventA(SYNCHRONIZE, FALSE, argv[2]) : NULL;
  if (!hPort || (argc != 5 && !hStop)) return 5;
  int iExit = 0;
  while (hStop && WaitForSingleObject(hStop, 20) == WAIT_TIMEOUT) MLCPollChannels(FALSE);
  std::vector<WORD> handles(hStop ? 0 : 2);
  for (int i = 0; i < (int)handles.size(); ++i) {
    DWORD dwBuffer = 8192;
    int iResult = MLCOpenChannel(0, (DWORD)atoi(argv[1 + i]), MLC_STREAM_CHANNEL, &dwBuffer,
                                 &handles[i], NULL, 0, 0, NULL, NULL);
    if (iResult != MLC_SUCCESS) return 10 - iResult;
  }
  if (!hStop) {
    std::string error = EchoTraffic(handles, (size_t)atol(argv[3]), (unsigned)atoi(argv[4]), 60000);
    if (!error.empty()) fprintf(stderr, "datachild: %s\n", error.c_str()), iExit = 3;
  }
  for (WORD h : handles)
    if (MLCCloseChannel(h) != MLC_SUCCESS && iExit == 0) iExit = 4;
  MLCReleasePortHandle(hPort);
  return iExit;
}
