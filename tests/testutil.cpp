#include "testutil.h"

#include <stdio.h>

#include <atomic>

Child::~Child() {
  if (running_) {
    Kill();
  }
}

bool Child::Start(const std::string& args, const char* lpszProgram) {
  std::string cmd = std::string(lpszProgram) + " " + args;
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  running_ = CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi_) != 0;
  return running_;
}

DWORD Child::Wait(DWORD dwTimeoutMs) {
  if (!running_) return 0xFFFFFFFF;
  if (WaitForSingleObject(pi_.hProcess, dwTimeoutMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
  DWORD dwCode = 0xFFFFFFFF;
  GetExitCodeProcess(pi_.hProcess, &dwCode);
  CloseHandle(pi_.hThread);
  CloseHandle(pi_.hProcess);
  running_ = false;
  return dwCode;
}

void Child::Kill() {
  if (!running_) return;
  TerminateProcess(pi_.hProcess, 99);
  WaitForSingleObject(pi_.hProcess, 30000);
  CloseHandle(pi_.hThread);
  CloseHandle(pi_.hProcess);
  running_ = false;
}

NamedEvent::NamedEvent(const char* lpszPurpose) {
  static std::atomic<int> serial{0};
  char szName[96];
  wsprintfA(szName, "krzmlc15-test-%lu-%d-%s", (DWORD)GetCurrentProcessId(), serial++, lpszPurpose);
  name_ = szName;
  handle_ = CreateEventA(NULL, TRUE, FALSE, szName);
}

NamedEvent::~NamedEvent() {
  if (handle_) CloseHandle(handle_);
}

bool NamedEvent::WaitSet(DWORD dwTimeoutMs) const {
  return WaitForSingleObject(handle_, dwTimeoutMs) == WAIT_OBJECT_0;
}

std::string WindowsDirFile(const char* lpszName) {
  char szDir[MAX_PATH];
  UINT cch = GetWindowsDirectoryA(szDir, sizeof(szDir));
  std::string path(szDir, cch);
  char sep = path.find('\\') != std::string::npos ? '\\' : '/';
  if (!path.empty() && path.back() != sep) path += sep;
  return path + lpszName;
}

TempFile::TempFile(const std::string& path, const std::string& content) : path_(path) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f) {
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
}

TempFile::~TempFile() { remove(path_.c_str()); }

std::string ReadFileText(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

bool FileExists(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f) fclose(f);
  return f != nullptr;
}

const char kGlobalAreaName[] = "KRZMLC15_MLCGlobal_";

std::string PortAreaName(int iPort) {
  static const char* const kPortNames[] = {"LPT1", "LPT2", "LPT3"};
  return std::string("KRZMLC15_SHARED_PORT_") + kPortNames[iPort] + "\n";
}

// The sizes are those the library passes; the area is released at once when
// this call created it.
static DWORD AreaSize(const char* lpszName) {
  return lpszName == std::string(kGlobalAreaName) ? 0x10000 : 0xA0000;
}

bool SharedAreaExists(const char* lpszName) {
  BOOL fInit = FALSE;
  HMEMAREA hArea = memCreateSharedArea(AreaSize(lpszName), lpszName, 0xF10000, &fInit);
  if (hArea) memReleaseSharedArea(hArea);
  return hArea != 0 && !fInit;
}

SharedStateView::SharedStateView() {
  BOOL fInit = FALSE;
  area_ = memCreateSharedArea(0x10000, kGlobalAreaName, 0x10000, &fInit);
  if (!area_ || fInit) return;  // no shared state: the destructor lets go again
  HMEMBLOCK hGlobal = memAllocNamedBlock(area_, sizeof(MlcGlobalData), "GLOBAL");
  HMEMBLOCK hPorts = memAllocNamedBlock(area_, 3 * sizeof(PerPortInfo), "PORTS");
  if (!hGlobal || !hPorts) return;
  global_ = (MlcGlobalData*)memLockBlock(area_, hGlobal);
  ports_ = (PerPortInfo*)memLockBlock(area_, hPorts);
  if (!ports_) global_ = nullptr;
}

SharedStateView::~SharedStateView() {
  if (!area_) return;
  memUnlockNamedBlock(area_, "PORTS");
  memUnlockNamedBlock(area_, "GLOBAL");
  memFreeNamedBlock(area_, "PORTS");
  memFreeNamedBlock(area_, "GLOBAL");
  memReleaseSharedArea(area_);
}
