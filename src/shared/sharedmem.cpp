#include "shared/sharedmem.h"

#include "debug/cm_debug.h"
#include "shared/heldblocks.h"
#include "shared/lifecycle.h"
#include "shared/records.h"

void CreateMLCMapMemArea(BYTE bPort) {
  // The line feed ends the name in every process alike.
  char szName[64];
  wsprintfA(szName, "%s%s%s\n", MLC_MODULE_NAME, "_SHARED_PORT_", szMlcPortName[bPort]);
  BOOL fInit = FALSE;  // a port area needs no initialisation: blocks come on demand
  PortMapMemInfo[bPort] =
      memCreateSharedArea(MLC_PORT_AREA_SIZE, szName, MLC_PORT_AREA_MAX, &fInit);
  MLCLOG(DBG_TRACE, "CreateMLCMMA: , fInit %d MMI: 0x%X, map mem area %s\n", fInit,
         PortMapMemInfo[bPort], szName);
  // A new area while the record names blocks: the area vanished with the
  // last process that mapped it, and the blocks with it.
  const PerPortInfo* lpPPI = &pPerPortInfo[bPort];
  if (PortMapMemInfo[bPort] && fInit &&
      (lpPPI->hChanPtrArray || lpPPI->hSocketInfoArray || lpPPI->hDeviceID)) {
    ForgetLostPort(bPort);
  }
}

HMEMBLOCK AllocMLCCheck(BYTE bPort, DWORD dwSize) {
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "AMC: PortMapMemInfo for port is NULL\n");
    CreateMLCMapMemArea(bPort);
    if (!PortMapMemInfo[bPort]) return 0;
  }
  MLCLOG(DBG_VERBOSE, "AllocMLCCheck:MMI: 0x%X\n", PortMapMemInfo[bPort]);
  return memAllocBlock(PortMapMemInfo[bPort], dwSize);
}

HMEMBLOCK ReAllocMLCCheck(BYTE bPort, HMEMBLOCK hBlock, DWORD dwNewSize) {
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "RAMC: PortMapMemInfo for port is NULL\n");
    CreateMLCMapMemArea(bPort);
    if (!PortMapMemInfo[bPort]) return 0;
  }
  SettleHeldBlock(bPort, PortMapMemInfo[bPort], hBlock, TRUE);
  return memReAllocBlock(PortMapMemInfo[bPort], hBlock, dwNewSize);
}

LPVOID LockMLCCheck(BYTE bPort, HMEMBLOCK hBlock) {
  if (!hBlock) {
    MLCLOG(DBG_ERROR, "LMLC: Attempt to lock NULL handle!\n");
    return NULL;
  }
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "LMLC: PortMapMemInfo for port is NULL\n");
    CreateMLCMapMemArea(bPort);
    if (!PortMapMemInfo[bPort]) return NULL;
  }
  MLCLOG(DBG_VERBOSE, "LockMLCCheck: Block 0x%X; MMI: 0x%X\n", hBlock, PortMapMemInfo[bPort]);
  LPVOID lpAddress = RetakeHeldBlock(bPort, PortMapMemInfo[bPort], hBlock);
  if (lpAddress) return lpAddress;
  lpAddress = memLockBlock(PortMapMemInfo[bPort], hBlock);
  NoteHeldBlock(bPort, PortMapMemInfo[bPort], hBlock, lpAddress);
  return lpAddress;
}

void FreeMLCCheck(BYTE bPort, HMEMBLOCK hBlock) {
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "FMC: PortMapMemInfo for port is NULL\n");
    return;
  }
  if (!hBlock) {
    MLCLOG(DBG_ERROR, "FMC: Attempt to free NULL pointer!\n");
    return;
  }
  MLCLOG(DBG_TRACE, "FMC: Free block 0x%X; MMI: 0x%X\n", hBlock, PortMapMemInfo[bPort]);
  SettleHeldBlock(bPort, PortMapMemInfo[bPort], hBlock, TRUE);
  if (!memFreeBlock(PortMapMemInfo[bPort], hBlock)) {
    MLCLOG(DBG_ERROR, "FMC: memFreeBlock() failed\n");
  }
}

void UnlockMLCCheck(BYTE bPort, HMEMBLOCK hBlock) {
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "UMLC: PortMapMemInfo for port is NULL\n");
    return;
  }
  if (!hBlock) {
    MLCLOG(DBG_ERROR, "UMLC: Attempt to unlock NULL handle!\n");
    return;
  }
  MLCLOG(DBG_VERBOSE, "UnlockMLCCheck: Block 0x%X; MMI: 0x%X\n", hBlock, PortMapMemInfo[bPort]);
  if (!KeepUnlockBack(bPort, PortMapMemInfo[bPort], hBlock))
    memUnlockBlock(PortMapMemInfo[bPort], hBlock);
}

void UnlockAllMLCCheck(BYTE bPort, HMEMBLOCK hBlock) {
  if (!PortMapMemInfo[bPort]) {
    MLCLOG(DBG_ERROR, "UAMLC: PortMapMemInfo for port is NULL\n");
    return;
  }
  if (!hBlock) {
    MLCLOG(DBG_ERROR, "UAMLC: Attempt to unlock NULL handle!\n");
    return;
  }
  MLCLOG(DBG_TRACE, "UAMLC: Unlock all locks on : Block 0x%X\n", hBlock);
  SettleHeldBlock(bPort, PortMapMemInfo[bPort], hBlock, FALSE);
  memUnlockAllBlock(PortMapMemInfo[bPort], hBlock);
}
