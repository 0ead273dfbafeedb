#include "kernel/cmdline.h"

#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include "kernel/paths.h"

namespace w32p {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

bool has_extension(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool ends_with_exe(const std::string& name) {
  return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0;
}

// Tries one location: the path itself, or for "X.EXE" the file "X".
bool try_path(const std::string& win_path, std::string* out) {
  std::vector<std::string> tries;
  if (has_extension(win_path)) {
    tries.push_back(win_path);
    if (ends_with_exe(win_path)) tries.push_back(win_path.substr(0, win_path.size() - 4));
  } else {
    tries.push_back(win_path + ".exe");
    tries.push_back(win_path);
  }
  for (const std::string& t : tries) {
    std::string p = posix_path(t);
    if (is_executable(p)) {
      *out = p;
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> split_command_line(const std::string& line) {
  std::vector<std::string> args;
  size_t i = 0, n = line.size();
  while (i < n && blank(line[i])) ++i;
  if (i >= n) return args;
  // The program name: no escapes.
  std::string arg;
  if (line[i] == '"') {
    ++i;
    while (i < n && line[i] != '"') arg += line[i++];
    if (i < n) ++i;
  } else {
    while (i < n && !blank(line[i])) arg += line[i++];
  }
  args.push_back(arg);
  for (;;) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    arg.clear();
    bool quoted = false;
    while (i < n && (quoted || !blank(line[i]))) {
      if (line[i] == '\\') {
        size_t count = 0;
        while (i < n && line[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

std::vector<std::string> program_candidates(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0, n = line.size();
  while (i < n && blank(line[i])) ++i;
  if (i < n && line[i] == '"') {
    size_t end = line.find('"', i + 1);
    out.push_back(line.substr(i + 1, (end == std::string::npos ? n : end) - i - 1));
    return out;
  }
  size_t start = i;
  while (i <= n) {
    if (i == n || blank(line[i])) {
      if (i > start) out.push_back(line.substr(start, i - start));
      while (i < n && blank(line[i])) ++i;
      if (i >= n) break;
    }
    ++i;
  }
  return out;
}

bool find_program(const std::string& name, bool search, std::string* path) {
  if (name.empty()) return false;
  bool has_dir =
      name.find_first_of("/\\") != std::string::npos || (name.size() >= 2 && name[1] == ':');
  if (has_dir || !search) return try_path(name, path);
  std::vector<std::string> dirs{program_dir(), ".", system_dir(), windows_dir()};
  if (const char* env = getenv("PATH")) {
    std::string p = env;
    size_t start = 0;
    while (start <= p.size()) {
      size_t end = p.find(':', start);
      if (end == std::string::npos) end = p.size();
      if (end > start) dirs.push_back(p.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& d : dirs) {
    if (try_path(d + "/" + name, path)) return true;
  }
  return false;
}

}  // namespace w32p
