/* Processes, modules and the Windows directories.
 *
 * Directories: W32POSIX_ROOT names the root of the Windows tree (default
 * /var/lib/w32posix). GetWindowsDirectoryA gives "<root>/WINDOWS" and
 * GetSystemDirectoryA "<root>/WINDOWS/SYSTEM32", as POSIX paths. Windows
 * paths handed to this layer may use backslashes, a drive prefix "C:\" maps
 * to <root>/, and each component matches case-insensitively.
 *
 * CreateProcessA splits the command line with the Windows rules and
 * searches an executable named without a path in: the application's
 * directory, the current directory, the system directory, the Windows
 * directory, then PATH. "X.EXE" finds the file "X.EXE" or, on this
 * platform, the executable "X" (names compare case-insensitively). The
 * child receives the split arguments as argv. Handles are never inherited. */
#ifndef W32POSIX_PROCESS_H
#define W32POSIX_PROCESS_H

#include "errors.h"
#include "security.h"
#include "types.h"

#define NORMAL_PRIORITY_CLASS 0x00000020
#define CREATE_NEW_CONSOLE 0x00000010
#define CREATE_NO_WINDOW 0x08000000
#define DETACHED_PROCESS 0x00000008
#define STARTF_USESHOWWINDOW 0x00000001
#define PROCESS_ALL_ACCESS 0x001FFFFF
#define SW_HIDE 0
#define SW_SHOWNORMAL 1

typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef STARTUPINFOA STARTUPINFO;
typedef LPSTARTUPINFOA LPSTARTUPINFO;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

/* lpEnvironment, when given, is a block of "NAME=value\0" strings ending in
 * an extra zero. pi->hThread is a handle that waits for the process too
 * (a Linux process's main thread ends with it). */
W32_EXTERN_C BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                        LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                        LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                        BOOL bInheritHandles, DWORD dwCreationFlags,
                                        LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                                        LPSTARTUPINFOA lpStartupInfo,
                                        LPPROCESS_INFORMATION lpProcessInformation);
#define CreateProcess CreateProcessA
/* A process that ended normally reports its exit status (0..255 on Linux);
 * one ended by TerminateProcess reports the code given there; one killed by
 * any other signal reports 0xC0000000 | signal number. */
W32_EXTERN_C BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
/* Kills the process (SIGKILL); on the current process it exits at once. */
W32_EXTERN_C BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
W32_EXTERN_C void WINAPI ExitProcess(UINT uExitCode);
W32_EXTERN_C DWORD WINAPI GetProcessId(HANDLE Process);

/* Both return the length without the terminating zero, or, when the buffer
 * is too small, the size needed including it. */
W32_EXTERN_C UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
W32_EXTERN_C UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
#define GetWindowsDirectory GetWindowsDirectoryA
#define GetSystemDirectory GetSystemDirectoryA

/* Modules. An HINSTANCE/HMODULE is the load address of an executable or
 * shared library. GetModuleHandleA(NULL) is the program's; with a name
 * ("KRZMEM15", "KRZMEM15.DLL") it finds a loaded library whose file is
 * lib<name>.so or <name>.so, case-insensitively. */
W32_EXTERN_C HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
W32_EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
#define GetModuleHandle GetModuleHandleA
#define GetModuleFileName GetModuleFileNameA

/* The module (program or shared library) that contains the address. */
W32_EXTERN_C HMODULE W32ModuleFromAddress(const void* address);

/* W32ThisModule(): the instance handle of the module whose code calls it.
 * Being static inline, its anchor lives in every module that includes this
 * header, so each shared library gets its own handle. */
static inline HMODULE W32ThisModule(void) {
  static const char anchor = 0;
  return W32ModuleFromAddress(&anchor);
}

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

/* W32_DLL_ENTRY(DllMain) in one source file of a shared library calls
 * DllMain(module, DLL_PROCESS_ATTACH, NULL) when the library is loaded and
 * DllMain(module, DLL_PROCESS_DETACH, NULL) when it is unloaded or the
 * process exits normally. Thread attach and detach are not delivered. An
 * attach that returns FALSE ends the process with exit code 1 after a line
 * on standard error, as a failed load of a required library would. */
#define W32_DLL_ENTRY(entry)                                                           \
  __attribute__((constructor)) static void w32_dll_attach_(void) {                     \
    if (!entry(W32ThisModule(), DLL_PROCESS_ATTACH, NULL)) W32DllAttachFailed(#entry); \
  }                                                                                    \
  __attribute__((destructor)) static void w32_dll_detach_(void) {                      \
    entry(W32ThisModule(), DLL_PROCESS_DETACH, NULL);                                  \
  }
W32_EXTERN_C void W32DllAttachFailed(const char* entry);

#endif
