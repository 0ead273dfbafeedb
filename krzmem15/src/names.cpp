// Named blocks.
//
// A NamedEntry ties a name to a block; NameRef records say which threads hold
// it, so that each process's attach (alloc) and detach (free, possibly from
// another thread through the proxy) only count themselves in and out, and
// the block lives exactly as long as somebody still holds it.
#include "names.h"

#include <stdio.h>
#include <string.h>

#include "blocks.h"

namespace krzmem {
namespace {

// A process that holds references keeps the event "KRZMEM15.Alive.<pid>"
// open until the library detaches from it; when it is gone, so is the event.
std::atomic<HANDLE> alive{nullptr};

void AliveName(char* buf, size_t n, DWORD pid) {
  snprintf(buf, n, "KRZMEM15.Alive.%lu", static_cast<unsigned long>(pid));
}

bool MarkAlive() {
  if (alive.load()) return true;
  char name[40];
  AliveName(name, sizeof name, GetCurrentProcessId());
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name);
  HANDLE none = nullptr;
  if (h && !alive.compare_exchange_strong(none, h)) CloseHandle(h);  // another thread won
  return alive.load() != nullptr;
}

// Only a definite "no such object" counts as gone; anything else is taken
// for alive.
bool ProcessGone(DWORD pid) {
  char name[40];
  AliveName(name, sizeof name, pid);
  HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (h) CloseHandle(h);
  return !h && GetLastError() == ERROR_FILE_NOT_FOUND;
}

NamedEntry* Entries(const View& v) {
  const AreaHeader* h = v.hdr();
  return v.at<NamedEntry>(h->namesOff, h->nameCap * static_cast<DWORD>(sizeof(NamedEntry)));
}

NameRef* Refs(const View& v) {
  const AreaHeader* h = v.hdr();
  return v.at<NameRef>(h->refsOff, h->refCap * static_cast<DWORD>(sizeof(NameRef)));
}

bool NameFits(const char* name) {
  return name != nullptr && name[0] != '\0' && strnlen(name, kNameLen) < kNameLen;
}

// The reference of (entry, pid, tid), or else a free record when `orFree`.
NameRef* FindRef(const View& v, DWORD entry, DWORD pid, DWORD tid, bool orFree) {
  NameRef* refs = Refs(v);
  if (!refs) return nullptr;
  NameRef* spare = nullptr;
  for (DWORD i = 0; i < v.hdr()->refCap; ++i) {
    NameRef& r = refs[i];
    if (r.entry == entry + 1 && r.pid == pid && r.tid == tid) return &r;
    if (r.entry == 0 && !spare) spare = &r;
  }
  return orFree ? spare : nullptr;
}

// Drops the references of processes that ended without letting go (they
// were killed); a named block nobody else holds goes with them.
void PruneDead(const View& v) {
  const AreaHeader* h = v.hdr();
  NamedEntry* e = Entries(v);
  NameRef* refs = Refs(v);
  if (!e || !refs) return;
  DWORD self = GetCurrentProcessId(), lastPid = 0;
  bool lastGone = false;
  for (DWORD j = 0; j < h->refCap; ++j) {
    NameRef& r = refs[j];
    if (r.entry == 0 || r.entry > h->nameCap || r.pid == self) continue;
    if (r.pid != lastPid) {
      lastPid = r.pid;
      lastGone = ProcessGone(r.pid);
    }
    if (!lastGone) continue;
    NamedEntry& n = e[r.entry - 1];
    n.refs = n.refs > r.count ? n.refs - r.count : 0;
    r.entry = 0;
    if (n.refs == 0 && n.name[0] != '\0') {
      n.name[0] = '\0';
      StoreOrder();
      BlockFree(v, n.block, true);
    }
  }
}

}  // namespace

void ReleaseAlive() {
  HANDLE h = alive.exchange(nullptr);
  if (h) CloseHandle(h);
}

DWORD NamedEntryOf(const View& v, const char* name) {
  const AreaHeader* h = v.hdr();
  NamedEntry* e = Entries(v);
  if (!e || !NameFits(name)) return h->nameCap;
  for (DWORD i = 0; i < h->nameCap; ++i) {
    if (e[i].name[kNameLen - 1] == '\0' && strcmp(e[i].name, name) == 0) return i;
  }
  return h->nameCap;
}

DWORD NamedFind(const View& v, const char* name) {
  DWORD i = NamedEntryOf(v, name);
  if (i >= v.hdr()->nameCap) return 0;
  DWORD block = Entries(v)[i].block;
  return Resolve(v, block) ? block : 0;
}

DWORD NamedAlloc(const View& v, DWORD size, const char* name, DWORD pid, DWORD tid) {
  const AreaHeader* h = v.hdr();
  NamedEntry* e = Entries(v);
  if (!e || !NameFits(name) || !MarkAlive()) return 0;
  if (!FindRef(v, h->nameCap, 0, 0, true)) PruneDead(v);  // no free record left
  DWORD i = NamedEntryOf(v, name);
  bool created = false;
  if (i >= h->nameCap) {
    for (i = 0; i < h->nameCap && e[i].name[0] != '\0'; ++i) {
    }
    if (i >= h->nameCap) return 0;
    DWORD block = BlockAlloc(v, size, kSlotNamed);
    if (block == 0) return 0;
    e[i].block = block;
    e[i].refs = 0;
    StoreOrder();
    strcpy(e[i].name, name);
    StoreOrder();
    created = true;
  }
  NameRef* r = FindRef(v, i, pid, tid, true);
  if (!r || !Resolve(v, e[i].block)) {
    if (created) {
      e[i].name[0] = '\0';
      StoreOrder();
      BlockFree(v, e[i].block, true);
    }
    return 0;
  }
  if (r->entry == 0) {
    r->pid = pid;
    r->tid = tid;
    r->count = 0;
    StoreOrder();
    r->entry = i + 1;
  }
  r->count += 1;
  e[i].refs += 1;
  return e[i].block;
}

BOOL NamedFree(const View& v, const char* name, DWORD pid, DWORD tid) {
  const AreaHeader* h = v.hdr();
  DWORD i = NamedEntryOf(v, name);
  if (i >= h->nameCap) return FALSE;
  NamedEntry& e = Entries(v)[i];
  NameRef* r = FindRef(v, i, pid, tid, false);
  if (!r) return FALSE;
  r->count -= 1;
  if (r->count == 0) r->entry = 0;
  e.refs = e.refs > 0 ? e.refs - 1 : 0;
  if (e.refs == 0) {
    DWORD block = e.block;
    e.name[0] = '\0';
    StoreOrder();
    BlockFree(v, block, true);
  }
  return TRUE;
}

}  // namespace krzmem
