/* KRZCOM15, the in-memory backend ("Backend=memory" in a port's section of
 * KRZCOM15.INI): the peripheral is a script of bytes in this process, for
 * fuzzing and tests that must not depend on another thread's timing.
 *
 * Reads hand out the script in pieces: each read returns at most the next
 * piece's remaining bytes, so a packet arrives split where the script says.
 * Once the script is used up reads return nothing and a wait for input
 * ends at once with a time-out. Writes always succeed and are counted; the
 * device ID is MLC-capable and the capability word is ECP. One script per
 * process, shared by every port and handle on this backend. */
#ifndef KRZCOM15_VMEM_H
#define KRZCOM15_VMEM_H

#include "krzcom15.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the script: cb bytes at lpBytes (copied), cut into pieces of the
 * given sizes (a size of 0 counts as 1; after the last size, the rest is one
 * piece). Resets the count of bytes the host wrote. */
KRZCOM15_API void WINAPI VMEM_SetScript(LPCVOID lpBytes, DWORD cb, const DWORD* lpPieces,
                                        DWORD nPieces);
/* Bytes of the script not read yet. */
KRZCOM15_API DWORD WINAPI VMEM_Unread(void);
/* Bytes the host wrote since the script was set. */
KRZCOM15_API DWORD WINAPI VMEM_Written(void);

#ifdef __cplusplus
}
#endif

#endif
