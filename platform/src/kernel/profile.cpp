// Private profile (INI) reading with the Windows rules; see w32/profile.h.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <windows.h>

#include <string>
#include <vector>

#include "kernel/paths.h"

namespace {

struct Entry {
  std::string key;
  std::string value;
  bool has_value;
};

struct Section {
  std::string name;
  std::vector<Entry> entries;
};

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && space(s[b])) ++b;
  while (e > b && space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string profile_path(const char* file) {
  std::string name = file ? file : "win.ini";
  if (name.find_first_of("\\/") == std::string::npos)
    return w32p::posix_path(w32p::windows_dir() + "/" + name);
  return w32p::posix_path(name);
}

bool load(const char* file, std::vector<Section>* out) {
  FILE* f = fopen(profile_path(file).c_str(), "rbe");
  if (!f) return false;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) continue;
      out->push_back(Section{line.substr(1, close - 1), {}});
      current = &out->back();
      continue;
    }
    if (line[0] == ';' || !current) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      current->entries.push_back(Entry{line, std::string(), false});
    } else {
      current->entries.push_back(Entry{trim(line.substr(0, eq)), trim(line.substr(eq + 1)), true});
    }
  }
  return true;
}

const Section* find_section(const std::vector<Section>& sections, const char* name) {
  for (const Section& s : sections) {
    if (strcasecmp(s.name.c_str(), name) == 0) return &s;
  }
  return nullptr;
}

// A value in matching quotes loses them.
std::string unquote(const std::string& v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    return v.substr(1, v.size() - 2);
  return v;
}

DWORD copy_string(const std::string& s, char* buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  size_t n = s.size() < size - 1 ? s.size() : size - 1;
  memcpy(buffer, s.data(), n);
  buffer[n] = '\0';
  return (DWORD)n;
}

// A list of zero-terminated names with a final extra zero; a list that does
// not fit is cut and ends in two zeros, returning size - 2.
DWORD copy_list(const std::vector<std::string>& names, char* buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  DWORD used = 0;
  for (const std::string& n : names) {
    if (used + n.size() + 1 > size - 1) {
      size_t fit = size - 2 - used;
      memcpy(buffer + used, n.data(), fit);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    memcpy(buffer + used, n.c_str(), n.size() + 1);
    used += (DWORD)n.size() + 1;
  }
  buffer[used] = '\0';
  if (used == 0 && size > 1) buffer[1] = '\0';
  return used;
}

}  // namespace

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  std::string def = lpDefault ? lpDefault : "";
  while (!def.empty() && def.back() == ' ') def.pop_back();
  std::vector<Section> sections;
  bool loaded = load(lpFileName, &sections);
  if (!lpAppName) {
    std::vector<std::string> names;
    for (const Section& s : sections) names.push_back(s.name);
    return copy_list(names, lpReturnedString, nSize);
  }
  const Section* sec = loaded ? find_section(sections, lpAppName) : nullptr;
  if (!lpKeyName) {
    std::vector<std::string> names;
    if (sec) {
      for (const Entry& e : sec->entries) names.push_back(e.key);
    }
    return copy_list(names, lpReturnedString, nSize);
  }
  if (!loaded) SetLastError(ERROR_FILE_NOT_FOUND);
  if (sec) {
    for (const Entry& e : sec->entries) {
      if (strcasecmp(e.key.c_str(), lpKeyName) == 0) {
        if (!e.has_value) break;
        return copy_string(unquote(e.value), lpReturnedString, nSize);
      }
    }
  }
  return copy_string(def, lpReturnedString, nSize);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                  LPCSTR lpFileName) {
  char buf[30];
  if (!lpAppName || !lpKeyName) return (UINT)nDefault;
  if (GetPrivateProfileStringA(lpAppName, lpKeyName, "", buf, sizeof buf, lpFileName) == 0)
    return (UINT)nDefault;
  // The leading characters as an integer: blanks, a sign, an optional
  // 0x/0o/0b base prefix, then digits up to the first other character.
  const char* p = buf;
  while (*p && (unsigned char)*p <= ' ') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O')) {
    base = 8;
    p += 2;
  } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
    base = 2;
    p += 2;
  }
  uint32_t value = 0;
  for (;; ++p) {
    unsigned d;
    if (*p >= '0' && *p <= '9') {
      d = (unsigned)(*p - '0');
    } else if (*p >= 'a' && *p <= 'f') {
      d = (unsigned)(*p - 'a' + 10);
    } else if (*p >= 'A' && *p <= 'F') {
      d = (unsigned)(*p - 'A' + 10);
    } else {
      break;
    }
    if (d >= base) break;
    value = value * base + d;
  }
  return negative ? (UINT)(0u - value) : (UINT)value;
}
