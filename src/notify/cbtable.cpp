// The process-local table of client callbacks (see cbtable.h).
//
// A key is the entry's index + 1 in its low 8 bits and the entry's
// generation above them, so a key kept after its entry was freed and reused
// finds nothing instead of another function.
#include "notify/cbtable.h"

#include <mutex>

namespace {

constexpr DWORD kEntries = 128;
constexpr DWORD kIndexBits = 8;
constexpr DWORD kIndexMask = (1u << kIndexBits) - 1;

struct Entry {
  MLC_CALLBACK lpfn;  // NULL = free
  DWORD dwRefs;
  DWORD dwGeneration;
};

struct Table {
  std::mutex mu;
  Entry entries[kEntries];
};

Table& TheTable() {
  static Table table;
  return table;
}

DWORD KeyOf(DWORD dwIndex, const Entry& e) {
  return ((e.dwGeneration & (0xFFFFFFFFu >> kIndexBits)) << kIndexBits) | (dwIndex + 1);
}

// The entry a key names, or NULL; the caller holds the table's lock.
Entry* Find(Table& t, DWORD dwKey) {
  DWORD dwIndex = (dwKey & kIndexMask) - 1;
  if ((dwKey & kIndexMask) == 0 || dwIndex >= kEntries) return NULL;
  Entry& e = t.entries[dwIndex];
  if (!e.lpfn || KeyOf(dwIndex, e) != dwKey) return NULL;
  return &e;
}

}  // namespace

static_assert(kEntries <= kIndexMask, "the index + 1 fits its bits");

DWORD RegisterCallBack(MLC_CALLBACK lpfnCallBack) {
  if (!lpfnCallBack) return 0;
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.mu);
  Entry* lpFree = NULL;
  DWORD dwFree = 0;
  for (DWORD i = 0; i < kEntries; ++i) {
    Entry& e = t.entries[i];
    if (e.lpfn == lpfnCallBack) {
      ++e.dwRefs;
      return KeyOf(i, e);
    }
    if (!e.lpfn && !lpFree) {
      lpFree = &e;
      dwFree = i;
    }
  }
  if (!lpFree) return 0;
  lpFree->lpfn = lpfnCallBack;
  lpFree->dwRefs = 1;
  return KeyOf(dwFree, *lpFree);
}

MLC_CALLBACK LookupCallBack(DWORD dwKey) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.mu);
  Entry* e = Find(t, dwKey);
  return e ? e->lpfn : NULL;
}

void ForgetCallBack(DWORD dwKey) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.mu);
  Entry* e = Find(t, dwKey);
  if (!e || --e->dwRefs != 0) return;
  e->lpfn = NULL;
  ++e->dwGeneration;
}
