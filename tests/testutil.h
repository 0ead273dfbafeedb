// Helpers of the library's tests: child processes, named events, files in
// the Windows directory, and the shared records seen from outside.
#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "krzmem15.h"
#include "shared/locks.h"
#include "shared/records.h"

// A running krzmlc15_child (or Run's command line, in lpszDir); killed if the
// test ends before it does.
struct Child {
  PROCESS_INFORMATION pi{};
  bool running = false;
  bool Start(const std::string& args) { return Run("krzmlc15_child.exe " + args); }
  bool Run(std::string cmd, const char* lpszDir = NULL);
  DWORD Wait(DWORD dwMs = 30000);  // exit code, 0xFFFFFFFF when it did not end in time
  void Kill();
  ~Child() { Kill(); }
};

// A manual-reset named event with a name unique to this object.
struct NamedEvent {
  std::string name;
  HANDLE handle;
  explicit NamedEvent(const char* lpszPurpose);
  ~NamedEvent() { CloseHandle(handle); }
  bool WaitSet() const { return WaitForSingleObject(handle, 30000) == WAIT_OBJECT_0; }
};

// Files in the Windows directory, where the library finds its INI file.
std::string WindowsDirFile(const char* lpszName);
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

// The global area and its named blocks, held while this lives; global is NULL
// without shared state.
struct SharedView {
  HMEMAREA area = 0;
  MlcGlobalData* global = nullptr;
  PerPortInfo* ports = nullptr;
  SharedView();
  ~SharedView();
};

// A window of class lpszClass (registered on first use) run by lpfnProc.
inline HWND MakeWindow(const char* lpszClass, WNDPROC lpfnProc = DefWindowProcA) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = lpfnProc;
  wc.lpszClassName = lpszClass;
  RegisterClassA(&wc);
  return CreateWindowExA(0, lpszClass, "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
}

// The messages waiting for hWnd in [uFirst, uLast] (0, 0: all), taken off.
inline std::vector<MSG> TakeMessages(HWND hWnd, UINT uFirst = 0, UINT uLast = 0) {
  std::vector<MSG> all(1);
  while (PeekMessageA(&all.back(), hWnd, uFirst, uLast, PM_REMOVE)) all.emplace_back();
  all.pop_back();
  return all;
}

// The global record seen with the library loaded: processes attached, the
// helper's window, whether it set up.
inline DWORD AttachedProcesses() {
  DWORD dwCount = ObtainMGD()->dwMlcAttachCount;
  return ReleaseMGD(), dwCount;
}
inline HWND HiddenWindow() {
  HWND hWnd = HwndFromDword(ObtainMGD()->hHiddenWnd);
  return ReleaseMGD(), hWnd;
}
inline BOOL SetupDone() {
  BOOL fDone = ObtainMGD()->bMLCSetupDone;
  return ReleaseMGD(), fDone;
}

// Whether another thread of this process gets the port within the time-out.
inline bool FreeForOthers(BYTE bPort) {
  PerPortInfo* lpPPI = nullptr;
  std::thread([&] { CheckReleasePPI(lpPPI = CheckPPI(bPort), bPort); }).join();
  return lpPPI != nullptr;
}

#include "support/asleep_in_wait.h"

// Whether f() holds within dwMs, asked every 5 ms: for a state another thread
// or process brings about without an event.
template <typename F>
bool Eventually(F f, DWORD dwMs = 10000) {
  for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < dwMs; Sleep(5))
    if (f()) return true;
  return f();
}

bool AreaExists(const std::string& name);
std::string PortAreaName(int iPort);  // line feed included
// Blocks in use in port bPort's area (0 = LPT1), under the area's mutex when
// fLocked; 0 without the area.
DWORD AreaBlocks(BYTE bPort, bool fLocked);
inline DWORD LiveBlocks(BYTE bPort) { return AreaBlocks(bPort, true); }
