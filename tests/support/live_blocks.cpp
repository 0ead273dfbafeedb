#include "live_blocks.h"

#include <stddef.h>
#include <stdio.h>

#include "layout.h"

DWORD LiveBlocks(BYTE bPort) {
  char szArea[64], szMap[96], szMutex[96];
  snprintf(szArea, sizeof szArea, "KRZMLC15_SHARED_PORT_LPT%d\n", bPort + 1);
  snprintf(szMap, sizeof szMap, "KRZMEM15.Area.%s", szArea);
  snprintf(szMutex, sizeof szMutex, "KRZMEM15.Mutex.%s", szArea);
  HANDLE hMap = OpenFileMappingA(FILE_MAP_READ, FALSE, szMap);
  if (!hMap) return 0;
  DWORD dwBlocks = 0;
  const auto* lpHeader = (const krzmem::AreaHeader*)MapViewOfFile(hMap, FILE_MAP_READ, 0, 0,
                                                                  sizeof(krzmem::AreaHeader));
  HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, szMutex);
  if (lpHeader && hMutex) {
    WaitForSingleObject(hMutex, 10000);  // the count is changed only under it
    dwBlocks = lpHeader->blocks;
    ReleaseMutex(hMutex);
  }
  if (hMutex) CloseHandle(hMutex);
  if (lpHeader) UnmapViewOfFile(lpHeader);
  CloseHandle(hMap);
  return dwBlocks;
}
