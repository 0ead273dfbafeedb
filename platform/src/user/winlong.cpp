// Window words and longs: the class's extra bytes at any byte offset, and
// the few negative indexes the system uses.
#include <string.h>

#include "user/local.h"
#include "user/local_state.h"

using namespace w32p::user;

namespace {

// Looks up a window of this process and runs `fn` on it under the local
// mutex. Reports the right error when the window is elsewhere or gone.
template <typename Fn>
bool with_window(HWND h, Fn fn) {
  uint32_t hwnd = hwnd_value(h);
  LocalState& s = local();
  {
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = hwnd ? s.windows.find(hwnd) : s.windows.end();
    if (it != s.windows.end()) {
      fn(*it->second);
      return true;
    }
  }
  SetLastError(hwnd && IsWindow(h) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
  return false;
}

// Reads or writes `size` extra bytes at `offset`. Out of range: false and
// ERROR_INVALID_INDEX.
bool extra_bytes(HWND h, int offset, size_t size, void* old_value, const void* new_value) {
  bool in_range = false;
  bool found = with_window(h, [&](LocalWindow& w) {
    if (offset < 0 || (size_t)offset + size > w.extra.size()) return;
    in_range = true;
    memcpy(old_value, w.extra.data() + offset, size);
    if (new_value) memcpy(w.extra.data() + offset, new_value, size);
  });
  if (found && !in_range) SetLastError(ERROR_INVALID_INDEX);
  return found && in_range;
}

// Negative indexes; `set` null for a read. False (ERROR_INVALID_INDEX) for
// an index the layer does not know.
bool special(HWND h, int index, bool full_width, LONG_PTR* value, const LONG_PTR* set) {
  bool known = false;
  bool found = with_window(h, [&](LocalWindow& w) {
    LONG_PTR* field = nullptr;
    LONG_PTR tmp = 0;
    switch (index) {
      case GWL_STYLE:
        tmp = w.style;
        known = true;
        if (set) w.style = (LONG)*set;
        break;
      case GWL_EXSTYLE:
        tmp = w.exstyle;
        known = true;
        if (set) w.exstyle = (LONG)*set;
        break;
      case GWLP_ID:
        field = &w.id;
        break;
      case GWLP_USERDATA:
        field = &w.userdata;
        break;
      case GWLP_WNDPROC:
        if (!full_width) return;
        tmp = (LONG_PTR)w.proc;
        known = true;
        if (set) w.proc = (WNDPROC)*set;
        break;
      case GWLP_HINSTANCE:
        if (!full_width) return;
        tmp = (LONG_PTR)w.instance;
        known = true;
        if (set) w.instance = (HINSTANCE)*set;
        break;
      default:
        return;
    }
    if (field) {
      known = true;
      tmp = *field;
      if (set) *field = *set;
    }
    *value = tmp;
  });
  if (found && !known) SetLastError(ERROR_INVALID_INDEX);
  return found && known;
}

template <typename T>
T get_value(HWND h, int index) {
  if (index < 0) {
    LONG_PTR v = 0;
    return special(h, index, sizeof(T) == sizeof(LONG_PTR), &v, nullptr) ? (T)v : 0;
  }
  T v{};
  return extra_bytes(h, index, sizeof(T), &v, nullptr) ? v : 0;
}

template <typename T>
T set_value(HWND h, int index, T value) {
  if (index < 0) {
    LONG_PTR v = 0, nv = (LONG_PTR)value;
    return special(h, index, sizeof(T) == sizeof(LONG_PTR), &v, &nv) ? (T)v : 0;
  }
  T old{};
  return extra_bytes(h, index, sizeof(T), &old, &value) ? old : 0;
}

}  // namespace

WORD WINAPI GetWindowWord(HWND h, int index) {
  if (index < 0) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return get_value<WORD>(h, index);
}

WORD WINAPI SetWindowWord(HWND h, int index, WORD value) {
  if (index < 0) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return set_value<WORD>(h, index, value);
}

LONG WINAPI GetWindowLongA(HWND h, int index) { return get_value<LONG>(h, index); }
LONG WINAPI SetWindowLongA(HWND h, int index, LONG value) {
  return set_value<LONG>(h, index, value);
}
LONG_PTR WINAPI GetWindowLongPtrA(HWND h, int index) { return get_value<LONG_PTR>(h, index); }
LONG_PTR WINAPI SetWindowLongPtrA(HWND h, int index, LONG_PTR value) {
  return set_value<LONG_PTR>(h, index, value);
}
