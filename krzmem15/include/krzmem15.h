/* KRZMEM15: named shared memory areas holding handle-addressed blocks.
 *
 * An area is a named region every process can open; blocks inside it are
 * named by small non-zero handles that are the same in every process, and
 * become addresses only while locked. See krzmem15/README.md. */
#ifndef KRZMEM15_H
#define KRZMEM15_H

#include <windows.h>

#if defined(_WIN32)
#if defined(KRZMEM15_BUILD)
#define KRZMEM15_API __declspec(dllexport)
#else
#define KRZMEM15_API __declspec(dllimport)
#endif
#else
#define KRZMEM15_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD HMEMAREA;  /* process-local area handle; 0 = failure */
typedef DWORD HMEMBLOCK; /* block handle, valid in every process; 0 = none */

/* Creates the named area or opens the existing one. dwSize is the initial
 * size, dwMaxSize the bound the area may grow to. *lpfInit is set non-zero
 * when this call created the area, 0 when it existed already. */
KRZMEM15_API HMEMAREA WINAPI memCreateSharedArea(DWORD dwSize, LPCSTR lpszName, DWORD dwMaxSize,
                                                 LPBOOL lpfInit);
/* Drops this process's use; the area ends when the last process let go. */
KRZMEM15_API void WINAPI memReleaseSharedArea(HMEMAREA hArea);

KRZMEM15_API HMEMBLOCK WINAPI memAllocBlock(HMEMAREA hArea, DWORD dwSize);
KRZMEM15_API HMEMBLOCK WINAPI memReAllocBlock(HMEMAREA hArea, HMEMBLOCK hBlock, DWORD dwNewSize);
KRZMEM15_API BOOL WINAPI memFreeBlock(HMEMAREA hArea, HMEMBLOCK hBlock);

KRZMEM15_API LPVOID WINAPI memLockBlock(HMEMAREA hArea, HMEMBLOCK hBlock);
KRZMEM15_API void WINAPI memUnlockBlock(HMEMAREA hArea, HMEMBLOCK hBlock);
KRZMEM15_API void WINAPI memUnlockAllBlock(HMEMAREA hArea, HMEMBLOCK hBlock);

KRZMEM15_API HMEMBLOCK WINAPI memAllocNamedBlock(HMEMAREA hArea, DWORD dwSize, LPCSTR lpszName);
KRZMEM15_API void WINAPI memUnlockNamedBlock(HMEMAREA hArea, LPCSTR lpszName);
KRZMEM15_API void WINAPI memFreeNamedBlock(HMEMAREA hArea, LPCSTR lpszName);
KRZMEM15_API void WINAPI memFreeNamedBlockProxy(HMEMAREA hArea, LPCSTR lpszName, DWORD dwThreadId);

#ifdef __cplusplus
}
#endif

#endif
