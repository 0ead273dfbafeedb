/* Memory: file mappings backed by the paging file, and global memory.
 *
 * A mapping created with INVALID_HANDLE_VALUE is zero-filled when new and
 * lives until its last handle and its last view (in any process) are gone.
 * Views of one mapping in different processes see the same bytes.
 * Mapping real files is not supported (ERROR_NOT_SUPPORTED). */
#ifndef W32POSIX_MEMORY_H
#define W32POSIX_MEMORY_H

#include <string.h>

#include "errors.h"
#include "security.h"
#include "types.h"

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define SEC_COMMIT 0x08000000

#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F

W32_EXTERN_C HANDLE WINAPI CreateFileMappingA(HANDLE hFile,
                                              LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                              DWORD flProtect, DWORD dwMaximumSizeHigh,
                                              DWORD dwMaximumSizeLow, LPCSTR lpName);
W32_EXTERN_C HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle,
                                            LPCSTR lpName);
/* The offset must be a multiple of 65536 (the allocation granularity);
 * 0 bytes maps from the offset to the end of the mapping. */
W32_EXTERN_C LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                         DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                         SIZE_T dwNumberOfBytesToMap);
W32_EXTERN_C BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);

#define ZeroMemory(dest, len) memset((dest), 0, (len))
#define FillMemory(dest, len, fill) memset((dest), (fill), (len))
#define CopyMemory(dest, src, len) memcpy((dest), (src), (len))
#define MoveMemory(dest, src, len) memmove((dest), (src), (len))

/* Global memory. GMEM_MOVEABLE blocks are reached through GlobalLock; the
 * lock count is kept, the block itself never moves. */
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GMEM_MODIFY 0x0080
#define GMEM_SHARE 0x2000
#define GMEM_DDESHARE 0x2000
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)

W32_EXTERN_C HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
W32_EXTERN_C HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
W32_EXTERN_C LPVOID WINAPI GlobalLock(HGLOBAL hMem);
W32_EXTERN_C BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
W32_EXTERN_C SIZE_T WINAPI GlobalSize(HGLOBAL hMem);
W32_EXTERN_C HGLOBAL WINAPI GlobalHandle(LPCVOID pMem);
W32_EXTERN_C HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);

#endif
