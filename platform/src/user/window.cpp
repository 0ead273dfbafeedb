// Windows: creation, destruction and the machine-wide validity check.
#include "user/local.h"
#include "user/local_state.h"
#include "user/queue.h"

namespace w32p::user {

namespace {

// Allocates a window slot for queue q; 0 when the table is full.
uint32_t alloc_window(Table* t, int32_t q) {
  lock_table(t);
  uint32_t hwnd = 0;
  for (int pass = 0; pass < 2 && !hwnd; ++pass) {
    for (uint32_t n = 0; n < kMaxWindows; ++n) {
      uint32_t slot = (t->next_window + n) % kMaxWindows;
      WindowRec& w = t->windows[slot];
      if (w.in_use) continue;
      // Next generation; 0 is never used, nor the value of HWND_BROADCAST.
      do w.gen = (w.gen + 1) & kGenMask;
      while (w.gen == 0 || make_hwnd(slot, w.gen) == 0xFFFF);
      w.in_use = 1;
      w.queue = (uint32_t)q;
      w.queue_gen = t->queues[q].gen;
      t->next_window = (slot + 1) % kMaxWindows;  // round robin: slow reuse
      hwnd = make_hwnd(slot, w.gen);
      break;
    }
    if (!hwnd) sweep_dead_queues(t);
  }
  unlock_table(t);
  return hwnd;
}

void free_window(Table* t, uint32_t hwnd) {
  lock_table(t);
  WindowRec& w = t->windows[hwnd & (kMaxWindows - 1)];
  if (w.in_use && w.gen == hwnd >> kSlotBits) w.in_use = 0;
  unlock_table(t);
}

// Removes the local record; the class loses a window.
void drop_local(uint32_t hwnd) {
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return;
  if (it->second->cls) --it->second->cls->windows;
  s.windows.erase(it);
}

}  // namespace

LRESULT call_window(uint32_t hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  WNDPROC proc = nullptr;
  {
    LocalState& s = local();
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end() || it->second->tid != my_tid()) return 0;
    proc = it->second->proc;
  }
  return proc ? proc(hwnd_handle(hwnd), msg, wparam, lparam) : 0;
}

bool owned_by_caller(uint32_t hwnd) {
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  auto it = s.windows.find(hwnd);
  return it != s.windows.end() && it->second->tid == my_tid();
}

void forget_thread_windows() {
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  pid_t tid = my_tid();
  for (auto it = s.windows.begin(); it != s.windows.end();) {
    if (it->second->tid == tid) {
      if (it->second->cls) --it->second->cls->windows;
      it = s.windows.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace w32p::user

using namespace w32p::user;

HWND WINAPI CreateWindowExA(DWORD exstyle, LPCSTR class_name, LPCSTR window_name, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  Table* t = table();
  int32_t q = my_queue(t);
  if (q == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  LocalState& s = local();
  auto win = std::make_unique<LocalWindow>();
  {
    std::lock_guard<std::mutex> guard(s.mu);
    ClassRec* c = find_class_locked(s, class_name, instance);
    if (!c) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    win->cls = c;
    win->proc = c->wc.lpfnWndProc;
    win->extra.assign((size_t)c->wc.cbWndExtra, 0);
    ++c->windows;
  }
  uint32_t hwnd = alloc_window(t, q);
  if (!hwnd) {
    std::lock_guard<std::mutex> guard(s.mu);
    --win->cls->windows;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  win->hwnd = hwnd;
  win->tid = my_tid();
  win->instance = instance;
  win->style = (LONG)style;
  win->exstyle = (LONG)exstyle;
  win->id = (LONG_PTR)menu;
  {
    std::lock_guard<std::mutex> guard(s.mu);
    s.windows[hwnd] = std::move(win);
  }
  CREATESTRUCTA cs{};
  cs.lpCreateParams = param;
  cs.hInstance = instance;
  cs.hMenu = menu;
  cs.hwndParent = parent;
  cs.cy = height;
  cs.cx = width;
  cs.y = y;
  cs.x = x;
  cs.style = (LONG)style;
  cs.lpszName = window_name;
  cs.lpszClass = class_name;
  cs.dwExStyle = exstyle;
  HWND h = hwnd_handle(hwnd);
  if (!call_window(hwnd, WM_NCCREATE, 0, (LPARAM)&cs)) {
    // Refused before it existed: no WM_DESTROY, only the slot goes.
    free_window(t, hwnd);
    drop_local(hwnd);
    return nullptr;
  }
  if (call_window(hwnd, WM_CREATE, 0, (LPARAM)&cs) == -1) {
    DestroyWindow(h);
    return nullptr;
  }
  return IsWindow(h) ? h : nullptr;
}

BOOL WINAPI DestroyWindow(HWND h) {
  uint32_t hwnd = hwnd_value(h);
  LocalState& s = local();
  bool found = false, owned = false, already = false;
  {
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = s.windows.find(hwnd);
    found = it != s.windows.end();
    owned = found && it->second->tid == my_tid();
    if (owned) {
      already = it->second->destroying;
      it->second->destroying = true;
    }
  }
  if (!owned) {
    SetLastError(found || IsWindow(h) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (already) return TRUE;  // DestroyWindow from its own WM_DESTROY
  call_window(hwnd, WM_DESTROY, 0, 0);
  call_window(hwnd, WM_NCDESTROY, 0, 0);
  kill_window_timers(hwnd);
  if (Table* t = table()) free_window(t, hwnd);
  drop_local(hwnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND h) {
  uint32_t hwnd = hwnd_value(h);
  if (!hwnd) return FALSE;
  Table* t = table();
  if (!t) return FALSE;
  lock_table(t);
  bool ok = window_slot_locked(t, hwnd) != kNone;
  unlock_table(t);
  return ok;
}

DWORD WINAPI GetWindowThreadProcessId(HWND h, LPDWORD pid) {
  uint32_t hwnd = hwnd_value(h);
  Table* t = hwnd ? table() : nullptr;
  DWORD tid = 0, owner_pid = 0;
  if (t) {
    lock_table(t);
    int32_t slot = window_slot_locked(t, hwnd);
    if (slot != kNone) {
      const QueueRec& q = t->queues[t->windows[slot].queue];
      tid = (DWORD)q.tid;
      owner_pid = (DWORD)q.pid;
    }
    unlock_table(t);
  }
  if (!tid) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  if (pid) *pid = owner_pid;
  return tid;
}

LRESULT WINAPI DefWindowProcA(HWND h, UINT msg, WPARAM, LPARAM) {
  switch (msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(h);
      return 0;
    default:
      return 0;
  }
}
