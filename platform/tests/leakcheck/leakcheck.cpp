// Runs after each native test program: fails when objects of its namespace,
// or the namespace's lock file, are left. A holder still ending gets up to
// three seconds, waited for on its process descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/identity.h"
#include "common/names.h"
#include "kernel/segment.h"

namespace {

std::vector<std::string> leftovers() {
  std::string prefix = w32p::shm_name("obj", "");
  prefix = prefix.substr(1, prefix.find(".obj.") + 5 - 1);
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

// The running holders of the object, from the segment's first page; with
// `report`, every holder too.
std::vector<int> holders(const std::string& file, bool report) {
  std::vector<int> live;
  int fd = open(("/dev/shm/" + file).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  void* p = MAP_FAILED;
  if (fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size >= w32p::kPage)
    p = mmap(nullptr, w32p::kPage, PROT_READ, MAP_SHARED, fd, 0);
  if (fd >= 0) close(fd);
  if (report) fprintf(stderr, "left behind: %s\n", file.c_str());
  if (p == MAP_FAILED) return live;
  const w32p::SegHeader* h = (const w32p::SegHeader*)p;
  for (const w32p::Holder& e : h->holders) {
    bool running = e.pid != 0 && w32p::alive(w32p::Owner{e.pid, 0, e.start});
    if (running) live.push_back(e.pid);
    if (report && e.pid != 0)
      fprintf(stderr, "  held by pid %d (%u), %s\n", e.pid, e.count, running ? "running" : "gone");
  }
  munmap(p, w32p::kPage);
  return live;
}

}  // namespace

int main() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (const std::string& f : leftovers())
    for (int pid : holders(f, false)) {
      auto left = deadline - std::chrono::steady_clock::now();
      pollfd ended{(int)syscall(SYS_pidfd_open, pid, 0), POLLIN, 0};  // readable once it ended
      if (ended.fd >= 0 && left.count() > 0)
        poll(&ended, 1, (int)std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
      if (ended.fd >= 0) close(ended.fd);
    }
  std::vector<std::string> left = leftovers();
  for (const std::string& f : left) holders(f, true);
  fprintf(left.empty() ? stdout : stderr, "namespace %s: %zu object(s) left behind\n",
          w32p::name_space().c_str(), left.size());
  return left.empty() ? 0 : 1;
}
