// Runs after each native test program with the program's namespace: fails
// when named objects of that namespace are still there. By then every
// process of the program has ended, and the platform has dropped the names
// they held and those left by killed processes, so anything found is a leak
// (an object of a process still running, or a name the layer kept). The
// namespace's lock file counts too: the last user of the namespace removes it.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

// The object's exact name and its holders, from the segment's first page.
void describe(const std::string& file) {
  std::string path = "/dev/shm/" + file;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  void* p = MAP_FAILED;
  if (fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size >= w32p::kPage)
    p = mmap(nullptr, w32p::kPage, PROT_READ, MAP_SHARED, fd, 0);
  if (fd >= 0) close(fd);
  fprintf(stderr, "left behind: %s\n", file.c_str());
  if (p == MAP_FAILED) return;
  const w32p::SegHeader* h = (const w32p::SegHeader*)p;
  if (h->name_len < w32p::kMaxName) fprintf(stderr, "  name \"%.*s\"\n", (int)h->name_len, h->name);
  for (const w32p::Holder& e : h->holders) {
    if (e.pid == 0) continue;
    bool live = w32p::alive(w32p::Owner{e.pid, 0, e.start});
    fprintf(stderr, "  held by pid %d (%u), %s\n", e.pid, e.count, live ? "running" : "gone");
  }
  munmap(p, w32p::kPage);
}

}  // namespace

int main() {
  std::string prefix = w32p::shm_name("obj", "");
  prefix = prefix.substr(1, prefix.find(".obj.") + 5 - 1);  // "w32p.<ns>.obj."
  // A process of the program that was just killed may take a moment to end.
  std::vector<std::string> left = leftovers(prefix);
  for (int i = 0; i < 30 && !left.empty(); ++i) {
    usleep(100000);
    left = leftovers(prefix);
  }
  for (const std::string& f : left) describe(f);
  if (!left.empty()) {
    fprintf(stderr, "%zu object(s) of namespace %s left behind\n", left.size(),
            w32p::name_space().c_str());
    return 1;
  }
  printf("namespace %s holds no objects\n", w32p::name_space().c_str());
  return 0;
}
