/* KRZCOM15, peripheral side of the virtual wire.
 *
 * A program that plays the printer (the emulator, the TCP bridge, tests)
 * attaches as the one peripheral of a port's virtual wire. It sees the
 * host's bytes together with the ECP channel address in force when the host
 * wrote them, and writes bytes back to the host. While no peripheral is
 * attached the host's connection check and device-ID reads fail and its
 * writes time out. */
#ifndef KRZCOM15_VPERI_H
#define KRZCOM15_VPERI_H

#include "krzcom15.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Attaches as the peripheral of a port ("LPT1".."LPT3"). Returns a handle,
 * 0 on failure (GetLastError: ERROR_BUSY when a live peripheral is already
 * attached; a peripheral whose process died no longer counts). */
KRZCOM15_API DWORD WINAPI VPERI_Attach(LPCSTR lpszPort);
/* Detaches; the host then sees a broken connection. */
KRZCOM15_API BOOL WINAPI VPERI_Detach(DWORD hPeri);

/* The raw device ID as the host will read it, length bytes included (they
 * are not checked, so a test can make them lie). At most 1024 bytes. */
KRZCOM15_API BOOL WINAPI VPERI_SetDeviceId(DWORD hPeri, LPCVOID lpId, DWORD cbId);
/* The capability word answered to escape 19 (VCOMM_CAP_ECP by default). */
KRZCOM15_API BOOL WINAPI VPERI_SetCapabilities(DWORD hPeri, DWORD dwCaps);

/* Reads host-to-peripheral bytes. Waits up to dwTimeoutMs for the first
 * byte (0: do not wait), then returns what is waiting, never mixing two
 * channel addresses in one call: *lpbAddress receives the ECP channel
 * address of every byte returned. *lpcbRead 0 means nothing came. */
KRZCOM15_API BOOL WINAPI VPERI_Read(DWORD hPeri, LPVOID lpBuf, DWORD cbBuf, LPDWORD lpcbRead,
                                    LPBYTE lpbAddress, DWORD dwTimeoutMs);
/* Writes peripheral-to-host bytes; waits up to dwTimeoutMs for room and
 * reports in *lpcbWritten what was stored. FALSE with ERROR_TIMEOUT when
 * not everything could be stored in that time. */
KRZCOM15_API BOOL WINAPI VPERI_Write(DWORD hPeri, LPCVOID lpBuf, DWORD cbBuf,
                                     LPDWORD lpcbWritten, DWORD dwTimeoutMs);

/* For hosts that are tools or tests rather than the link layer (which polls
 * by design): waits up to dwTimeoutMs until bytes from the peripheral are
 * waiting on the host handle hPort (an open VCOMM_OpenCommA handle). TRUE
 * when bytes are waiting (at once if some already are), FALSE on time-out
 * (GetLastError ERROR_TIMEOUT) or error. Nothing is read. */
KRZCOM15_API BOOL WINAPI VPERI_HostWaitInput(DWORD hPort, DWORD dwTimeoutMs);

#ifdef __cplusplus
}
#endif

#endif
