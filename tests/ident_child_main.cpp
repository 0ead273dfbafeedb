// A client process of the handle-identity tests, on the public calls only.
//   krzmlc15_identchild nohandle HCHANNEL PSID
//     without a port handle: every call that could send must refuse (-6).
//   krzmlc15_identchild hostile
//     P1284WndProc with a window that is not a wait window; the escape that
//     moves the wire's channel address while the link is up must fail.
//   krzmlc15_identchild reopen PSID OPENED_EVENT DONE_EVENT
//     opens a stream channel on an echo socket, tells OPENED, waits for
//     DONE, then checks its channel still echoes and closes it.
// Exit code 0 when everything held; otherwise a bit per failed check.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "krzcom15.h"
#include "krzmlc15.h"

namespace {

int Check(bool fHeld, int iBit, const char* lpszWhat, int iGot) {
  if (fHeld) return 0;
  fprintf(stderr, "identchild: %s gave %d\n", lpszWhat, iGot);
  return 1 << iBit;
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
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "IdentChildWnd";
  RegisterClassA(&wc);
  HWND hWnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
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
  HANDLE hOpened = OpenEventA(EVENT_MODIFY_STATE, FALSE, lpszOpened);
  HANDLE hDone = OpenEventA(SYNCHRONIZE, FALSE, lpszDone);
  DWORD hPort = MLCGetPortHandle(0);
  DWORD dwBuffer = 4096;
  WORD hChannel = 0;
  int iOpen =
      MLCOpenChannel(0, dwPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, NULL, 0, 0, NULL, NULL);
  int iFailed = Check(hOpened && hDone && hPort && iOpen == MLC_SUCCESS, 0, "open", iOpen);
  if (hOpened) SetEvent(hOpened);
  if (iFailed || WaitForSingleObject(hDone, 30000) != WAIT_OBJECT_0) return iFailed | 2;
  const char szText[] = "ident";
  char szBack[sizeof szText] = {};
  int iWrite = MLCWrite(hChannel, szText, sizeof szText, TRUE, 10000);
  int iRead = MLCRead(hChannel, szBack, sizeof szBack, TRUE, 10000);
  iFailed |= Check(iWrite == (int)sizeof szText, 2, "write", iWrite);
  iFailed |= Check(iRead == (int)sizeof szText && strcmp(szBack, szText) == 0, 3, "echo", iRead);
  iFailed |= Check(MLCCloseChannel(hChannel) == MLC_SUCCESS, 4, "close", 0);
  MLCReleasePortHandle(hPort);
  CloseHandle(hOpened);
  CloseHandle(hDone);
  return iFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "nohandle") == 0)
    return WithoutPortHandle(strtoul(argv[2], NULL, 0), strtoul(argv[3], NULL, 0));
  if (argc == 2 && strcmp(argv[1], "hostile") == 0) return Hostile();
  if (argc == 5 && strcmp(argv[1], "reopen") == 0)
    return Reopen(strtoul(argv[2], NULL, 0), argv[3], argv[4]);
  return 250;
}
