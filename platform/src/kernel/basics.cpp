// Last error, handles, waits, time and ids.
#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/handles.h"
#include "common/identity.h"

namespace {
thread_local DWORD t_last_error = 0;
const HANDLE kCurrentProcess = (HANDLE)(LONG_PTR)-1;
const HANDLE kCurrentThread = (HANDLE)(LONG_PTR)-2;
}  // namespace

using namespace w32p;

DWORD WINAPI GetLastError(void) { return t_last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == kCurrentProcess || hObject == kCurrentThread) return TRUE;
  if (!handle_remove(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  ObjectRef obj = handle_get(hHandle);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return obj->wait(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) { return (DWORD)(mono_ns() / 1000000ull); }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  Deadline deadline(dwMilliseconds);
  for (;;) {
    uint64_t ns = deadline.remaining_ns();
    if (ns == 0) return;
    if (deadline.infinite()) ns = 3600ull * 1000000000ull;
    timespec ts{(time_t)(ns / 1000000000ull), (long)(ns % 1000000000ull)};
    nanosleep(&ts, nullptr);
  }
}

DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)current_pid(); }
DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }
HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }
