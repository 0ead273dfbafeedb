// Child program of the helper tests: a client process that brings up the
// helper the way link initialisation does, from wherever it was copied to.
// Exit code: 0 when the helper started, set up and was stopped again; 19
// when LaunchHiddenExe reported MLC_SYSTEM_FAILURE; 1 for anything else.
#include <windows.h>

#include "krzmlc15.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/locks.h"

int main() {
  int iResult = LaunchHiddenExe();
  if (iResult == MLC_SYSTEM_FAILURE) return 19;
  if (iResult != 1) return 1;
  HWND hHidden = HwndFromDword(ObtainMGD()->hHiddenWnd);
  ReleaseMGD();
  if (!IsWindow(hHidden)) return 1;
  KillHiddenExe();
  for (int i = 0; i < 1000 && IsWindow(hHidden); ++i) Sleep(10);
  BOOL fGone = !IsWindow(hHidden);
  MLCSetPMLInitDeInitEvent();
  MLCCleanup();
  return fGone ? 0 : 1;
}
