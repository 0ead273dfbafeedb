#include "common/names.h"

#include <stdio.h>
#include <stdlib.h>

namespace w32p {

namespace {

std::string sanitise(std::string_view text, size_t limit) {
  std::string out;
  for (char c : text) {
    if (out.size() >= limit) break;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    out.push_back(ok ? c : '_');
  }
  return out;
}

}  // namespace

const std::string& name_space() {
  // Never destroyed: libraries' process-detach code may run during exit,
  // after static destructors, and still open and close named objects.
  static const std::string* ns = [] {
    const char* env = getenv("W32POSIX_NAMESPACE");
    return new std::string(env && *env ? sanitise(env, 48) : std::string("global"));
  }();
  return *ns;
}

uint64_t hash64(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string shm_name(std::string_view kind, std::string_view object_name) {
  char hash[17];
  snprintf(hash, sizeof hash, "%016llx", (unsigned long long)hash64(object_name));
  std::string name = "/w32p.";
  name += name_space();
  name += '.';
  name += sanitise(kind, 16);
  name += '.';
  name += sanitise(object_name, 64);
  name += '.';
  name += hash;
  return name;
}

}  // namespace w32p
