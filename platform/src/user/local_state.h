// The process-local records behind classes and windows, guarded by one
// process-wide mutex that is never held while a window procedure runs or
// while the window table is locked.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace w32p::user {

struct ClassRec {
  std::string key;   // lower-case name
  std::string name;  // as registered
  std::string menu;
  bool has_menu = false;
  WNDCLASSA wc{};
  ATOM atom = 0;
  bool global = false;
  int windows = 0;
};

struct LocalWindow {
  uint32_t hwnd = 0;
  pid_t tid = 0;  // owner thread
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  ClassRec* cls = nullptr;
  std::vector<uint8_t> extra;
  LONG style = 0, exstyle = 0;
  LONG_PTR id = 0, userdata = 0;
  bool destroying = false;
};

struct LocalState {
  std::mutex mu;
  std::vector<std::unique_ptr<ClassRec>> classes;
  ATOM next_atom = 0xC000;
  std::unordered_map<uint32_t, std::unique_ptr<LocalWindow>> windows;
};

LocalState& local();

// The calling thread's kernel id, cached.
pid_t my_tid();

// Finds a class as Win32 does: a class of this instance first, then a
// global class of any instance. `name` may be an atom (MAKEINTATOM).
ClassRec* find_class_locked(LocalState& s, LPCSTR name, HINSTANCE instance);

}  // namespace w32p::user
