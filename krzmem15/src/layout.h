// Layout of a shared area as every process sees it through its own view.
//
// An area is one named file mapping. It starts with a header, followed by
// three fixed tables and the heap:
//
//   AreaHeader | Slot[slotCap] | NamedEntry[nameCap] | NameRef[refCap] | heap
//
// Everything inside the area is addressed by offsets from the start of the
// view, never by addresses, because each process maps the area at its own
// address. A block handle names a slot of the slot table; the slot holds the
// offset of the block's chunk in the heap, the block's lock count and a
// generation that changes every time the slot is freed, so a stale handle no
// longer matches. The heap is a list of chunks laid end to end: walking it by
// chunk sizes from heapOff reaches heapEnd exactly, and the allocator keeps
// that walk valid after every single store (see heap.cpp), which is what lets
// repair.cpp rebuild everything else after a process died holding the mutex.
#pragma once

#include <windows.h>

#include <atomic>

namespace krzmem {

constexpr DWORD kMagic = 0x4D454D4B;  // "KMEM"
constexpr DWORD kVersion = 1;

constexpr DWORD kAlign = 16;        // chunk and payload alignment
constexpr DWORD kChunkHeader = 16;  // sizeof(Chunk)
constexpr DWORD kMinChunk = 32;     // header + room for the two free-list links
constexpr DWORD kBins = 28;         // bin i: chunk sizes in [16 << i, 16 << (i + 1))

constexpr DWORD kMaxSlots = 0xFFFF;  // handle low word is slot index + 1
constexpr DWORD kMinSlots = 64;
constexpr DWORD kBytesPerSlot = 1024;  // one slot per KiB of area, within the bounds above
constexpr DWORD kNameCap = 32;
constexpr DWORD kNameLen = 40;   // including the terminating zero
constexpr DWORD kMaxRefs = 512;  // references: one per 128 bytes of area, 64 to 512
constexpr DWORD kMinRefs = 64;

constexpr DWORD kMinHeap = 0x1000;          // smallest heap an area may have
constexpr DWORD kMaxAreaSize = 0x40000000;  // 1 GiB: offsets stay far from overflow

struct AreaHeader {
  DWORD magic;
  DWORD version;
  DWORD size;      // bytes of the mapping
  DWORD initSize;  // first size argument of the creator (kept for diagnostics)
  DWORD slotsOff;
  DWORD slotCap;
  DWORD slotHigh;  // slots [0, slotHigh) have been used at least once
  DWORD freeHead;  // FIFO of freed slots below slotHigh: index + 1, 0 = empty
  DWORD freeTail;
  DWORD namesOff;
  DWORD nameCap;
  DWORD refsOff;
  DWORD refCap;
  DWORD heapOff;
  DWORD heapEnd;
  DWORD salt;         // start of the slot generations, different for every area
  DWORD busy;         // non-zero while the mutex holder changes the structure
  DWORD repairs;      // times the structure was rebuilt after an abandoned change
  DWORD blocks;       // blocks in use
  DWORD bytes;        // bytes of chunks in use (headers included)
  DWORD bins[kBins];  // offsets of the first free chunk of each bin, 0 = empty
};

struct Slot {
  DWORD offset;  // chunk offset; 0 = slot free
  WORD gen;      // high word of the handle
  WORD flags;
  DWORD locks;
  DWORD next;  // FIFO link while free: index + 1, 0 = end
};
constexpr WORD kSlotNamed = 1;  // block belongs to a NamedEntry
constexpr WORD kSlotSeen = 2;   // scratch mark used by repair

struct Chunk {
  DWORD size;      // bytes of the chunk, header included; multiple of kAlign
  DWORD prevSize;  // size of the chunk before it, 0 for the first
  DWORD slot;      // index + 1 of the owning slot; 0 = free chunk
  DWORD user;      // bytes the owner asked for (used chunks)
};
static_assert(sizeof(Chunk) == kChunkHeader);

struct FreeLinks {  // payload of a free chunk
  DWORD next;
  DWORD prev;
};

struct NamedEntry {
  char name[kNameLen];  // empty = entry free
  DWORD block;          // handle of the named block
  DWORD refs;           // sum of the counts of its NameRef entries
};

// One reference to a named block held by a thread of a process. Every
// memAllocNamedBlock call adds one for the calling thread; memFreeNamedBlock
// drops one of the calling thread, memFreeNamedBlockProxy one of the thread
// it names (in the calling process). The block goes with its last reference.
struct NameRef {
  DWORD entry;  // index + 1 of the NamedEntry; 0 = free
  DWORD pid;
  DWORD tid;
  DWORD count;
};

// The view of one area in this process.
struct View {
  BYTE* base;
  DWORD size;  // bytes mapped in this process; bounds every offset we follow

  AreaHeader* hdr() const { return reinterpret_cast<AreaHeader*>(base); }
  // Pointer to `len` bytes at `off`, or nullptr when they are not inside the view.
  template <class T>
  T* at(DWORD off, DWORD len = sizeof(T)) const {
    if (off == 0 || off > size || len > size - off) return nullptr;
    return reinterpret_cast<T*>(base + off);
  }
};

#ifdef KRZMEM15_FAULTS
// Test builds only (the KRZMEM15F library): ends the process at the ordered
// store named by the environment variable KRZMEM15_FAULT_AT (1 = the first).
void FaultPoint();
#else
inline void FaultPoint() {}
#endif

// Keeps the compiler from moving stores across this point, so that a process
// killed between two stores leaves them in program order.
inline void StoreOrder() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  FaultPoint();
}

inline DWORD RoundUp(DWORD n, DWORD a) { return (n + a - 1) & ~(a - 1); }

}  // namespace krzmem
