// Creating and opening an area, and taking its mutex for a call.
//
// An area is a paging-file mapping named "KRZMEM15.Area.<name>" sized by the
// larger size argument, mapped whole (pages are only backed once touched),
// and a mutex "KRZMEM15.Mutex.<name>" that serialises every change. Both
// are opened with a NULL DACL so every local user can share them. The area
// lives as long as some process keeps its mapping: when the last one
// releases it, or dies, the system drops the mapping, and the next create
// starts afresh with fInit set.
#include "areas.h"

#include <stdio.h>
#include <string.h>

#include "blocks.h"
#include "heap.h"
#include "repair.h"
#include "table.h"

namespace krzmem {
namespace {

constexpr size_t kMaxName = 200;

void CloseAll(HANDLE map, HANDLE mutex, void* base) {
  if (base) UnmapViewOfFile(base);
  if (map) CloseHandle(map);
  if (mutex) CloseHandle(mutex);
}

struct Sa {
  SECURITY_DESCRIPTOR sd;
  SECURITY_ATTRIBUTES sa;
  Sa() {
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
  }
};

// Lays out a new area of `size` bytes; false when it is too small.
bool Format(const View& v, DWORD size, DWORD initSize) {
  AreaHeader* h = v.hdr();
  DWORD slotCap = SlotCapFor(size);
  DWORD slotsOff = RoundUp(sizeof(AreaHeader), 64);
  DWORD namesOff = RoundUp(slotsOff + slotCap * static_cast<DWORD>(sizeof(Slot)), 64);
  DWORD refsOff = RoundUp(namesOff + kNameCap * static_cast<DWORD>(sizeof(NamedEntry)), 64);
  DWORD refCap = size / 128 < kMinRefs ? kMinRefs : size / 128 > kMaxRefs ? kMaxRefs : size / 128;
  DWORD heapOff = RoundUp(refsOff + refCap * static_cast<DWORD>(sizeof(NameRef)), 64);
  if (heapOff > size || size - heapOff < kMinHeap) return false;
  // The tables are zero in a new mapping and only the header can have been
  // written by a creator that died, so only the header is cleared.
  memset(h, 0, sizeof(AreaHeader));
  h->version = kVersion;
  h->size = size;
  h->initSize = initSize;
  h->slotsOff = slotsOff;
  h->slotCap = slotCap;
  h->namesOff = namesOff;
  h->nameCap = kNameCap;
  h->refsOff = refsOff;
  h->refCap = refCap;
  h->heapOff = heapOff;
  h->heapEnd = size & ~(kAlign - 1);
  h->salt = (GetTickCount() ^ (GetCurrentProcessId() * 2654435761u)) >> 7;
  HeapInit(v);
  StoreOrder();
  h->magic = kMagic;  // last: a creator that dies before this leaves an unformatted area
  return true;
}

// The header is one this code can work with, in a view of `mapped` bytes.
bool Sane(const View& v) {
  const AreaHeader* h = v.hdr();
  return h->magic == kMagic && h->version == kVersion && h->size <= v.size &&
         h->slotCap <= kMaxSlots && h->slotHigh <= h->slotCap && h->heapOff < h->heapEnd &&
         h->heapEnd <= h->size && h->nameCap == kNameCap && h->refCap >= kMinRefs &&
         h->refCap <= kMaxRefs && h->slotsOff + h->slotCap * sizeof(Slot) <= h->namesOff &&
         h->namesOff + kNameCap * sizeof(NamedEntry) <= h->refsOff &&
         h->refsOff + h->refCap * sizeof(NameRef) <= h->heapOff;
}

}  // namespace

DWORD AreaOpen(DWORD size, const char* name, DWORD maxSize, BOOL* created) {
  if (created) *created = FALSE;
  if (!name || name[0] == '\0' || strnlen(name, kMaxName + 1) > kMaxName) return 0;
  DWORD total = size > maxSize ? size : maxSize;
  if (total == 0 || total > kMaxAreaSize) return 0;
  total = RoundUp(total, 0x1000);

  char mapName[kMaxName + 32], mutexName[kMaxName + 32];
  snprintf(mapName, sizeof mapName, "KRZMEM15.Area.%s", name);
  snprintf(mutexName, sizeof mutexName, "KRZMEM15.Mutex.%s", name);
  Sa sa;
  HANDLE mutex = CreateMutexA(&sa.sa, FALSE, mutexName);
  if (!mutex) return 0;
  DWORD wait = WaitForSingleObject(mutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return 0;
  }
  HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa.sa, PAGE_READWRITE, 0, total, mapName);
  bool existed = map && GetLastError() == ERROR_ALREADY_EXISTS;
  void* base = map ? MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
  View v{static_cast<BYTE*>(base), total};
  bool fresh = false;
  bool good = false;
  if (base) {
    AreaHeader* h = v.hdr();
    if (existed && h->magic == kMagic) {
      // The creator's bounds hold for everybody, whatever this caller asked.
      v.size = h->size;
      good = Sane(v);
      if (good && (wait == WAIT_ABANDONED || h->busy)) {
        Repair(v);
        h->busy = 0;
      }
    } else if (h->magic == 0) {
      // New, or left unformatted by a creator that died: ours to lay out.
      good = Format(v, total, size);
      fresh = good;
    }
  }
  ReleaseMutex(mutex);
  if (!good) {
    CloseAll(map, mutex, base);
    return 0;
  }
  DWORD area = TableAdd(Opened{map, mutex, v});
  if (area == 0) {
    CloseAll(map, mutex, base);
    return 0;
  }
  if (created) *created = fresh ? TRUE : FALSE;
  return area;
}

void AreaClose(DWORD area) { TableRelease(area); }

Locked::Locked(DWORD area) {
  Opened opened;
  slot_ = TableEnter(area, &opened);
  if (slot_ < 0) return;
  mutex_ = opened.mutex;
  view_ = opened.view;
  DWORD wait = WaitForSingleObject(mutex_, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
  held_ = true;
  if (!Sane(view_)) {
    // Someone wrote over the header (a block overrun): refuse to work on it.
    ReleaseMutex(mutex_);
    held_ = false;
    return;
  }
  AreaHeader* h = view_.hdr();
  if (wait == WAIT_ABANDONED || h->busy) {
    Repair(view_);
    StoreOrder();
    h->busy = 0;
  }
}

void Locked::changing() {
  if (!held_ || changing_) return;
  changing_ = true;
  view_.hdr()->busy = 1;
  StoreOrder();
}

Locked::~Locked() {
  if (held_) {
    if (changing_) {
      StoreOrder();
      view_.hdr()->busy = 0;
    }
    ReleaseMutex(mutex_);
  }
  if (slot_ >= 0) TableLeave(slot_);
}

}  // namespace krzmem
