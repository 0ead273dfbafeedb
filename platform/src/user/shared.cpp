#include "user/shared.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "common/names.h"
#include "user/queue.h"

namespace w32p::user {

namespace {

constexpr uint32_t kMagic = 0x57494E31;  // "WIN1"

// Attachment protocol. Every process that uses the table holds a shared
// flock on the segment for as long as it is attached; the process that
// creates the segment holds it exclusively until the header is ready. So a
// process that gets the lock exclusively is alone: a segment it finds
// already filled in was left by processes that were killed, and it is
// replaced by a fresh one. The last process to detach removes the name.
// (The creator's switch from the exclusive to the shared lock is atomic on
// Linux since 4.0, so nobody can take the segment for stale in between.)
struct Attachment {
  std::mutex mu;
  Table* table = nullptr;
  int fd = -1;
  std::string name;
  bool failed = false;

  ~Attachment() {
    if (fd < 0) return;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(name.c_str());
    close(fd);
    fd = -1;
  }
};

Attachment& attachment() {
  static Attachment a;
  return a;
}

void init_table(Table* t) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  // The kernel hands the lock to the first waiter on release, so a waiter
  // killed right after its wake-up cannot leave the others asleep (see the
  // kernel half's mutexes).
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&t->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  t->next_window = 0;
  t->next_queue = 0;
  t->size = sizeof(Table);
  __atomic_store_n(&t->magic, kMagic, __ATOMIC_RELEASE);
}

Table* map_fd(int fd) {
  void* p = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<Table*>(p);
}

// One attempt; returns the mapped table, or null with `retry` set when the
// segment changed under us (replaced, or its creator died half-way).
Table* try_attach(const std::string& name, int* out_fd, bool* retry) {
  *retry = false;
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Alone with this segment.
    if (fstat(fd, &st) != 0) {
      close(fd);
      return nullptr;
    }
    if (st.st_nlink == 0 || st.st_size != 0) {
      // Removed meanwhile, or left behind by killed processes: start over
      // with a fresh segment.
      if (st.st_nlink != 0) shm_unlink(name.c_str());
      close(fd);
      *retry = true;
      return nullptr;
    }
    fchmod(fd, 0666);  // machine-wide, whatever the umask
    if (ftruncate(fd, sizeof(Table)) != 0) {
      shm_unlink(name.c_str());
      close(fd);
      return nullptr;
    }
    Table* t = map_fd(fd);
    if (!t) {
      shm_unlink(name.c_str());
      close(fd);
      return nullptr;
    }
    init_table(t);
    flock(fd, LOCK_SH);
    *out_fd = fd;
    return t;
  }
  // Others are attached, or a creator is still filling in the header.
  if (flock(fd, LOCK_SH) != 0 || fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  if (st.st_nlink == 0 || st.st_size != (off_t)sizeof(Table)) {
    close(fd);
    *retry = true;
    return nullptr;
  }
  Table* t = map_fd(fd);
  if (!t) {
    close(fd);
    return nullptr;
  }
  if (__atomic_load_n(&t->magic, __ATOMIC_ACQUIRE) != kMagic || t->size != sizeof(Table)) {
    // Its creator died before finishing (or another build's layout).
    munmap(t, sizeof(Table));
    close(fd);
    *retry = true;
    return nullptr;
  }
  *out_fd = fd;
  return t;
}

}  // namespace

Table* table() {
  Attachment& a = attachment();
  Table* t = __atomic_load_n(&a.table, __ATOMIC_ACQUIRE);
  if (t) return t;
  std::lock_guard<std::mutex> guard(a.mu);
  if (a.table || a.failed) return a.table;
  a.name = shm_name("win", "table");
  for (int attempt = 0; attempt < 200; ++attempt) {
    bool retry = false;
    int fd = -1;
    t = try_attach(a.name, &fd, &retry);
    if (t) {
      a.fd = fd;
      __atomic_store_n(&a.table, t, __ATOMIC_RELEASE);
      return t;
    }
    if (!retry) break;
    if (attempt > 2) usleep(1000);  // only while a crashed creator is cleared away
  }
  a.failed = true;
  return nullptr;
}

void lock_table(Table* t) {
  int r = pthread_mutex_lock(&t->lock);
  if (r == EOWNERDEAD) {
    pthread_mutex_consistent(&t->lock);
    sweep_dead_queues(t);
  }
}

void unlock_table(Table* t) { pthread_mutex_unlock(&t->lock); }

}  // namespace w32p::user
