/* Text: wsprintfA formatting, debugger output and the lstr helpers.
 *
 * wsprintfA/wvsprintfA follow Windows: %c %d %i %u %x %X %s %p with the
 * flags '-', '0' and '#', a width, a precision (minimum digits for numbers,
 * maximum characters for strings) and the size prefixes 'l' and 'h'. As on
 * Windows, 'l' means 32 bits: %ld, %lu and %lx take a 32-bit argument. There
 * is no floating point. At most 1024 bytes including the terminating zero
 * are written; the result is the length of the text. */
#ifndef W32POSIX_FORMAT_H
#define W32POSIX_FORMAT_H

#include <stdarg.h>

#include "types.h"

W32_EXTERN_C int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
W32_EXTERN_C int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
#define wsprintf wsprintfA
#define wvsprintf wvsprintfA

/* Writes the text to standard error, or, when the environment variable
 * W32POSIX_DEBUG_SINK names a file, appends it there (one write per call,
 * so lines of several processes do not mix). */
W32_EXTERN_C void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
#define OutputDebugString OutputDebugStringA

/* NULL pointers are accepted as on Windows (lstrlenA(NULL) is 0). */
W32_EXTERN_C int WINAPI lstrlenA(LPCSTR lpString);
W32_EXTERN_C LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
W32_EXTERN_C LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
W32_EXTERN_C LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
W32_EXTERN_C int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);
W32_EXTERN_C int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
#define lstrlen lstrlenA
#define lstrcpy lstrcpyA
#define lstrcpyn lstrcpynA
#define lstrcat lstrcatA
#define lstrcmp lstrcmpA
#define lstrcmpi lstrcmpiA

#endif
