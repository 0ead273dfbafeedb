/* Private profile (INI file) reading.
 *
 * A file name without any '\' or '/' is looked up in the Windows directory
 * (GetWindowsDirectoryA); other paths are taken as given (backslashes work,
 * components match case-insensitively). Sections and keys compare
 * case-insensitively, blanks around keys and values are trimmed, and a value
 * in matching double or single quotes loses them. The file is read afresh
 * on every call. */
#ifndef W32POSIX_PROFILE_H
#define W32POSIX_PROFILE_H

#include "types.h"

/* Value of the key read as an integer from its leading characters ("150abc"
 * is 150; a leading sign and 0x/0o/0b prefixes are honoured); nDefault when
 * the file, section or key is missing or the value is empty. */
W32_EXTERN_C UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                               LPCSTR lpFileName);
/* Copies the value (or lpDefault, without its trailing blanks, when the key
 * is missing) into the buffer, cut to nSize - 1 characters, and returns the
 * number of characters copied. With lpKeyName NULL the key names of the
 * section, with lpAppName NULL the section names, are returned as a list of
 * zero-terminated strings ending in an extra zero; a list cut short returns
 * nSize - 2. */
W32_EXTERN_C DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                                   LPCSTR lpDefault, LPSTR lpReturnedString,
                                                   DWORD nSize, LPCSTR lpFileName);
#define GetPrivateProfileInt GetPrivateProfileIntA
#define GetPrivateProfileString GetPrivateProfileStringA

#endif
