// Runs after each native test program with the program's namespace: fails
// when named objects of that namespace are still there. By then every
// process of the program has ended, and the platform has dropped the names
// they held and those left by killed processes, so anything found is a leak
// (an object of a process still running, or a name the layer kept). The
// namespace's lock file counts too: the last user of the namespace removes it.
// A holder that is still ending (killed a moment ago, or running its exit)
// gets up to three seconds to end, waited for on its process descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/identity.h"
#include "common/names.h"
#include "kernel/segment.h"

namespace {

// The namespace's objects, and its lock file, which goes with the last one.
std::vector<std::string> leftovers(const std::string& prefix) {
  std::string lock = "w32p." + w32p::name_space() + ".lock";
  std::vector<std::string> out;
  if (DIR* d = opendir("/dev/shm")) {
    while (dirent* e = readdir(d))
      if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0 || lock == e->d_name)
        out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// The object's exact name and its holders, from the segment's first page;
// adds the running ones to `live`. Quiet unless `report`.
void describe(const std::string& file, bool report, std::vector<int>* live) {
  std::string path = "/dev/shm/" + file;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  void* p = MAP_FAILED;
  if (fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size >= w32p::kPage)
    p = mmap(nullptr, w32p::kPage, PROT_READ, MAP_SHARED, fd, 0);
  if (fd >= 0) close(fd);
  if (report) fprintf(stderr, "left behind: %s\n", file.c_str());
  if (p == MAP_FAILED) return;
  const w32p::SegHeader* h = (const w32p::SegHeader*)p;
  if (report && h->name_len < w32p::kMaxName)
    fprintf(stderr, "  name \"%.*s\"\n", (int)h->name_len, h->name);
  for (const w32p::Holder& e : h->holders) {
    if (e.pid == 0) continue;
    bool running = w32p::alive(w32p::Owner{e.pid, 0, e.start});
    if (running && live) live->push_back(e.pid);
    if (report)
      fprintf(stderr, "  held by pid %d (%u), %s\n", e.pid, e.count, running ? "running" : "gone");
  }
  munmap(p, w32p::kPage);
}

}  // namespace

int main() {
  std::string prefix = w32p::shm_name("obj", "");
  prefix = prefix.substr(1, prefix.find(".obj.") + 5 - 1);  // "w32p.<ns>.obj."
  // While leftovers have running holders, wait for those to end.
  struct timespec t0, now;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  std::vector<std::string> left = leftovers(prefix);
  for (std::vector<int> live;; live.clear()) {
    for (const std::string& f : left) describe(f, false, &live);
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms_left = 3000 - (now.tv_sec - t0.tv_sec) * 1000 - (now.tv_nsec - t0.tv_nsec) / 1000000;
    if (live.empty() || ms_left <= 0) break;
    int fd = (int)syscall(SYS_pidfd_open, live[0], 0);
    pollfd p{fd, POLLIN, 0};
    if (fd >= 0) poll(&p, 1, (int)ms_left), close(fd);  // readable once it has ended
    left = leftovers(prefix);
  }
  for (const std::string& f : left) describe(f, true, nullptr);
  if (!left.empty()) {
    fprintf(stderr, "%zu object(s) of namespace %s left behind\n", left.size(),
            w32p::name_space().c_str());
    return 1;
  }
  printf("namespace %s holds no objects\n", w32p::name_space().c_str());
  return 0;
}
