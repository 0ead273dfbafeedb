#include "shared/attached.h"

#include "debug/cm_debug.h"
#include "shared/records.h"

static const char szAttachBlock[] = "ATTACHED";

static AttachTable* pAttachTable = NULL;  // locked "ATTACHED" block
static HANDLE hLivenessEvent = NULL;      // this process's mark, open while attached
static int iOwnSlot = -1;                 // this process's record

static void LivenessName(char* lpszName, const AttachedProcess& proc) {
  wsprintfA(lpszName, "%s_Attached_%lu_%lu", MLC_MODULE_NAME, proc.dwProcessId, proc.dwSerial);
}

// Only a definite "no such object" counts as gone; any other failure to
// open the event is taken for a process that still runs.
static BOOL ProcessGone(const AttachedProcess& proc) {
  char szName[64];
  LivenessName(szName, proc);
  HANDLE hEvent = OpenEventA(SYNCHRONIZE, FALSE, szName);
  if (hEvent) {
    CloseHandle(hEvent);
    return FALSE;
  }
  return GetLastError() == ERROR_FILE_NOT_FOUND;
}

BOOL OpenAttachTable() {
  HMEMBLOCK hBlock = memAllocNamedBlock(GlobalMapMem, sizeof(AttachTable), szAttachBlock);
  if (!hBlock) return FALSE;
  pAttachTable = (AttachTable*)memLockBlock(GlobalMapMem, hBlock);
  if (!pAttachTable) {
    memFreeNamedBlockProxy(GlobalMapMem, szAttachBlock, dwProcAttachTID);
    return FALSE;
  }
  return TRUE;
}

void CloseAttachTable() {
  if (!pAttachTable) return;
  memUnlockNamedBlock(GlobalMapMem, szAttachBlock);
  memFreeNamedBlockProxy(GlobalMapMem, szAttachBlock, dwProcAttachTID);
  pAttachTable = NULL;
}

DWORD PruneAttached() {
  DWORD dwLive = 0;
  for (int i = 0; i < MLC_ATTACH_SLOTS; ++i) {
    AttachedProcess& proc = pAttachTable->Procs[i];
    if (!proc.dwProcessId || i == iOwnSlot) continue;
    if (ProcessGone(proc)) {
      MLCLOG(DBG_ERROR, "!   Process %lu ended without detaching; no longer counted\n",
             proc.dwProcessId);
      proc.dwProcessId = 0;
      proc.dwSerial = 0;
    } else {
      ++dwLive;
    }
  }
  return dwLive;
}

BOOL AddAttached() {
  int iFree = 0;
  while (iFree < MLC_ATTACH_SLOTS && pAttachTable->Procs[iFree].dwProcessId) ++iFree;
  if (iFree == MLC_ATTACH_SLOTS) {
    MLCLOG(DBG_ERROR, "!   AddAttached: %d processes attached already\n", MLC_ATTACH_SLOTS);
    return FALSE;
  }
  AttachedProcess proc;
  proc.dwProcessId = GetCurrentProcessId();
  proc.dwSerial = pAttachTable->dwNextSerial++;
  char szName[64];
  LivenessName(szName, proc);
  hLivenessEvent = CreateEventA(NULL, TRUE, FALSE, szName);
  if (!hLivenessEvent) {
    MLCLOG(DBG_ERROR, "!   AddAttached: event %s not made, err=%lu\n", szName, GetLastError());
    return FALSE;
  }
  pAttachTable->Procs[iFree] = proc;
  iOwnSlot = iFree;
  return TRUE;
}

void RemoveAttached() {
  if (iOwnSlot >= 0) {
    pAttachTable->Procs[iOwnSlot].dwProcessId = 0;
    pAttachTable->Procs[iOwnSlot].dwSerial = 0;
    iOwnSlot = -1;
  }
  if (hLivenessEvent) {
    CloseHandle(hLivenessEvent);
    hLivenessEvent = NULL;
  }
}
