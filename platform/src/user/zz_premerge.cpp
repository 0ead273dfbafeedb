#include <windows.h>
static thread_local DWORD g_err;
W32_EXTERN_C DWORD WINAPI GetLastError(void) { return g_err; }
W32_EXTERN_C void WINAPI SetLastError(DWORD e) { g_err = e; }
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
W32_EXTERN_C HMODULE WINAPI GetModuleHandleA(LPCSTR) { return (HMODULE)0x400000; }
W32_EXTERN_C DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }
W32_EXTERN_C void WINAPI Sleep(DWORD ms) { usleep(ms * 1000); }
W32_EXTERN_C DWORD WINAPI GetTickCount(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (DWORD)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}
