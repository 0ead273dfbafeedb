// The Windows parallel-port backend reaches its driver only through this
// table, so that a test can stand a driver of its own in for it.
#pragma once

#include <windows.h>

namespace krzcom {

struct WinparCalls {
  HANDLE(WINAPI* pfnCreateFileA)
  (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* pfnDeviceIoControl)
  (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* pfnReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* pfnWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* pfnCloseHandle)(HANDLE);
};

// The calls a newly opened port uses: the real ones unless replaced.
extern const WinparCalls* g_winparCalls;

}  // namespace krzcom
