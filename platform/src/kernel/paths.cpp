#include "kernel/paths.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w32p {

std::string windows_root() {
  const char* env = getenv("W32POSIX_ROOT");
  std::string root = env && *env ? env : "/var/lib/w32posix";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string windows_dir() { return windows_root() + "/WINDOWS"; }
std::string system_dir() { return windows_root() + "/WINDOWS/SYSTEM32"; }

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// The entry of `dir` whose name matches `name` case-insensitively.
bool find_ci(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

}  // namespace

std::string posix_path(const std::string& win_path) {
  std::string p = win_path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  if (p.size() >= 2 && p[1] == ':' &&
      ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')))
    p = windows_root() + "/" + p.substr(2);
  if (p.empty() || exists(p)) return p;
  // Resolve component by component.
  std::string out = p[0] == '/' ? "/" : "";
  size_t pos = p[0] == '/' ? 1 : 0;
  bool resolving = true;
  while (pos <= p.size()) {
    size_t next = p.find('/', pos);
    if (next == std::string::npos) next = p.size();
    std::string comp = p.substr(pos, next - pos);
    pos = next + 1;
    if (comp.empty()) continue;
    if (!out.empty() && out.back() != '/') out += '/';
    std::string found;
    if (resolving && comp != "." && comp != ".." && !exists(out + comp) &&
        find_ci(out, comp, &found)) {
      out += found;
    } else {
      if (!exists(out + comp)) resolving = false;
      out += comp;
    }
  }
  if (!p.empty() && p.back() == '/' && (out.empty() || out.back() != '/')) out += '/';
  return out;
}

std::string program_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  char* slash = strrchr(buf, '/');
  if (!slash) return ".";
  if (slash == buf) return "/";
  *slash = '\0';
  return buf;
}

bool is_executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

unsigned copy_out(const std::string& s, char* buffer, unsigned size) {
  if (!buffer || size <= s.size()) return (unsigned)s.size() + 1;
  memcpy(buffer, s.c_str(), s.size() + 1);
  return (unsigned)s.size();
}

}  // namespace w32p
