/* KRZCOM15: port I/O for the parallel ports "LPT1".."LPT3" (host side).
 *
 * Each port is served by a backend chosen in KRZCOM15's own configuration;
 * the default backend is a machine-wide virtual wire to which one emulated
 * peripheral attaches (see vperi.h and krzcom15/README.md). */
#ifndef KRZCOM15_H
#define KRZCOM15_H

#include <windows.h>

#if defined(_WIN32)
#if defined(KRZCOM15_BUILD)
#define KRZCOM15_API __declspec(dllexport)
#else
#define KRZCOM15_API __declspec(dllimport)
#endif
#else
#define KRZCOM15_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of VCOMM_GetLastError. <windows.h> of Windows itself defines
 * CE_PTO with the same value. */
#ifndef CE_PTO
#define CE_PTO 0x0200 /* time-out: the peripheral did not take the data */
#endif
/* Other codes the port functions report are Win32's (see README.md); these
 * two may be missing from a minimal <windows.h>. */
#ifndef ERROR_NOT_READY
#define ERROR_NOT_READY 21L /* no peripheral attached */
#endif
#ifndef ERROR_BUSY
#define ERROR_BUSY 170L /* VPERI_Attach: a live peripheral is attached; a port owned elsewhere */
#endif
/* Hardware backends (README.md): the device is missing or vanished, and a
 * failure of the port's driver not named otherwise. */
#ifndef ERROR_DEV_NOT_EXIST
#define ERROR_DEV_NOT_EXIST 55L
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L
#endif

/* Escape functions of VCOMM_EscapeCommFunction. */
#define VCOMM_ESC_SET_ECP_CHANNEL 17  /* in: one byte, the ECP channel address */
#define VCOMM_ESC_GET_DEVICE_ID 18    /* in: DWORD room, replaced by the count; out: the ID */
#define VCOMM_ESC_GET_CAPABILITIES 19 /* out: DWORD capability word */
#define VCOMM_ESC_CHECK_CONNECTION 23 /* fails when the link to the device is broken */
#define VCOMM_CAP_ECP 4               /* capability bit: ECP mode available */

/* Opens a port by name; dwMode is always 1. Returns a handle, 0 on failure. */
KRZCOM15_API DWORD WINAPI VCOMM_OpenCommA(LPCSTR lpszPort, DWORD dwMode);
/* Opens a hardware backend ("ppdev", "winpar") on a device directly,
 * whatever the ports' configuration says: for the program that owns a
 * physical port. The handle works with every VCOMM_ call below. Returns 0
 * on failure: ERROR_INVALID_NAME for a backend not built here,
 * ERROR_FILE_NOT_FOUND or ERROR_DEV_NOT_EXIST for a missing device,
 * ERROR_ACCESS_DENIED, ERROR_BUSY (another program owns the port),
 * ERROR_NOT_READY (no IEEE 1284 device answers). */
KRZCOM15_API DWORD WINAPI VCOMM_OpenDeviceA(LPCSTR lpszBackend, LPCSTR lpszDevice,
                                            DWORD dwWriteTimeoutMs);
KRZCOM15_API BOOL WINAPI VCOMM_CloseComm(DWORD hPort);
/* Returns at once with what is waiting; 0 bytes is a normal result. */
KRZCOM15_API BOOL WINAPI VCOMM_ReadComm(DWORD hPort, LPVOID lpBuf, DWORD cbToRead,
                                        LPDWORD lpcbRead);
/* Stores what the peripheral takes within the port's write time-out; fails
 * with CE_PTO after it and still reports the bytes written. */
KRZCOM15_API BOOL WINAPI VCOMM_WriteComm(DWORD hPort, LPCVOID lpBuf, DWORD cbToWrite,
                                         LPDWORD lpcbWritten);
KRZCOM15_API BOOL WINAPI VCOMM_EscapeCommFunction(DWORD hPort, DWORD dwFunction, LPVOID lpIn,
                                                  LPVOID lpOut);
KRZCOM15_API DWORD WINAPI VCOMM_GetLastError(DWORD hPort);
/* Waits up to dwTimeoutMs until bytes from the peripheral are waiting on
 * the port, without reading them: TRUE when some are (at once if some
 * already are), FALSE on time-out (GetLastError ERROR_TIMEOUT), on an error,
 * or on a backend that cannot wait (ERROR_NOT_SUPPORTED). For readers that
 * poll: it lets them give the processor up between empty reads. The port's
 * last error is not changed. */
KRZCOM15_API BOOL WINAPI VCOMM_WaitInput(DWORD hPort, DWORD dwTimeoutMs);
/* Reads the IEEE 1284 device ID of the peripheral on a port by name: two
 * length bytes (most significant first, counting themselves), then text. */
KRZCOM15_API BOOL WINAPI VCOMM_GetDeviceIdA(LPCSTR lpszPort, LPVOID lpBuf, DWORD cbBuf,
                                            LPDWORD lpcbRead);

#ifdef __cplusplus
}
#endif

#endif
