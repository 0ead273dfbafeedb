#include "testutil.h"

#include <stdio.h>

#include "layout.h"

bool Child::Run(std::string cmd, const char* lpszDir) {
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  running = CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, lpszDir, &si, &pi) != 0;
  return running;
}

DWORD Child::Wait(DWORD dwMs) {
  DWORD dwCode = 0xFFFFFFFF;
  if (running && WaitForSingleObject(pi.hProcess, dwMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &dwCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    running = false;
  }
  return dwCode;
}

void Child::Kill() {
  if (!running) return;
  TerminateProcess(pi.hProcess, 99);
  Wait();
}

NamedEvent::NamedEvent(const char* lpszPurpose) {
  static int serial = 0;
  char szName[96];
  wsprintfA(szName, "krzmlc15-test-%lu-%d-%s", (DWORD)GetCurrentProcessId(), serial++, lpszPurpose);
  name = szName;
  handle = CreateEventA(NULL, TRUE, FALSE, szName);
}

std::string WindowsDirFile(const char* lpszName) {
  char szDir[MAX_PATH];
  std::string path(szDir, GetWindowsDirectoryA(szDir, sizeof(szDir)));
  return path + (path.find('\\') != std::string::npos ? "\\" : "/") + lpszName;
}

void WriteTextFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

std::string ReadTextFile(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) text.append(buf, n);
  fclose(f);
  return text;
}

SharedView::SharedView() {
  BOOL fInit = FALSE;
  area = memCreateSharedArea(0x10000, "KRZMLC15_MLCGlobal_", 0x10000, &fInit);
  if (!area || fInit) return;  // no shared state; the destructor lets go
  global = (MlcGlobalData*)memLockBlock(area, memAllocNamedBlock(area, 16, "GLOBAL"));
  ports = (PerPortInfo*)memLockBlock(area, memAllocNamedBlock(area, 0, "PORTS"));
}

SharedView::~SharedView() {
  for (const char* lpszName : {"GLOBAL", "PORTS"}) {
    memUnlockNamedBlock(area, lpszName);
    memFreeNamedBlock(area, lpszName);
  }
  memReleaseSharedArea(area);
}

bool AreaExists(const std::string& name) {
  BOOL fInit = FALSE;
  HMEMAREA hArea = memCreateSharedArea(0x10000, name.c_str(), 0xF10000, &fInit);
  memReleaseSharedArea(hArea);
  return hArea && !fInit;
}

std::string PortAreaName(int iPort) {
  return "KRZMLC15_SHARED_PORT_LPT" + std::to_string(iPort + 1) + "\n";
}

DWORD AreaBlocks(BYTE bPort, bool fLocked) {
  std::string area = PortAreaName(bPort);
  HANDLE hMap = OpenFileMappingA(FILE_MAP_READ, FALSE, ("KRZMEM15.Area." + area).c_str());
  if (!hMap) return 0;
  DWORD dwBlocks = 0;
  const auto* lpHeader = (const krzmem::AreaHeader*)MapViewOfFile(hMap, FILE_MAP_READ, 0, 0,
                                                                  sizeof(krzmem::AreaHeader));
  HANDLE hMutex = fLocked ? OpenMutexA(SYNCHRONIZE, FALSE, ("KRZMEM15.Mutex." + area).c_str()) : 0;
  if (lpHeader && (hMutex || !fLocked)) {
    if (hMutex) WaitForSingleObject(hMutex, 10000);  // the count is changed only under it
    dwBlocks = lpHeader->blocks;
    if (hMutex) ReleaseMutex(hMutex), CloseHandle(hMutex);
  }
  if (lpHeader) UnmapViewOfFile(lpHeader);
  CloseHandle(hMap);
  return dwBlocks;
}
