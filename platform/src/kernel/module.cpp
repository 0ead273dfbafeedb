// Module handles: the load address of the program or shared library.
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/auxv.h>
#include <unistd.h>
#include <windows.h>

#include <string>

#include "kernel/paths.h"

namespace {

struct Search {
  const char* want;  // file name to match (NULL: by base address)
  uintptr_t base;
  std::string path;
  bool found;
};

std::string base_name(const char* path) {
  const char* s = strrchr(path, '/');
  return s ? s + 1 : path;
}

// "KRZMEM15" or "KRZMEM15.DLL" against "libkrzmem15.so" / "krzmem15.so".
bool module_matches(const std::string& file, const char* want) {
  std::string w = want;
  if (w.size() > 4 && strcasecmp(w.c_str() + w.size() - 4, ".dll") == 0) w.resize(w.size() - 4);
  size_t slash = w.find_last_of("/\\");
  if (slash != std::string::npos) w = w.substr(slash + 1);
  std::string a = "lib" + w + ".so", b = w + ".so";
  return strcasecmp(file.c_str(), a.c_str()) == 0 || strcasecmp(file.c_str(), b.c_str()) == 0;
}

int visit(dl_phdr_info* info, size_t, void* arg) {
  Search* s = (Search*)arg;
  if (!info->dlpi_name || !*info->dlpi_name) return 0;  // the program itself
  Dl_info dl;
  uintptr_t base = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD) {
      if (dladdr((void*)(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr), &dl))
        base = (uintptr_t)dl.dli_fbase;
      break;
    }
  }
  if (s->want ? module_matches(base_name(info->dlpi_name), s->want) : base == s->base) {
    s->base = base;
    s->path = info->dlpi_name;
    s->found = true;
    return 1;
  }
  return 0;
}

HMODULE program_module() {
  Dl_info dl;
  void* phdr = (void*)getauxval(AT_PHDR);
  if (phdr && dladdr(phdr, &dl)) return (HMODULE)dl.dli_fbase;
  return NULL;
}

}  // namespace

HMODULE W32ModuleFromAddress(const void* address) {
  Dl_info dl;
  if (address && dladdr(address, &dl)) return (HMODULE)dl.dli_fbase;
  return NULL;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (!lpModuleName) return program_module();
  Search s{lpModuleName, 0, std::string(), false};
  dl_iterate_phdr(visit, &s);
  if (!s.found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  return (HMODULE)s.base;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (!hModule || hModule == program_module()) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path.assign(buf, (size_t)n);
  } else {
    Search s{nullptr, (uintptr_t)hModule, std::string(), false};
    dl_iterate_phdr(visit, &s);
    if (!s.found) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = s.path;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Windows cuts the name to the buffer and returns nSize.
  if (path.size() >= nSize) {
    memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, path.c_str(), path.size() + 1);
  return (DWORD)path.size();
}

void W32DllAttachFailed(const char* entry) {
  fprintf(stderr, "%s: process attach failed, ending the process\n", entry);
  _exit(1);
}
