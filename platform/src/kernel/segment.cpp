#include "kernel/segment.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

#include "common/identity.h"
#include "common/names.h"

namespace w32p {

namespace {

constexpr uint32_t kMagic = 0x57333250;  // "W32P"

// Serialises create, open and close of names: the recursive mutex among the
// threads of this process, flock() on the namespace's lock file among
// processes. The flock is taken once per outermost acquisition.
//
// The lock file exists only while the namespace has objects: the process
// that finds the namespace empty as it lets go of the lock unlinks the file
// while still holding it. A process that opened the file before that and
// then gets the lock sees it unlinked (no links left) and locks the file now
// at the path instead, so no two processes ever hold different files.
struct NameLock {
  std::recursive_mutex mutex;
  int depth = 0;
  int fd = -1;
  bool used = false;  // this process has used a named object
  // Objects of this process by segment name, so a name opened twice shares
  // one attachment.
  struct Entry {
    Segment* seg;
    std::weak_ptr<Object> weak;
  };
  std::map<std::string, Entry> registry;
};

NameLock& name_lock() {
  static NameLock* n = new NameLock;  // never destroyed
  return *n;
}

std::string lock_path() { return "/dev/shm/w32p." + name_space() + ".lock"; }

int open_lock_file() {
  std::string path = lock_path();
  // Open before creating: with fs.protected_regular an O_CREAT open of
  // another user's file in the sticky /dev/shm is refused.
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);  // every user of the namespace must lock it
    } else if (errno == EEXIST) {
      fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
  }
  return fd;
}

// True when /dev/shm holds no object segment of this namespace.
bool namespace_empty() {
  std::string prefix = shm_name("obj", "");
  prefix = prefix.substr(1, prefix.find(".obj.") + 5 - 1);  // "w32p.<ns>.obj."
  DIR* d = opendir("/dev/shm");
  if (!d) return false;
  bool empty = true;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

class NameGuard {
 public:
  NameGuard() : n_(name_lock()) {
    n_.mutex.lock();
    if (n_.depth++ == 0) lock_file();
  }
  ~NameGuard() {
    if (--n_.depth == 0 && n_.fd >= 0) {
      // Holding no name, this process may be the namespace's last user.
      if (n_.registry.empty() && namespace_empty()) {
        unlink(lock_path().c_str());
        close(n_.fd);  // drops the lock too
        n_.fd = -1;
      } else {
        flock(n_.fd, LOCK_UN);
      }
    }
    n_.mutex.unlock();
  }
  NameGuard(const NameGuard&) = delete;
  NameGuard& operator=(const NameGuard&) = delete;

 private:
  void lock_file() {
    n_.used = true;
    for (;;) {
      if (n_.fd < 0) n_.fd = open_lock_file();
      if (n_.fd < 0) return;
      while (flock(n_.fd, LOCK_EX) != 0 && errno == EINTR) {
      }
      struct stat st;
      if (fstat(n_.fd, &st) != 0 || st.st_nlink > 0) return;
      // Unlinked by the namespace's last user since it was opened.
      close(n_.fd);
      n_.fd = -1;
    }
  }

  NameLock& n_;
};

size_t round_page(uint64_t n) { return (size_t)((n + kPage - 1) / kPage * kPage); }

DWORD error_from_errno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Drops holders that are no longer alive; returns the number left.
int prune_holders(SegHeader* h) {
  const Owner& me = self_process();
  int live = 0;
  for (Holder& e : h->holders) {
    if (e.pid == 0) continue;
    if ((e.pid == me.pid && e.start == me.start) || alive(Owner{e.pid, 0, e.start})) {
      ++live;
    } else {
      e = Holder{};
    }
  }
  return live;
}

bool add_holder(SegHeader* h) {
  const Owner& me = self_process();
  Holder* empty = nullptr;
  for (Holder& e : h->holders) {
    if (e.pid == me.pid && e.start == me.start) {
      ++e.count;
      return true;
    }
    if (e.pid == 0 && !empty) empty = &e;
  }
  if (!empty) return false;
  *empty = Holder{me.pid, 1, me.start};
  return true;
}

// Removes one count of this process; returns the number of live holders left.
int drop_holder(SegHeader* h) {
  const Owner& me = self_process();
  for (Holder& e : h->holders) {
    if (e.pid == me.pid && e.start == me.start) {
      if (--e.count == 0) e = Holder{};
      break;
    }
  }
  return prune_holders(h);
}

SegHeader* map_header(int fd) {
  void* p = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : (SegHeader*)p;
}

void fill_header(SegHeader* h, const OpenRequest& req, const std::string& name) {
  h->type = (uint32_t)req.type;
  h->data_size = req.data_size;
  h->name_len = (uint32_t)name.size();
  memcpy(h->name, name.data(), name.size());
  if (req.init) req.init((char*)h + kStateOffset, req.arg);
}

// Hands a newly made segment to the caller; only mappings keep their file.
OpenResult finish_created(SegHeader* h, int fd, const OpenRequest& req, Segment* out) {
  out->header = h;
  out->data_size = req.data_size;
  if (req.type == SegType::Mapping) {
    out->fd = fd;
  } else {
    close(fd);
  }
  return OpenResult::Created;
}

OpenResult open_unnamed(const OpenRequest& req, Segment* out) {
  size_t total = kPage + (req.type == SegType::Mapping ? round_page(req.data_size) : 0);
  int fd = memfd_create("w32p", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)total) != 0) {
    SetLastError(error_from_errno(errno));
    if (fd >= 0) close(fd);
    return OpenResult::Failed;
  }
  SegHeader* h = map_header(fd);
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    close(fd);
    return OpenResult::Failed;
  }
  fill_header(h, req, std::string());
  h->magic = kMagic;
  return finish_created(h, fd, req, out);
}

// Runs under NameGuard.
OpenResult open_named(const OpenRequest& req, const std::string& name, Segment* out) {
  std::string shm = shm_name("obj", name);
  size_t total = kPage + (req.type == SegType::Mapping ? round_page(req.data_size) : 0);
  bool fresh = false;
  int fd = -1;
  if (req.create) {
    fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, req.mode);
    if (fd >= 0) {
      fresh = true;
      fchmod(fd, req.mode);  // the umask must not narrow who may open it
    } else if (errno != EEXIST) {
      SetLastError(error_from_errno(errno));
      return OpenResult::Failed;
    }
  }
  if (fd < 0) {
    fd = shm_open(shm.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
      SetLastError(error_from_errno(errno));
      return OpenResult::Failed;
    }
  }
  SegHeader* h = nullptr;
  if (!fresh) {
    struct stat st;
    bool stale = fstat(fd, &st) != 0 || (size_t)st.st_size < kPage;
    if (!stale) {
      h = map_header(fd);
      stale = !h || __atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != kMagic || prune_holders(h) == 0;
    }
    if (!stale) {
      if (h->name_len != name.size() || memcmp(h->name, name.data(), name.size()) != 0 ||
          h->type != (uint32_t)req.type) {
        // Another object under this name (or, vanishingly rarely, a hash
        // collision): Windows reports a type mismatch as an invalid handle.
        munmap(h, kPage);
        close(fd);
        SetLastError(ERROR_INVALID_HANDLE);
        return OpenResult::Failed;
      }
      if (!add_holder(h)) {
        munmap(h, kPage);
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OpenResult::Failed;
      }
      out->shm = shm;
      out->named = true;
      out->header = h;
      out->data_size = h->data_size;
      if (req.type == SegType::Mapping) {
        out->fd = fd;
      } else {
        close(fd);
      }
      return OpenResult::Existed;
    }
    // Left behind by processes that are all gone: the object no longer
    // exists. Open reports it missing; create renews it.
    if (h) munmap(h, kPage);
    h = nullptr;
    if (!req.create) {
      shm_unlink(shm.c_str());
      close(fd);
      SetLastError(ERROR_FILE_NOT_FOUND);
      return OpenResult::Failed;
    }
    fchmod(fd, req.mode);
    if (ftruncate(fd, 0) != 0) {
      SetLastError(error_from_errno(errno));
      close(fd);
      return OpenResult::Failed;
    }
  }
  if (ftruncate(fd, (off_t)total) != 0 || !(h = map_header(fd))) {
    SetLastError(error_from_errno(errno));
    shm_unlink(shm.c_str());
    close(fd);
    return OpenResult::Failed;
  }
  fill_header(h, req, name);
  add_holder(h);
  __atomic_store_n(&h->magic, kMagic, __ATOMIC_RELEASE);
  out->shm = shm;
  out->named = true;
  return finish_created(h, fd, req, out);
}

// Unlinks the segments of this namespace that no live process holds: left
// by processes that were killed or ended without closing, or half-made by a
// creator killed mid-way. Opening such a name would find it gone anyway;
// removing it keeps the directory to the objects that exist. Runs under
// NameGuard, so no segment is being made meanwhile.
void sweep_dead_segments() {
  std::string prefix = shm_name("obj", "");
  prefix = prefix.substr(1, prefix.find(".obj.") + 5 - 1);  // "w32p.<ns>.obj."
  DIR* d = opendir("/dev/shm");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    std::string shm = std::string("/") + e->d_name;
    int fd = shm_open(shm.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) continue;  // gone meanwhile, or another user's
    struct stat st;
    bool dead = false;
    if (fstat(fd, &st) == 0) {
      SegHeader* h = (size_t)st.st_size >= kPage ? map_header(fd) : nullptr;
      if (!h) {
        dead = (size_t)st.st_size < kPage;
      } else if (__atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != kMagic) {
        dead = true;
      } else if (h->name_len < kMaxName &&
                 shm_name("obj", std::string(h->name, h->name_len)) == shm) {
        dead = prune_holders(h) == 0;  // else not one of ours: left alone
      }
      if (h) munmap(h, kPage);
    }
    close(fd);
    if (dead) shm_unlink(shm.c_str());
  }
  closedir(d);
}

// Once per process, before its first named object: clears what dead
// processes left.
void sweep_once() {
  static bool done = false;
  if (done) return;
  done = true;
  sweep_dead_segments();
}

// At normal exit (after the libraries that use this layer have run their
// detach code) the process lets go of the names it still holds, as process
// exit closes every handle on Windows, and clears what dead processes left.
// Memory stays mapped: threads may still run.
__attribute__((destructor)) void release_names_at_exit() {
  NameLock& n = name_lock();
  std::vector<std::pair<ObjectRef, Segment*>> held;  // keeps each segment alive meanwhile
  {
    std::lock_guard<std::recursive_mutex> g(n.mutex);
    if (!n.used) return;  // never used a named object
  }
  NameGuard guard;
  for (auto& entry : n.registry)
    if (ObjectRef o = entry.second.weak.lock()) held.emplace_back(std::move(o), entry.second.seg);
  for (auto& h : held) h.second->release_name();
  sweep_dead_segments();
}

}  // namespace

bool object_name(const char* name, std::string* out) {
  std::string s = name ? name : "";
  if (s.rfind("Global\\", 0) == 0) {
    s.erase(0, 7);
  } else if (s.rfind("Local\\", 0) == 0) {
    s.erase(0, 6);
  }
  if (s.size() >= kMaxName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  *out = std::move(s);
  return true;
}

unsigned object_mode(const SECURITY_ATTRIBUTES* sa) {
  if (!sa || !sa->lpSecurityDescriptor) return 0600;
  const SECURITY_DESCRIPTOR* sd = (const SECURITY_DESCRIPTOR*)sa->lpSecurityDescriptor;
  if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl == nullptr) return 0666;
  return 0600;
}

void Segment::release_name(const std::atomic<int>* handles) {
  if (!named) return;
  NameGuard guard;
  if (!named || (handles && handles->load() > 0)) return;
  named = false;
  if (header && drop_holder(header) == 0) shm_unlink(shm.c_str());
  NameLock& n = name_lock();
  auto it = n.registry.find(shm);
  if (it != n.registry.end() && it->second.seg == this) n.registry.erase(it);
}

Segment::~Segment() {
  release_name();
  if (header) munmap(header, kPage);
  if (fd >= 0) close(fd);
}

HANDLE insert_pinned(ObjectRef object) {
  DWORD err = GetLastError();
  HANDLE h = handle_insert(object);
  handle_unpin(*object);
  if (h) SetLastError(err);
  return h;
}

ObjectRef object_open(const OpenRequest& req, Kind kind, SegmentFactory make, void* make_arg) {
  std::string name;
  if (!object_name(req.name, &name)) return nullptr;
  if (name.empty()) {
    if (!req.create) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    Segment seg;
    if (open_unnamed(req, &seg) == OpenResult::Failed) return nullptr;
    std::shared_ptr<SegmentObject> obj = make(&seg, make_arg);
    handle_pin(*obj);
    SetLastError(ERROR_SUCCESS);
    return obj;
  }
  NameGuard guard;
  sweep_once();
  NameLock& n = name_lock();
  std::string shm = shm_name("obj", name);
  auto it = n.registry.find(shm);
  if (it != n.registry.end()) {
    ObjectRef existing = it->second.weak.lock();
    // An object whose last handle is closing has given up its name.
    if (existing && existing->handles.load() > 0) {
      if (existing->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      handle_pin(*existing);
      SetLastError(req.create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
      return existing;
    }
  }
  Segment seg;
  OpenResult r = open_named(req, name, &seg);
  if (r == OpenResult::Failed) return nullptr;
  std::shared_ptr<SegmentObject> obj = make(&seg, make_arg);
  handle_pin(*obj);
  n.registry[shm] = NameLock::Entry{&obj->seg, obj};
  SetLastError(r == OpenResult::Existed && req.create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return obj;
}

}  // namespace w32p
