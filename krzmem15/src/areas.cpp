// Process-local table of open areas, and the creation of an area.
//
// An area is a paging-file mapping named "KRZMEM15.Area.<name>" sized by the
// larger size argument, mapped whole (pages are only backed once touched),
// and a mutex "KRZMEM15.Mutex.<name>" that serialises every change. Both
// are opened with a NULL DACL so every local user can share them. The area
// lives as long as some process keeps its mapping: when the last one
// releases it, or dies, the system drops the mapping, and the next create
// starts afresh with fInit set.
//
// Handles of this table are (generation << 8) | (index + 1); a released
// handle stops working at once. A release that races with a call of another
// thread on the same handle unmaps only when that call has finished.
#include "areas.h"

#include <stdio.h>
#include <string.h>

#include "blocks.h"
#include "heap.h"
#include "repair.h"

namespace krzmem {
namespace {

constexpr int kMaxAreas = 64;
constexpr size_t kMaxName = 200;

struct Entry {
  DWORD gen;
  int state;  // 0 free, 1 open, 2 released while in use
  int users;
  HANDLE map;
  HANDLE mutex;
  View view;
};

Entry g_areas[kMaxAreas];
std::atomic<bool> g_tableLock{false};

class TableLock {
 public:
  TableLock() {
    while (g_tableLock.exchange(true, std::memory_order_acquire)) Sleep(0);
  }
  ~TableLock() { g_tableLock.store(false, std::memory_order_release); }
};

void CloseEntryHandles(HANDLE map, HANDLE mutex, void* base) {
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
  DWORD heapOff = RoundUp(refsOff + kRefCap * static_cast<DWORD>(sizeof(NameRef)), 64);
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
  h->refCap = kRefCap;
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
         h->heapEnd <= h->size && h->nameCap == kNameCap && h->refCap == kRefCap &&
         h->slotsOff + h->slotCap * sizeof(Slot) <= h->namesOff &&
         h->namesOff + kNameCap * sizeof(NamedEntry) <= h->refsOff &&
         h->refsOff + kRefCap * sizeof(NameRef) <= h->heapOff;
}

int Find(DWORD area) {
  DWORD low = area & 0xFF;
  if (low == 0 || low > kMaxAreas) return -1;
  Entry& e = g_areas[low - 1];
  return e.state == 1 && e.gen == (area >> 8) ? static_cast<int>(low - 1) : -1;
}

void Leave(int slot) {
  HANDLE map = nullptr, mutex = nullptr;
  void* base = nullptr;
  {
    TableLock lock;
    Entry& e = g_areas[slot];
    if (--e.users > 0 || e.state != 2) return;
    map = e.map;
    mutex = e.mutex;
    base = e.view.base;
    e = Entry{e.gen, 0, 0, nullptr, nullptr, {}};
  }
  CloseEntryHandles(map, mutex, base);
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
    CloseEntryHandles(map, mutex, base);
    return 0;
  }
  TableLock lock;
  for (int i = 0; i < kMaxAreas; ++i) {
    Entry& e = g_areas[i];
    if (e.state != 0) continue;
    DWORD gen = (e.gen + 1) & 0xFFFFFF;
    e = Entry{gen ? gen : 1, 1, 0, map, mutex, v};
    if (created) *created = fresh ? TRUE : FALSE;
    return (e.gen << 8) | static_cast<DWORD>(i + 1);
  }
  CloseEntryHandles(map, mutex, base);
  return 0;
}

void AreaClose(DWORD area) {
  HANDLE map = nullptr, mutex = nullptr;
  void* base = nullptr;
  {
    TableLock lock;
    int slot = Find(area);
    if (slot < 0) return;
    Entry& e = g_areas[slot];
    e.state = 2;
    if (e.users > 0) return;  // the last caller still inside closes it
    map = e.map;
    mutex = e.mutex;
    base = e.view.base;
    e = Entry{e.gen, 0, 0, nullptr, nullptr, {}};
  }
  CloseEntryHandles(map, mutex, base);
}

Locked::Locked(DWORD area) {
  {
    TableLock lock;
    slot_ = Find(area);
    if (slot_ < 0) return;
    Entry& e = g_areas[slot_];
    e.users += 1;
    mutex_ = e.mutex;
    view_ = e.view;
  }
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
  if (slot_ >= 0) Leave(slot_);
}

}  // namespace krzmem
