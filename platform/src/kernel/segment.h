// Shared segments behind kernel objects.
//
// Every mutex, event and file mapping lives in a segment: one header page
// (type, exact name, holder table, the object's synchronisation state)
// followed, for mappings, by the data. A named segment is a file in
// /dev/shm named by shm_name("obj", name) in the current namespace; an
// unnamed one is an anonymous memory file of this process.
//
// Lifetime across processes: the holder table records every process that
// has the object open as (pid, start time, count). Create, open and close
// run under an in-process mutex plus flock() on the namespace's lock file,
// which the kernel drops when a process dies. Under that lock, holders that
// are no longer alive are pruned; a segment without live holders (left by
// processes that were killed, or by one killed while creating it) is
// re-initialised fresh, as Windows would have destroyed the object; the last
// holder to close unlinks the name.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "common/handles.h"

namespace w32p {

enum class SegType : uint32_t { Mutex = 1, Event = 2, Mapping = 3 };

constexpr size_t kPage = 4096;
constexpr size_t kMaxName = 1024;
constexpr int kMaxHolders = 96;

struct Holder {
  int32_t pid;
  uint32_t count;  // handles + views of that process (one per in-process object)
  uint64_t start;
};

struct SegHeader {
  uint32_t magic;  // kMagic once the creator finished initialising
  uint32_t type;   // SegType
  uint64_t data_size;
  uint32_t name_len;
  uint32_t reserved;
  char name[kMaxName];
  Holder holders[kMaxHolders];
};

// Object state sits at this offset of the header page.
constexpr size_t kStateOffset = 2688;
static_assert(sizeof(SegHeader) <= kStateOffset, "header overlaps state");

// A process's attachment to one segment.
struct Segment {
  std::string shm;  // /dev/shm name; empty when unnamed
  // Still holds its holder entry. Atomic: release_name looks at it before
  // taking the name lock, while another thread closing its last handle to
  // the same object may be clearing it under that lock.
  std::atomic<bool> named{false};
  int fd = -1;  // kept open for mappings only
  SegHeader* header = nullptr;
  uint64_t data_size = 0;

  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment();

  void* state() const { return (char*)header + kStateOffset; }
  // Gives up this process's claim on the name (its holder entry); the last
  // holder removes the name. The memory stays mapped for views and owners.
  // With `handles`, nothing happens if the count went up again meanwhile
  // (the name was opened anew by another thread of this process).
  void release_name(const std::atomic<int>* handles = nullptr);
  // Takes over another attachment (which is left empty).
  void adopt(Segment& from) {
    named = from.named.load();
    from.named = false;
    shm = std::move(from.shm);
    fd = from.fd;
    header = from.header;
    data_size = from.data_size;
    from.shm.clear();
    from.fd = -1;
    from.header = nullptr;
  }
};

struct OpenRequest {
  SegType type;
  const char* name;    // NULL or "" = unnamed
  bool create;         // create if missing (else only open)
  uint64_t data_size;  // mappings: size when created
  unsigned mode;       // file mode when created (0600 or 0666)
  // Initialises the object state of a new or renewed segment.
  void (*init)(void* state, void* arg);
  void* arg;
};

// Base of the objects that live in a segment.
struct SegmentObject : Object {
  explicit SegmentObject(Kind k) : Object(k) {}
  void last_handle_closed() override { seg.release_name(&handles); }
  Segment seg;
};

// Inserts a pinned object into the handle table and unpins it; keeps the
// last error of the open on success.
HANDLE insert_pinned(ObjectRef object);

enum class OpenResult { Created, Existed, Failed };

// Normalises a Win32 object name: drops "Global\" or "Local\". Returns
// false with the last error set when the name cannot be used.
bool object_name(const char* name, std::string* out);

}  // namespace w32p

namespace w32p {

// Creates or opens a kernel object of the given kind. Within a process a
// name opened twice yields the same Object (one holder entry); `make` wraps
// a newly attached segment into the object. The result is pinned
// (handle_pin): insert it into the handle table, then unpin it. Sets the last error to
// ERROR_ALREADY_EXISTS or ERROR_SUCCESS on success; on failure to
// ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE (the name belongs to an object
// of another type), ERROR_ACCESS_DENIED, ERROR_FILENAME_EXCED_RANGE, ...
using SegmentFactory = std::shared_ptr<SegmentObject> (*)(Segment* attached, void* arg);
ObjectRef object_open(const OpenRequest& req, Kind kind, SegmentFactory make, void* make_arg);

// File mode for a new named object from its security attributes.
unsigned object_mode(const SECURITY_ATTRIBUTES* sa);

}  // namespace w32p
