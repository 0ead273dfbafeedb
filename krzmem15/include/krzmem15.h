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

/* Every call accepts any handle value: an invalid, stale or released handle
 * gives 0 / NULL / FALSE, or does nothing. Every call takes the area's own
 * named mutex for its duration and takes no other lock. */

/* Creates the named area or opens the existing one. The area holds up to the
 * larger of dwSize and dwMaxSize bytes (the creator's sizes hold for every
 * later opener). *lpfInit (may be NULL) is set non-zero when this call
 * created the area, 0 when it existed already. */
KRZMEM15_API HMEMAREA WINAPI memCreateSharedArea(DWORD dwSize, LPCSTR lpszName, DWORD dwMaxSize,
                                                 LPBOOL lpfInit);
/* Drops this process's use: the handle and every address obtained through
 * it die at once. The area ends when the last process let go (or died). */
KRZMEM15_API void WINAPI memReleaseSharedArea(HMEMAREA hArea);

/* A new block of dwSize bytes, all zero; 0 when it does not fit. */
KRZMEM15_API HMEMBLOCK WINAPI memAllocBlock(HMEMAREA hArea, DWORD dwSize);
/* Resizes a block: content kept up to the smaller size, new bytes zero.
 * Returns the block's handle (always the same one) or 0, in which case the
 * block is unchanged. A locked block is only resized where it lies. */
KRZMEM15_API HMEMBLOCK WINAPI memReAllocBlock(HMEMAREA hArea, HMEMBLOCK hBlock, DWORD dwNewSize);
/* Frees a block; FALSE for an invalid handle, a block that still carries
 * locks (clear them with memUnlockAllBlock), or a named block. */
KRZMEM15_API BOOL WINAPI memFreeBlock(HMEMAREA hArea, HMEMBLOCK hBlock);

/* The block's address in this process, counting one more lock; NULL when
 * the handle names no block. Lock counts belong to the block, not to who
 * took them. */
KRZMEM15_API LPVOID WINAPI memLockBlock(HMEMAREA hArea, HMEMBLOCK hBlock);
KRZMEM15_API void WINAPI memUnlockBlock(HMEMAREA hArea, HMEMBLOCK hBlock);    /* one lock less */
KRZMEM15_API void WINAPI memUnlockAllBlock(HMEMAREA hArea, HMEMBLOCK hBlock); /* no lock left */

/* The block named lpszName (at most 39 characters), made with dwSize zero
 * bytes when the name is new; in every case one more reference held by the
 * calling thread. 0 on failure. */
KRZMEM15_API HMEMBLOCK WINAPI memAllocNamedBlock(HMEMAREA hArea, DWORD dwSize, LPCSTR lpszName);
KRZMEM15_API void WINAPI memUnlockNamedBlock(HMEMAREA hArea, LPCSTR lpszName); /* one lock less */
/* Drops one reference held by the calling thread (memFreeNamedBlock) or by
 * thread dwThreadId of the calling process (memFreeNamedBlockProxy); the last
 * reference frees the block, locks or not. A thread without a reference
 * frees nothing. */
KRZMEM15_API void WINAPI memFreeNamedBlock(HMEMAREA hArea, LPCSTR lpszName);
KRZMEM15_API void WINAPI memFreeNamedBlockProxy(HMEMAREA hArea, LPCSTR lpszName, DWORD dwThreadId);

#ifdef __cplusplus
}
#endif

#endif
