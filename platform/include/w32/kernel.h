/* Kernel objects: handles, mutexes, events, waits, threads, time and ids.
 *
 * Named objects are machine-wide (or private to W32POSIX_NAMESPACE, see
 * platform/README.md); names are arbitrary text compared byte for byte, an
 * empty name means unnamed, and the prefixes "Global\" and "Local\" are
 * accepted and ignored. Mutexes, events and file mappings share one name
 * space: creating a mutex under an event's name fails with
 * ERROR_INVALID_HANDLE. */
#ifndef W32POSIX_KERNEL_H
#define W32POSIX_KERNEL_H

#include "errors.h"
#include "security.h"
#include "types.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF
#define STILL_ACTIVE 259

#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define MUTEX_ALL_ACCESS 0x001F0001
#define MUTEX_MODIFY_STATE 0x0001
#define EVENT_ALL_ACCESS 0x001F0003
#define EVENT_MODIFY_STATE 0x0002

W32_EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);

W32_EXTERN_C HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                        LPCSTR lpName);
W32_EXTERN_C HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
W32_EXTERN_C BOOL WINAPI ReleaseMutex(HANDLE hMutex);

W32_EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                        BOOL bInitialState, LPCSTR lpName);
W32_EXTERN_C HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
W32_EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent);
W32_EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent);

/* Waits on a mutex, event, thread or process; blocks in the kernel, never
 * spins. WAIT_ABANDONED: the mutex is now the caller's, but its previous
 * owner (thread or whole process) ended while holding it. */
W32_EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

/* Milliseconds since an unspecified start (CLOCK_MONOTONIC), wrapping at 2^32. */
W32_EXTERN_C DWORD WINAPI GetTickCount(void);
W32_EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds);

W32_EXTERN_C DWORD WINAPI GetCurrentProcessId(void);
/* The kernel thread id: unique machine-wide while the thread runs. */
W32_EXTERN_C DWORD WINAPI GetCurrentThreadId(void);
/* Pseudo handles: (HANDLE)-1 and (HANDLE)-2, closing them does nothing. */
W32_EXTERN_C HANDLE WINAPI GetCurrentProcess(void);
W32_EXTERN_C HANDLE WINAPI GetCurrentThread(void);

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;
#define CREATE_SUSPENDED 0x00000004

/* CREATE_SUSPENDED is not supported (ERROR_NOT_SUPPORTED). */
W32_EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                        SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                        LPVOID lpParameter, DWORD dwCreationFlags,
                                        LPDWORD lpThreadId);
W32_EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
W32_EXTERN_C void WINAPI ExitThread(DWORD dwExitCode);

/* Files in the 16-bit style, as log writers use them. Paths may use
 * backslashes; see platform/README.md for how Windows paths map. */
#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define OF_SHARE_COMPAT 0x0000
#define OF_SHARE_EXCLUSIVE 0x0010
#define OF_SHARE_DENY_WRITE 0x0020
#define OF_SHARE_DENY_READ 0x0030
#define OF_SHARE_DENY_NONE 0x0040
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

W32_EXTERN_C HFILE WINAPI _lopen(LPCSTR lpPathName, int iReadWrite);
W32_EXTERN_C HFILE WINAPI _lcreat(LPCSTR lpPathName, int iAttribute);
W32_EXTERN_C LONG WINAPI _llseek(HFILE hFile, LONG lOffset, int iOrigin);
W32_EXTERN_C UINT WINAPI _lread(HFILE hFile, LPVOID lpBuffer, UINT uBytes);
W32_EXTERN_C UINT WINAPI _lwrite(HFILE hFile, LPCSTR lpBuffer, UINT uBytes);
W32_EXTERN_C HFILE WINAPI _lclose(HFILE hFile);
W32_EXTERN_C BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
#define DeleteFile DeleteFileA

#endif
