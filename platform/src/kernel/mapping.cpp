// File mappings backed by the paging file: the data follows the header
// page of the object's segment. Each view keeps the mapping object alive,
// so the object (and its name) lives until its last handle and last view
// are gone.
#include <sys/mman.h>

#include <map>
#include <mutex>

#include "kernel/segment.h"

namespace w32p {

namespace {

constexpr uint64_t kGranularity = 65536;

class MappingObject : public SegmentObject {
 public:
  MappingObject() : SegmentObject(Kind::Mapping) {}
  bool writable = true;
};

struct View {
  size_t length;
  ObjectRef mapping;
};

struct Views {
  std::mutex lock;
  std::map<uintptr_t, View> by_base;
};

Views& views() {
  static Views* v = new Views;  // never destroyed
  return *v;
}

std::shared_ptr<SegmentObject> make_mapping(Segment* attached, void* arg) {
  auto obj = std::make_shared<MappingObject>();
  obj->seg.adopt(*attached);
  obj->writable = *(const bool*)arg;
  return obj;
}

HANDLE open_mapping(const OpenRequest& req, bool writable) {
  ObjectRef obj = object_open(req, Kind::Mapping, make_mapping, &writable);
  if (!obj) return NULL;
  return insert_pinned(std::move(obj));
}

}  // namespace

}  // namespace w32p

using namespace w32p;

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                 DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                 LPCSTR lpName) {
  if (hFile != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);  // no file handles on this platform
    return NULL;
  }
  uint64_t size = ((uint64_t)dwMaximumSizeHigh << 32) | dwMaximumSizeLow;
  DWORD page = flProtect & 0xFF;
  if (size == 0 || (page != PAGE_READONLY && page != PAGE_READWRITE && page != PAGE_WRITECOPY)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  OpenRequest req{SegType::Mapping, lpName, true, size, object_mode(lpFileMappingAttributes),
                  nullptr,          nullptr};
  return open_mapping(req, page == PAGE_READWRITE);
}

HANDLE WINAPI OpenFileMappingA(DWORD, BOOL, LPCSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  OpenRequest req{SegType::Mapping, lpName, false, 0, 0600, nullptr, nullptr};
  return open_mapping(req, true);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap) {
  auto m = handle_get_as<MappingObject>(hFileMappingObject, Kind::Mapping);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  uint64_t offset = ((uint64_t)dwFileOffsetHigh << 32) | dwFileOffsetLow;
  if (offset % kGranularity) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return NULL;
  }
  uint64_t size = m->seg.data_size;
  if (offset >= size || dwNumberOfBytesToMap > size - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  size_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : (size_t)(size - offset);
  int prot = PROT_READ;
  int flags = MAP_SHARED;
  if (dwDesiredAccess == FILE_MAP_COPY) {
    prot |= PROT_WRITE;
    flags = MAP_PRIVATE;
  } else if (dwDesiredAccess & FILE_MAP_WRITE) {
    if (!m->writable) {
      SetLastError(ERROR_ACCESS_DENIED);
      return NULL;
    }
    prot |= PROT_WRITE;
  }
  void* p = mmap(nullptr, length, prot, flags, m->seg.fd, (off_t)(kPage + offset));
  if (p == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  Views& v = views();
  std::lock_guard<std::mutex> g(v.lock);
  v.by_base[(uintptr_t)p] = View{length, std::move(m)};
  SetLastError(ERROR_SUCCESS);
  return p;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  ObjectRef dropped;  // released after the lock: it may end the mapping
  {
    Views& v = views();
    std::lock_guard<std::mutex> g(v.lock);
    uintptr_t a = (uintptr_t)lpBaseAddress;
    auto it = v.by_base.upper_bound(a);
    if (lpBaseAddress == nullptr || it == v.by_base.begin()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    --it;
    if (a >= it->first + it->second.length) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    munmap((void*)it->first, it->second.length);
    dropped = std::move(it->second.mapping);
    v.by_base.erase(it);
  }
  return TRUE;
}
