#include "handles.h"

namespace krzcom {

namespace {

constexpr DWORD kSlots = 128;

struct Slot {
  HandleObject* pObj;
  DWORD dwGeneration;
};

Slot g_slots[kSlots];

// A process-local mutex; created once, on first use, by the thread-safe
// initialisation of a function-local static.
HANDLE TableLock() {
  static HANDLE s_hLock = CreateMutexA(NULL, FALSE, NULL);
  WaitForSingleObject(s_hLock, INFINITE);
  return s_hLock;
}

Slot* Find(DWORD dwHandle, DWORD dwKind) {
  DWORD dwSlot = (dwHandle & 0xFF) - 1;
  if (dwSlot >= kSlots) return NULL;
  Slot* pSlot = &g_slots[dwSlot];
  if (pSlot->pObj == NULL || pSlot->dwGeneration != (dwHandle >> 8) ||
      pSlot->pObj->dwKind != dwKind)
    return NULL;
  return pSlot;
}

}  // namespace

DWORD HandleInsert(HandleObject* pObj) {
  HANDLE hLock = TableLock();
  DWORD dwHandle = 0;
  for (DWORD i = 0; i < kSlots; ++i) {
    Slot* pSlot = &g_slots[i];
    if (pSlot->pObj != NULL) continue;
    pSlot->dwGeneration = (pSlot->dwGeneration + 1) & 0xFFFFFF;
    if (pSlot->dwGeneration == 0) pSlot->dwGeneration = 1;
    pSlot->pObj = pObj;
    pObj->lRefs = 1;
    dwHandle = (pSlot->dwGeneration << 8) | (i + 1);
    break;
  }
  ReleaseMutex(hLock);
  return dwHandle;
}

HandleObject* HandleGet(DWORD dwHandle, DWORD dwKind) {
  HANDLE hLock = TableLock();
  Slot* pSlot = Find(dwHandle, dwKind);
  HandleObject* pObj = NULL;
  if (pSlot != NULL) {
    pObj = pSlot->pObj;
    pObj->lRefs += 1;
  }
  ReleaseMutex(hLock);
  return pObj;
}

HandleObject* HandleRemove(DWORD dwHandle, DWORD dwKind) {
  HANDLE hLock = TableLock();
  Slot* pSlot = Find(dwHandle, dwKind);
  HandleObject* pObj = NULL;
  if (pSlot != NULL) {
    pObj = pSlot->pObj;
    pSlot->pObj = NULL;
  }
  ReleaseMutex(hLock);
  return pObj;
}

void HandlePut(HandleObject* pObj) {
  if (pObj == NULL) return;
  HANDLE hLock = TableLock();
  LONG lRefs = --pObj->lRefs;
  ReleaseMutex(hLock);
  if (lRefs == 0) pObj->pfnDestroy(pObj);
}

}  // namespace krzcom
