// Blocks and their handles.
//
// A handle is (generation << 16) | (slot index + 1). Slots are taken first
// from those never used, then from a FIFO of freed ones, and each free bumps
// the slot's generation: a freed handle comes back only after every other
// slot has been reused and its generation has wrapped, so a stale handle is
// refused instead of reaching another owner's block.
//
// Store order keeps the heap walk and the chunk<->slot links repairable:
// a chunk is claimed (chunk.slot) before its slot points at it, and a slot is
// given up only after its chunk has stopped naming it.
#include "blocks.h"

#include <string.h>

#include "heap.h"

namespace krzmem {
namespace {

BYTE* Payload(const View& v, DWORD off) { return v.base + off + kChunkHeader; }

DWORD SlotTake(const View& v) {
  AreaHeader* h = v.hdr();
  Slot* slots = v.at<Slot>(h->slotsOff, h->slotCap * sizeof(Slot));
  if (!slots) return kMaxSlots;
  if (h->slotHigh < h->slotCap) {
    DWORD i = h->slotHigh;
    slots[i].offset = 0;
    slots[i].gen = static_cast<WORD>(h->salt + i * 40503u);
    slots[i].flags = 0;
    slots[i].locks = 0;
    slots[i].next = 0;
    h->slotHigh = i + 1;
    return i;
  }
  DWORD head = h->freeHead;
  if (head == 0 || head > h->slotCap) return kMaxSlots;
  DWORD i = head - 1;
  h->freeHead = slots[i].next;
  if (h->freeHead == 0) h->freeTail = 0;
  slots[i].next = 0;
  return i;
}

}  // namespace

DWORD SlotCapFor(DWORD size) {
  DWORD cap = size / kBytesPerSlot;
  if (cap < kMinSlots) cap = kMinSlots;
  if (cap > kMaxSlots) cap = kMaxSlots;
  return cap;
}

void SlotRelease(const View& v, DWORD index) {
  AreaHeader* h = v.hdr();
  Slot* slots = v.at<Slot>(h->slotsOff, h->slotCap * sizeof(Slot));
  if (!slots || index >= h->slotCap) return;
  Slot& s = slots[index];
  s.offset = 0;
  StoreOrder();
  s.gen = static_cast<WORD>(s.gen + 1);
  s.flags = 0;
  s.locks = 0;
  s.next = 0;
  if (h->freeTail != 0 && h->freeTail <= h->slotCap) {
    slots[h->freeTail - 1].next = index + 1;
  } else {
    h->freeHead = index + 1;
  }
  h->freeTail = index + 1;
}

Slot* Resolve(const View& v, DWORD handle, DWORD* chunkOff) {
  AreaHeader* h = v.hdr();
  DWORD low = handle & 0xFFFF;
  if (low == 0 || low > h->slotHigh || h->slotHigh > h->slotCap) return nullptr;
  Slot* s = v.at<Slot>(h->slotsOff + (low - 1) * static_cast<DWORD>(sizeof(Slot)));
  if (!s || s->offset == 0 || s->gen != (handle >> 16)) return nullptr;
  Chunk* c = ChunkAt(v, s->offset);
  if (!c || c->slot != low || c->size < kMinChunk || c->size > h->heapEnd - s->offset ||
      c->user > c->size - kChunkHeader) {
    return nullptr;
  }
  if (chunkOff) *chunkOff = s->offset;
  return s;
}

DWORD BlockAlloc(const View& v, DWORD size, WORD flags) {
  DWORD need = ChunkNeed(size);
  if (need == 0 || need > v.hdr()->heapEnd - v.hdr()->heapOff) return 0;
  DWORD off = HeapTake(v, need);
  if (off == 0) return 0;
  DWORD index = SlotTake(v);
  if (index == kMaxSlots) {
    HeapGive(v, off);
    return 0;
  }
  AreaHeader* h = v.hdr();
  Slot* s = v.at<Slot>(h->slotsOff + index * static_cast<DWORD>(sizeof(Slot)));
  Chunk* c = ChunkAt(v, off);
  c->user = size;
  memset(Payload(v, off), 0, size);
  StoreOrder();
  c->slot = index + 1;
  StoreOrder();
  s->flags = flags;
  s->locks = 0;
  s->offset = off;
  StoreOrder();
  h->blocks += 1;
  h->bytes += c->size;
  return (static_cast<DWORD>(s->gen) << 16) | (index + 1);
}

BOOL BlockFree(const View& v, DWORD handle, bool force) {
  DWORD off = 0;
  Slot* s = Resolve(v, handle, &off);
  if (!s) return FALSE;
  if (s->locks != 0 && !force) return FALSE;
  Chunk* c = ChunkAt(v, off);
  AreaHeader* h = v.hdr();
  h->blocks -= 1;
  h->bytes -= c->size;
  c->slot = 0;
  StoreOrder();
  SlotRelease(v, (handle & 0xFFFF) - 1);
  HeapGive(v, off);
  return TRUE;
}

DWORD BlockRealloc(const View& v, DWORD handle, DWORD size) {
  DWORD off = 0;
  Slot* s = Resolve(v, handle, &off);
  DWORD need = ChunkNeed(size);
  if (!s || need == 0) return 0;
  AreaHeader* h = v.hdr();
  Chunk* c = ChunkAt(v, off);
  DWORD oldUser = c->user;
  DWORD oldSize = c->size;
  if (size < oldUser) {
    // Lowered before the chunk shrinks, so the chunk never claims more user
    // bytes than it holds (repair would take that for a damaged block).
    c->user = size;
    StoreOrder();
  }
  if (HeapResize(v, off, need)) {
    if (size > oldUser) memset(Payload(v, off) + oldUser, 0, size - oldUser);
    c->user = size;
    h->bytes = h->bytes - oldSize + c->size;
    return handle;
  }
  // Moving would leave a locked address pointing at freed space.
  if (s->locks != 0) {
    c->user = oldUser;
    return 0;
  }
  DWORD newOff = HeapTake(v, need);
  if (newOff == 0) {
    c->user = oldUser;
    return 0;
  }
  Chunk* nc = ChunkAt(v, newOff);
  DWORD keep = size < oldUser ? size : oldUser;
  memcpy(Payload(v, newOff), Payload(v, off), keep);
  memset(Payload(v, newOff) + keep, 0, size - keep);
  nc->user = size;
  StoreOrder();
  nc->slot = handle & 0xFFFF;
  StoreOrder();
  s->offset = newOff;
  StoreOrder();
  c->slot = 0;
  StoreOrder();
  h->bytes = h->bytes - oldSize + nc->size;
  HeapGive(v, off);
  return handle;
}

}  // namespace krzmem
