// Chunk allocator of an area.
//
// Every change to the chunk sequence is ordered so that walking the heap by
// chunk sizes stays valid after each single store: a new chunk header is
// written first, beyond the end of the chunk it is cut from, and only then is
// that chunk's size lowered; merging raises one chunk's size in a single
// store, which makes the header behind it unreachable. Bins and prevSize are
// derived data that repair.cpp rebuilds from the walk.
#include "heap.h"

namespace krzmem {
namespace {

DWORD BinOf(DWORD size) {
  DWORD units = size / kAlign;
  if (units == 0) return 0;  // only a damaged header can be this small
  DWORD bin = 31 - static_cast<DWORD>(__builtin_clz(units));
  return bin < kBins ? bin : kBins - 1;
}

FreeLinks* LinksOf(const View& v, DWORD off) { return v.at<FreeLinks>(off + kChunkHeader); }

void Unbin(const View& v, DWORD off) {
  Chunk* c = ChunkAt(v, off);
  FreeLinks* l = LinksOf(v, off);
  if (!c || !l) return;
  AreaHeader* h = v.hdr();
  if (FreeLinks* p = l->prev ? LinksOf(v, l->prev) : nullptr) {
    p->next = l->next;
  } else {
    h->bins[BinOf(c->size)] = l->next;
  }
  if (FreeLinks* n = l->next ? LinksOf(v, l->next) : nullptr) n->prev = l->prev;
  l->next = l->prev = 0;
}

void Bin(const View& v, DWORD off) {
  Chunk* c = ChunkAt(v, off);
  FreeLinks* l = LinksOf(v, off);
  if (!c || !l) return;
  DWORD& head = v.hdr()->bins[BinOf(c->size)];
  l->prev = 0;
  l->next = head;
  if (FreeLinks* n = head ? LinksOf(v, head) : nullptr) n->prev = off;
  head = off;
}

// Tells the chunk after `off` (if any) the size of the chunk at `off`.
void FixNextPrev(const View& v, DWORD off) {
  Chunk* c = ChunkAt(v, off);
  if (!c) return;
  if (Chunk* n = ChunkAt(v, off + c->size)) n->prevSize = c->size;
}

bool IsFree(const Chunk* c) { return c && c->slot == 0; }

// Cuts the chunk at `off` down to `need` bytes when the rest makes a chunk of
// its own; the rest becomes a free chunk (merged with a free successor) in
// the bins.
void SplitTail(const View& v, DWORD off, DWORD need) {
  Chunk* c = ChunkAt(v, off);
  if (!c || c->size < need || c->size - need < kMinChunk) return;
  DWORD restOff = off + need;
  Chunk* rest = v.at<Chunk>(restOff);
  if (!rest) return;
  rest->size = c->size - need;
  rest->prevSize = need;
  rest->slot = 0;
  rest->user = 0;
  StoreOrder();
  c->size = need;
  StoreOrder();
  Chunk* next = ChunkAt(v, restOff + rest->size);
  if (IsFree(next)) {
    Unbin(v, restOff + rest->size);
    rest->size += next->size;
    StoreOrder();
  }
  FixNextPrev(v, restOff);
  Bin(v, restOff);
}

}  // namespace

DWORD ChunkNeed(DWORD user) {
  if (user > kMaxAreaSize) return 0;
  DWORD need = RoundUp(user, kAlign) + kChunkHeader;
  return need < kMinChunk ? kMinChunk : need;
}

Chunk* ChunkAt(const View& v, DWORD off) {
  const AreaHeader* h = v.hdr();
  if (off < h->heapOff || off >= h->heapEnd || off % kAlign != 0) return nullptr;
  return v.at<Chunk>(off);
}

void HeapInit(const View& v) {
  AreaHeader* h = v.hdr();
  for (DWORD& b : h->bins) b = 0;
  Chunk* c = v.at<Chunk>(h->heapOff);
  c->size = h->heapEnd - h->heapOff;
  c->prevSize = 0;
  c->slot = 0;
  c->user = 0;
  Bin(v, h->heapOff);
}

DWORD HeapTake(const View& v, DWORD need) {
  AreaHeader* h = v.hdr();
  for (DWORD bin = BinOf(need); bin < kBins; ++bin) {
    DWORD steps = 0;
    for (DWORD off = h->bins[bin]; off != 0 && steps < 0x100000; ++steps) {
      Chunk* c = ChunkAt(v, off);
      FreeLinks* l = LinksOf(v, off);
      if (!c || !l) break;  // a damaged list: leave it to the next repair
      if (c->size >= need && c->slot == 0) {
        Unbin(v, off);
        SplitTail(v, off, need);
        return off;
      }
      off = l->next;
    }
  }
  return 0;
}

void HeapGive(const View& v, DWORD off) {
  Chunk* c = ChunkAt(v, off);
  if (!c) return;
  Chunk* next = ChunkAt(v, off + c->size);
  if (IsFree(next)) {
    Unbin(v, off + c->size);
    c->size += next->size;
    StoreOrder();
  }
  if (c->prevSize != 0 && c->prevSize <= off) {
    DWORD prevOff = off - c->prevSize;
    Chunk* prev = ChunkAt(v, prevOff);
    if (IsFree(prev) && prev->size == c->prevSize) {
      Unbin(v, prevOff);
      prev->size += c->size;
      StoreOrder();
      off = prevOff;
    }
  }
  FixNextPrev(v, off);
  Bin(v, off);
}

bool HeapResize(const View& v, DWORD off, DWORD need) {
  Chunk* c = ChunkAt(v, off);
  if (!c) return false;
  if (need <= c->size) {
    SplitTail(v, off, need);
    return true;
  }
  DWORD nextOff = off + c->size;
  Chunk* next = ChunkAt(v, nextOff);
  if (!IsFree(next) || c->size + next->size < need) return false;
  Unbin(v, nextOff);
  DWORD total = c->size + next->size;
  if (total - need >= kMinChunk) {
    // The new free header lies beyond the old successor's header, so the
    // walk stays valid until the size store below switches to it.
    Chunk* rest = v.at<Chunk>(off + need);
    rest->size = total - need;
    rest->prevSize = need;
    rest->slot = 0;
    rest->user = 0;
    StoreOrder();
    c->size = need;
    StoreOrder();
    FixNextPrev(v, off + need);
    Bin(v, off + need);
  } else {
    c->size = total;
    StoreOrder();
    FixNextPrev(v, off);
  }
  return true;
}

void HeapRebin(const View& v) {
  AreaHeader* h = v.hdr();
  for (DWORD& b : h->bins) b = 0;
  DWORD prevSize = 0;
  for (DWORD off = h->heapOff; off < h->heapEnd;) {
    Chunk* c = ChunkAt(v, off);
    if (!c || c->size < kMinChunk || c->size % kAlign || c->size > h->heapEnd - off) break;
    c->prevSize = prevSize;
    if (c->slot == 0) {
      // Merge the free chunks that follow, one store each.
      for (Chunk* n = ChunkAt(v, off + c->size); IsFree(n); n = ChunkAt(v, off + c->size)) {
        if (n->size < kMinChunk || n->size % kAlign || n->size > h->heapEnd - off - c->size) break;
        c->size += n->size;
        StoreOrder();
      }
      Bin(v, off);
    }
    prevSize = c->size;
    off += c->size;
  }
}

}  // namespace krzmem
