// Process-local table of open areas; see table.h.
#include "table.h"

namespace krzmem {
namespace {

constexpr int kMaxAreas = 64;
constexpr uint64_t kFree = 0, kReserved = 1, kOpen = 2, kClosing = 3;

struct Entry {
  std::atomic<uint64_t> word;  // generation << 32 | state << 16 | calls inside
  Opened area;
};
Entry g_table[kMaxAreas];

uint64_t Word(uint64_t gen, uint64_t state, uint64_t users) {
  return gen << 32 | state << 16 | users;
}
DWORD GenOf(uint64_t w) { return static_cast<DWORD>(w >> 32); }
uint64_t StateOf(uint64_t w) { return (w >> 16) & 0xFFFF; }
uint64_t UsersOf(uint64_t w) { return w & 0xFFFF; }

int IndexOf(DWORD area) {
  DWORD low = area & 0xFF;
  return low >= 1 && low <= kMaxAreas ? static_cast<int>(low - 1) : -1;
}

void Close(int index) {
  Entry& e = g_table[index];
  Opened a = e.area;
  e.area = Opened{};
  e.word.store(Word(GenOf(e.word.load()), kFree, 0), std::memory_order_release);
  if (a.view.base) UnmapViewOfFile(a.view.base);
  if (a.map) CloseHandle(a.map);
  if (a.mutex) CloseHandle(a.mutex);
}

}  // namespace

DWORD TableAdd(const Opened& area) {
  for (int i = 0; i < kMaxAreas; ++i) {
    Entry& e = g_table[i];
    uint64_t w = e.word.load(std::memory_order_acquire);
    if (StateOf(w) != kFree || !e.word.compare_exchange_strong(w, Word(GenOf(w), kReserved, 0))) {
      continue;
    }
    DWORD gen = (GenOf(w) + 1) & 0xFFFFFF;
    if (gen == 0) gen = 1;
    e.area = area;
    e.word.store(Word(gen, kOpen, 0), std::memory_order_release);
    return gen << 8 | static_cast<DWORD>(i + 1);
  }
  return 0;
}

int TableEnter(DWORD area, Opened* out) {
  int i = IndexOf(area);
  if (i < 0) return -1;
  Entry& e = g_table[i];
  uint64_t w = e.word.load(std::memory_order_acquire);
  do {
    if (GenOf(w) != area >> 8 || StateOf(w) != kOpen || UsersOf(w) == 0xFFFF) return -1;
  } while (!e.word.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel));
  *out = e.area;
  return i;
}

void TableLeave(int index) {
  uint64_t w = g_table[index].word.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (StateOf(w) == kClosing && UsersOf(w) == 0) Close(index);
}

void TableRelease(DWORD area) {
  int i = IndexOf(area);
  if (i < 0) return;
  Entry& e = g_table[i];
  uint64_t w = e.word.load(std::memory_order_acquire);
  uint64_t closing;
  do {
    if (GenOf(w) != area >> 8 || StateOf(w) != kOpen) return;
    closing = Word(GenOf(w), kClosing, UsersOf(w));
  } while (!e.word.compare_exchange_weak(w, closing, std::memory_order_acq_rel));
  if (UsersOf(closing) == 0) Close(i);  // else the last call inside closes it
}

}  // namespace krzmem
