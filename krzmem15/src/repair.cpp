// Repair after an abandoned change.
//
// The allocator orders its stores so that walking the heap by chunk sizes is
// always valid and a chunk names its slot before the slot names the chunk.
// A block is therefore live exactly when its slot and its chunk name each
// other; everything else (bins, prevSize, the free-slot FIFO, named-entry
// reference totals) is derived and rebuilt here. The walk is still checked:
// if it ever runs into a damaged header, the rest of the heap becomes one
// free chunk and the blocks that lived there are dropped rather than trusted.
#include "repair.h"

#include "blocks.h"
#include "heap.h"

namespace krzmem {
namespace {

Slot* Slots(const View& v) {
  const AreaHeader* h = v.hdr();
  return v.at<Slot>(h->slotsOff, h->slotCap * static_cast<DWORD>(sizeof(Slot)));
}

// Walks the heap, truncating it at a damaged header, and marks every slot
// whose chunk names it back. Chunks whose slot does not point at them are
// made free.
void CheckChunks(const View& v, Slot* slots) {
  AreaHeader* h = v.hdr();
  for (DWORD off = h->heapOff; off < h->heapEnd;) {
    Chunk* c = v.at<Chunk>(off);
    DWORD room = h->heapEnd - off;
    if (c->size < kMinChunk || c->size % kAlign != 0 || c->size > room) {
      c->size = room;
      c->slot = 0;
      c->user = 0;
    }
    if (c->slot != 0) {
      DWORD i = c->slot - 1;
      if (i < h->slotHigh && slots[i].offset == off && c->user <= c->size - kChunkHeader) {
        slots[i].flags |= kSlotSeen;
      } else {
        c->slot = 0;
      }
    }
    off += c->size;
  }
}

// Frees slots that lost their chunk and rebuilds the FIFO of free slots and
// the block statistics.
void CheckSlots(const View& v, Slot* slots) {
  AreaHeader* h = v.hdr();
  h->freeHead = h->freeTail = 0;
  h->blocks = h->bytes = 0;
  for (DWORD i = 0; i < h->slotHigh; ++i) {
    Slot& s = slots[i];
    if (s.offset != 0 && (s.flags & kSlotSeen)) {
      s.flags = static_cast<WORD>(s.flags & ~kSlotSeen);
      h->blocks += 1;
      h->bytes += v.at<Chunk>(s.offset)->size;
      continue;
    }
    if (s.offset != 0) s.gen = static_cast<WORD>(s.gen + 1);
    s.offset = 0;
    s.flags = 0;
    s.locks = 0;
    s.next = 0;
    if (h->freeTail) {
      slots[h->freeTail - 1].next = i + 1;
    } else {
      h->freeHead = i + 1;
    }
    h->freeTail = i + 1;
  }
}

// Named entries whose block is gone are dropped, reference totals are
// recounted, entries nobody references are freed, and named blocks no entry
// claims are freed.
void CheckNames(const View& v, Slot* slots) {
  AreaHeader* h = v.hdr();
  NamedEntry* e =
      v.at<NamedEntry>(h->namesOff, h->nameCap * static_cast<DWORD>(sizeof(NamedEntry)));
  NameRef* r = v.at<NameRef>(h->refsOff, h->refCap * static_cast<DWORD>(sizeof(NameRef)));
  for (DWORD i = 0; i < h->nameCap; ++i) {
    e[i].name[kNameLen - 1] = '\0';
    e[i].refs = 0;
    if (e[i].name[0] != '\0' && !Resolve(v, e[i].block)) e[i].name[0] = '\0';
  }
  for (DWORD j = 0; j < h->refCap; ++j) {
    DWORD i = r[j].entry;
    if (i == 0) continue;
    if (i > h->nameCap || e[i - 1].name[0] == '\0' || r[j].count == 0) {
      r[j].entry = 0;
      continue;
    }
    e[i - 1].refs += r[j].count;
  }
  for (DWORD i = 0; i < h->nameCap; ++i) {
    if (e[i].name[0] == '\0') continue;
    if (e[i].refs == 0) {
      e[i].name[0] = '\0';
      BlockFree(v, e[i].block, true);
      continue;
    }
    slots[(e[i].block & 0xFFFF) - 1].flags |= kSlotSeen;
  }
  for (DWORD i = 0; i < h->slotHigh; ++i) {
    Slot& s = slots[i];
    bool claimed = (s.flags & kSlotSeen) != 0;
    s.flags = static_cast<WORD>(s.flags & ~kSlotSeen);
    if (s.offset != 0 && (s.flags & kSlotNamed) && !claimed) {
      BlockFree(v, (static_cast<DWORD>(s.gen) << 16) | (i + 1), true);
    }
  }
}

}  // namespace

void Repair(const View& v) {
  AreaHeader* h = v.hdr();
  Slot* slots = Slots(v);
  if (!slots || h->slotHigh > h->slotCap) return;
  for (DWORD i = 0; i < h->slotHigh; ++i)
    slots[i].flags = static_cast<WORD>(slots[i].flags & ~kSlotSeen);
  CheckChunks(v, slots);
  CheckSlots(v, slots);
  HeapRebin(v);
  CheckNames(v, slots);
  h->repairs += 1;
}

}  // namespace krzmem
